// Placeholder until the SignedData decoder lands.
#include "platform/CryptMsgInternal.h"
#include "platform/LastError.h"

namespace platform::msg::detail {
std::unique_ptr<Message> OpenSignedDecoder(DWORD, DWORD) {
  SetLastError(static_cast<DWORD>(E_NOTIMPL));
  return nullptr;
}
}  // namespace platform::msg::detail

BOOL CryptVerifyMessageSignature(PCRYPT_VERIFY_MESSAGE_PARA, DWORD, const BYTE*, DWORD, BYTE*,
                                 DWORD*, PCCERT_CONTEXT*) {
  SetLastError(static_cast<DWORD>(E_NOTIMPL));
  return FALSE;
}
BOOL CryptVerifyDetachedMessageSignature(PCRYPT_VERIFY_MESSAGE_PARA, DWORD, const BYTE*, DWORD,
                                         DWORD, const BYTE*[], DWORD[], PCCERT_CONTEXT*) {
  SetLastError(static_cast<DWORD>(E_NOTIMPL));
  return FALSE;
}
