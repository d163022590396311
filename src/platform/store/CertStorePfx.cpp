// PFXImportCertStore. Kept apart from the other providers because it needs
// the software providers' volatile containers: code that never imports a
// PKCS#12 does not pull the providers in.
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/err.h>
#include <openssl/pkcs12.h>
#include <openssl/provider.h>
#include <openssl/x509.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/Unique.h"
#include "platform/store/CertStore.h"
#include "platform/store/CertStoreInternal.h"
#include "platform/store/CertStorePfx.h"
#include "platform/base/CryptErrors.h"
#include "platform/csp/Csp.h"
#include "platform/csp/CspProvider.h"
#include "platform/base/LastError.h"
#include "platform/base/WideString.h"

namespace certstore {
namespace {

struct X509StackFree {
  void operator()(STACK_OF(X509) * s) const { sk_X509_pop_free(s, X509_free); }
};

// The provider that takes this kind of key, or null for kinds no provider
// here handles (the certificate is then imported without its key).
const char16_t* ProviderFor(EVP_PKEY* key) {
  if (EVP_PKEY_is_a(key, "RSA")) return MS_ENHANCED_PROV_W;
  if (EVP_PKEY_is_a(key, "SM2")) return SIGIL_SM2_PROV_W;
  if (EVP_PKEY_is_a(key, "EC")) {
    char group[64] = {};
    std::size_t length = 0;
    if (EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group,
                                       &length) &&
        std::string(group, length) == "SM2")
      return SIGIL_SM2_PROV_W;
  }
  return nullptr;
}

std::vector<BYTE> Der(X509* cert) {
  unsigned char* der = nullptr;
  int size = i2d_X509(cert, &der);
  std::vector<BYTE> out;
  if (size > 0) out.assign(der, der + size);
  OPENSSL_free(der);
  return out;
}

// A context (no store) with the bag's friendly name, as CryptoAPI keeps it.
PCCERT_CONTEXT ContextOf(X509* cert) {
  std::vector<BYTE> der = Der(cert);
  if (der.empty()) {
    SetLastHr(CRYPT_E_BAD_ENCODE);
    return nullptr;
  }
  PCCERT_CONTEXT context =
      CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
  if (!context) return nullptr;
  int length = 0;
  if (const unsigned char* alias = X509_alias_get0(cert, &length); alias && length > 0) {
    std::u16string name = FromUtf8(std::string_view(reinterpret_cast<const char*>(alias), length));
    CRYPT_DATA_BLOB blob{static_cast<DWORD>((name.size() + 1) * sizeof(char16_t)),
                         reinterpret_cast<BYTE*>(name.data())};
    CertSetCertificateContextProperty(context, CERT_FRIENDLY_NAME_PROP_ID, 0, &blob);
  }
  return context;
}

// Puts the key in a container that lives in this process only and names it
// on the certificate. The store keeps the container for its own life.
bool AttachKey(Store& store, PCCERT_CONTEXT context, EVP_PKEY* key) {
  const char16_t* provider = ProviderFor(key);
  if (!provider) return true;
  std::u16string container;
  std::shared_ptr<void> token = platform::csp::CreateVolatileContainer(
      provider, AT_KEYEXCHANGE, key,
      std::span<const BYTE>(context->pbCertEncoded, context->cbCertEncoded), &container);
  if (!token) {
    if (GetLastError() == ERROR_SUCCESS) SetLastHr(NTE_FAIL);
    return false;
  }
  store.KeepAlive(std::move(token));
  CRYPT_KEY_PROV_INFO info{};
  info.pwszContainerName = container.data();
  info.pwszProvName = const_cast<LPWSTR>(provider);
  info.dwProvType = PROV_RSA_FULL;
  info.dwKeySpec = AT_KEYEXCHANGE;
  return CertSetCertificateContextProperty(context, CERT_KEY_PROV_INFO_PROP_ID, 0, &info);
}

bool Add(Store& store, X509* cert, EVP_PKEY* key) {
  PCCERT_CONTEXT context = ContextOf(cert);
  bool ok = context && (!key || AttachKey(store, context, key)) && store.Load(context);
  DWORD error = GetLastError();
  CertFreeCertificateContext(context);
  SetLastError(error);
  return ok;
}

}  // namespace

