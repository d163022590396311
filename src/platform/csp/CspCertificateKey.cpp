// CryptAcquireCertificatePrivateKey: from a certificate's key-provider
// property to an open container whose key really is the certificate's.
#include <openssl/x509.h>

#include <vector>

#include "platform/csp/CspInternal.h"
#include "platform/base/LastError.h"

using namespace platform::csp::detail;

namespace {

class ScopedContext {
 public:
  ~ScopedContext() {
    if (handle != 0) CryptReleaseContext(handle, 0);
  }
  HCRYPTPROV Release() {
    HCRYPTPROV h = handle;
    handle = 0;
    return h;
  }
  HCRYPTPROV handle = 0;
};

}  // namespace

BOOL CryptAcquireCertificatePrivateKey(PCCERT_CONTEXT pCert, DWORD dwFlags, void* /*pvParameters*/,
                                       HCRYPTPROV* phCryptProv, DWORD* pdwKeySpec,
                                       BOOL* pfCallerFreeProv) {
  if (pCert == nullptr || phCryptProv == nullptr) return FailWin32(ERROR_INVALID_PARAMETER);
  *phCryptProv = 0;

  DWORD size = 0;
  if (!CertGetCertificateContextProperty(pCert, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size))
    return Fail(CRYPT_E_NO_KEY_PROPERTY);
  // Kept pointer-aligned: the block holds a structure with pointers into it.
  std::vector<ULONG_PTR> block((size + sizeof(ULONG_PTR) - 1) / sizeof(ULONG_PTR));
  if (!CertGetCertificateContextProperty(pCert, CERT_KEY_PROV_INFO_PROP_ID, block.data(), &size))
    return Fail(CRYPT_E_NO_KEY_PROPERTY);
  const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(block.data());

  DWORD provType = info->dwProvType;
  if (provType == 0 && info->pwszProvName != nullptr) {
    // A zero type names no provider family; take the one it is installed as.
    if (auto installed = FindInstalled(info->pwszProvName)) provType = installed->type;
  }
  DWORD acquireFlags = info->dwFlags & (CRYPT_MACHINE_KEYSET_FLAG | CRYPT_SILENT);
  if (dwFlags & CRYPT_ACQUIRE_SILENT_FLAG) acquireFlags |= CRYPT_SILENT;

  ScopedContext context;
  if (!CryptAcquireContextW(&context.handle, info->pwszContainerName, info->pwszProvName, provType,
                            acquireFlags))
    return FALSE;
  auto opened = LookupContext(context.handle);
  if (!opened) return FailWin32(ERROR_INVALID_HANDLE);
  std::shared_ptr<const platform::csp::KeyPair> pair;
  HRESULT hr = opened->GetKeyPair(info->dwKeySpec, &pair);
  if (FAILED(hr)) return Fail(hr);
  EVP_PKEY* certificateKey = X509_get0_pubkey(CertContextX509(pCert));
  if (!PublicKeysMatch(certificateKey, pair->key)) return Fail(NTE_BAD_PUBLIC_KEY);

  *phCryptProv = context.Release();
  if (pdwKeySpec != nullptr) *pdwKeySpec = info->dwKeySpec;
  if (pfCallerFreeProv != nullptr) *pfCallerFreeProv = TRUE;
  return TRUE;
}
