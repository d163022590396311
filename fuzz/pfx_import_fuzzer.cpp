// PKCS#12 blobs of arbitrary bytes through PFXImportCertStore with the seed
// files' password: anything past the size limit is refused unparsed; a
// store that opens holds certificates whose contexts all decode.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "platform/store/CertStore.h"
#include "platform/store/CertStorePfx.h"
#include "platform/base/CryptErrors.h"
#include "platform/base/LastError.h"

namespace {
void Check(bool condition) {
  if (!condition) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0 || size > certstore::kMaxPfxSize + 16) return 0;
  CRYPT_DATA_BLOB blob{static_cast<DWORD>(size), const_cast<BYTE*>(data)};
  HCERTSTORE store = PFXImportCertStore(&blob, u"123456", CRYPT_USER_KEYSET);
  if (size > certstore::kMaxPfxSize) {
    Check(store == nullptr && GetLastError() == static_cast<DWORD>(certstore::kPfxTooLargeError));
    return 0;
  }
  if (store == nullptr) return 0;
  for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(store, c)) != nullptr;)
    Check(c->pCertInfo != nullptr && c->cbCertEncoded > 0);
  Check(CertCloseStore(store, 0) == TRUE);
  return 0;
}