namespace {

// The providers PKCS#12 files need beside the default one (RC2-40 and
// other legacy ciphers of older exports). Unloading them ourselves at exit
// races OpenSSL's own clean-up and leaves the legacy provider's context
// behind, so they stay loaded and OpenSSL gives them back.
struct Pkcs12Providers {
  OSSL_PROVIDER* defaults = nullptr;
  OSSL_PROVIDER* legacy = nullptr;

  Pkcs12Providers() {
    // try_load keeps OpenSSL's fallback to its default provider, which an
    // explicit load would otherwise switch off for the whole process.
    ERR_set_mark();
    defaults = OSSL_PROVIDER_try_load(nullptr, "default", 1);
    legacy = OSSL_PROVIDER_try_load(nullptr, "legacy", 1);
    ERR_pop_to_mark();
  }
  Pkcs12Providers(const Pkcs12Providers&) = delete;
  Pkcs12Providers& operator=(const Pkcs12Providers&) = delete;
};

}  // namespace

bool LoadPkcs12Providers() {
  // Made once, whichever thread asks first, and kept for the life of the
  // process: OpenSSL's own clean-up at exit gives loaded providers back.
  static const Pkcs12Providers* const providers = new Pkcs12Providers();
  return providers->defaults != nullptr && providers->legacy != nullptr;
}

}  // namespace certstore

using namespace certstore;

HCERTSTORE PFXImportCertStore(const CRYPT_DATA_BLOB* pPFX, LPCWSTR szPassword, DWORD /*dwFlags*/) {
  if (!pPFX || !pPFX->pbData || pPFX->cbData == 0) {
    SetLastHr(E_INVALIDARG);
    return nullptr;
  }
  if (pPFX->cbData > kMaxPfxSize) {
    SetLastHr(kPfxTooLargeError);
    return nullptr;
  }
  LoadPkcs12Providers();
  const unsigned char* cursor = pPFX->pbData;
  foundation::Unique<PKCS12, PKCS12_free> pfx(
      d2i_PKCS12(nullptr, &cursor, static_cast<long>(pPFX->cbData)));
  if (!pfx || cursor != pPFX->pbData + pPFX->cbData) {
    SetLastHr(CRYPT_E_BAD_ENCODE);
    return nullptr;
  }

  // Windows makes no difference between an empty and a missing password,
  // while PKCS#12 files do: an empty one is tried both ways.
  std::vector<std::optional<std::string>> candidates;
  if (szPassword && *szPassword)
    candidates.emplace_back(ToUtf8(szPassword));
  else
    candidates = {std::string(), std::nullopt};

  bool macChecked = PKCS12_mac_present(pfx.get());
  if (macChecked) {
    std::vector<std::optional<std::string>> right;
    for (const auto& password : candidates) {
      const char* text = password ? password->c_str() : nullptr;
      int length = password ? static_cast<int>(password->size()) : 0;
      if (PKCS12_verify_mac(pfx.get(), text, length)) right.push_back(password);
    }
    if (right.empty()) {
      SetLastError(ERROR_INVALID_PASSWORD);
      return nullptr;
    }
    candidates.swap(right);
  }

  for (const auto& password : candidates) {
    EVP_PKEY* rawKey = nullptr;
    X509* rawCert = nullptr;
    STACK_OF(X509)* rawOthers = nullptr;
    if (!PKCS12_parse(pfx.get(), password ? password->c_str() : nullptr, &rawKey, &rawCert,
                      &rawOthers))
      continue;
    foundation::Unique<EVP_PKEY, EVP_PKEY_free> key(rawKey);
    foundation::Unique<X509, X509_free> cert(rawCert);
    std::unique_ptr<STACK_OF(X509), X509StackFree> others(rawOthers);

    // The certificate with the key first, then the others in file order.
    auto store = std::make_shared<Store>();
    bool ok = !cert || Add(*store, cert.get(), key.get());
    for (int i = 0; ok && i < sk_X509_num(others.get()); ++i)
      ok = Add(*store, sk_X509_value(others.get(), i), nullptr);
    if (!ok) {
      DWORD error = GetLastError();
      store->Close();
      SetLastError(error);
      return nullptr;
    }
    return Register(std::move(store));
  }
  // With the MAC right the bags themselves are broken; without a MAC a
  // wrong password shows only here.
  if (macChecked)
    SetLastHr(CRYPT_E_BAD_ENCODE);
  else
    SetLastError(ERROR_INVALID_PASSWORD);
  return nullptr;
}
