// Placeholder until the EnvelopedData encoder and decoder land.
#include "platform/CryptMsgInternal.h"
#include "platform/LastError.h"

namespace platform::msg::detail {
std::unique_ptr<Message> OpenEnvelopeEncoder(const CMSG_ENVELOPED_ENCODE_INFO&,
                                             const CMSG_STREAM_INFO*) {
  SetLastError(static_cast<DWORD>(E_NOTIMPL));
  return nullptr;
}
std::unique_ptr<Message> OpenEnvelopeDecoder(const CMSG_STREAM_INFO*) {
  SetLastError(static_cast<DWORD>(E_NOTIMPL));
  return nullptr;
}
}  // namespace platform::msg::detail

BOOL CryptEncryptMessage(PCRYPT_ENCRYPT_MESSAGE_PARA, DWORD, PCCERT_CONTEXT[], const BYTE*, DWORD,
                         BYTE*, DWORD*) {
  SetLastError(static_cast<DWORD>(E_NOTIMPL));
  return FALSE;
}
BOOL CryptDecryptMessage(PCRYPT_DECRYPT_MESSAGE_PARA, const BYTE*, DWORD, BYTE*, DWORD*,
                         PCCERT_CONTEXT*) {
  SetLastError(static_cast<DWORD>(E_NOTIMPL));
  return FALSE;
}
