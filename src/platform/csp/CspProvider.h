// The C++ side of the providers behind Csp.h: what a provider must do, the
// built-in software implementations, and what our own tools and the PKCS#12
// import use directly. Another kind of provider (a PKCS#11 token, say) is a
// new CspProvider registered under its own image path.
//
// Software providers keep each container in its own folder below the
// user's state root, keys/<store>/<hex of the UTF-8 container name>/ (mode
// 0700), with exchange.key / signature.key (PKCS#8 DER, mode 0600) and
// exchange.cer / signature.cer (the certificate parameter). The three RSA
// providers share the store "rsa"; the SM2 provider uses "sm2".
#pragma once

#include <openssl/types.h>

#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/csp/Csp.h"
#include "platform/registry/Registry.h"
#include "platform/base/WinTypes.h"

namespace platform::csp {

// One key pair of a container as the provider hands it out; shared with
// every key handle over it.
struct KeyPair {
  KeyPair() = default;
  KeyPair(const KeyPair&) = delete;  // owns the key: a copy would free it twice
  KeyPair& operator=(const KeyPair&) = delete;
  DWORD keySpec = 0;
  ALG_ID algId = 0;
  EVP_PKEY* key = nullptr;        // owned
  std::vector<BYTE> certificate;  // DER, empty when none
  ~KeyPair();
};

class CspProvider {
 public:
  virtual ~CspProvider() = default;
  virtual DWORD ImplementationType() const { return CRYPT_IMPL_SOFTWARE; }

  // Container names (UTF-8) in the order PP_ENUMCONTAINERS gives them.
  virtual std::vector<std::string> EnumContainers() = 0;
  // S_OK, NTE_BAD_KEYSET when missing.
  virtual HRESULT OpenContainer(std::string_view container) = 0;
  // S_OK, NTE_EXISTS when present.
  virtual HRESULT CreateContainer(std::string_view container) = 0;
  virtual HRESULT DeleteContainer(std::string_view container) = 0;
  // S_OK, NTE_BAD_KEYSET, NTE_NO_KEY.
  virtual HRESULT GetKeyPair(std::string_view container, DWORD keySpec,
                             std::shared_ptr<const KeyPair>* keyPair) = 0;
  // Stores a key pair (replacing one of the same kind, and that pair's
  // certificate), with its certificate when given; creates the container when
  // it is missing. The caller keeps its reference to `key`. NTE_BAD_KEY when
  // the key is not a private key of the provider's algorithm, NTE_BAD_DATA
  // when the certificate does not carry its public key.
  virtual HRESULT PutKeyPair(std::string_view container, DWORD keySpec, EVP_PKEY* key,
                             std::span<const BYTE> certificate) = 0;
  // An empty certificate removes it. NTE_BAD_KEYSET, NTE_NO_KEY,
  // NTE_BAD_DATA as above.
  virtual HRESULT SetCertificate(std::string_view container, DWORD keySpec,
                                 std::span<const BYTE> certificate) = 0;
};

// Image paths of the built-in implementations.
inline constexpr char16_t kImageRsaSoftware[] = u"builtin:rsa-software";
inline constexpr char16_t kImageSm2Software[] = u"builtin:sm2-software";

using ProviderFactory = std::function<std::shared_ptr<CspProvider>()>;
// Makes an implementation available under an image path (tests register
// their own providers this way, then name them in the registry).
void RegisterImplementation(std::u16string imagePath, ProviderFactory factory);

// The provider installed under that name (case-insensitive), or null.
std::shared_ptr<CspProvider> FindProvider(std::u16string_view name, DWORD* provType = nullptr);

// Writes the registry entry (name, type, image path) into the machine
// registry stand-in; ERROR_ACCESS_DENIED and friends as the registry gives
// them. The built-in RSA providers need no entry.
LSTATUS InstallProvider(std::u16string_view name, DWORD provType, std::u16string_view imagePath);
LSTATUS UninstallProvider(std::u16string_view name);

// A container that lives in this process only, for keys that must never
// reach the disk (PKCS#12 imports). Its name ("{...}", unique) is returned;
// CryptAcquireContextW finds it under any provider name with the same
// implementation, PP_ENUMCONTAINERS does not list it, and new acquisitions
// fail with NTE_BAD_KEYSET once the returned token is released (contexts
// already open keep their keys until released). The key is referenced, not
// taken. Null with the last error: NTE_KEYSET_NOT_DEF for an unknown
// provider, NTE_BAD_PROVIDER for one that is not a built-in software
// implementation, NTE_BAD_KEY / NTE_BAD_DATA as for PutKeyPair.
std::shared_ptr<void> CreateVolatileContainer(std::u16string_view providerName, DWORD keySpec,
                                              EVP_PKEY* key, std::span<const BYTE> certificate,
                                              std::u16string* containerName);

}  // namespace platform::csp
