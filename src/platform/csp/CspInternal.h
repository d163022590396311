// Pieces shared by the provider sources: the installed-provider list, the
// software key store, in-process containers and the handle tables. The
// hashing, signing and decryption calls over provider keys build on the
// handle lookups at the end.
#pragma once

#include <openssl/evp.h>

#include <array>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/Unique.h"
#include "platform/base/CryptErrors.h"
#include "foundation/SecretBytes.h"
#include "platform/csp/CspProvider.h"

namespace platform::csp::detail {

inline constexpr HRESULT NTE_PROV_TYPE_NO_MATCH = MakeHResult(0x8009001Bu);
inline constexpr HRESULT NTE_PROVIDER_DLL_FAIL = MakeHResult(0x8009001Du);
inline constexpr HRESULT NTE_BAD_KEYSET_PARAM = MakeHResult(0x8009001Fu);

// Sets the last error and gives FALSE, so failures read as one statement.
BOOL Fail(HRESULT hr);
BOOL FailWin32(DWORD error);

// Hands out a value by the size rules of CryptGetProvParam and its
// companions: null pbData asks for the size, a short buffer gets the size
// and ERROR_MORE_DATA, a null pdwDataLen is ERROR_INVALID_PARAMETER.
BOOL CopyOut(const void* data, DWORD size, BYTE* pbData, DWORD* pdwDataLen);

// Erases a handle's entry under the lock, but the value is destroyed only
// after the lock is released: it may hold the last reference to a provider
// context. False when the handle is not there.
template <class Map>
bool EraseOutsideLock(std::mutex& mutex, Map& map, const typename Map::key_type& handle) {
  std::optional<typename Map::mapped_type> removed;
  std::lock_guard lock(mutex);
  auto it = map.find(handle);
  if (it == map.end()) return false;
  removed = std::move(it->second);
  map.erase(it);
  return true;
}

using UniquePkey = foundation::Unique<EVP_PKEY, EVP_PKEY_free>;

using foundation::SecretBytes;

// The key algorithm of a software provider.
struct KeyAlgorithm {
  const char* store;  // folder below keys/
  ALG_ID exchangeAlg;
  ALG_ID signatureAlg;
  // A reference to `key` in the form the provider works with, or null when
  // the key is not of this algorithm or has no private half.
  UniquePkey (*adopt)(EVP_PKEY* key);

  ALG_ID AlgFor(DWORD keySpec) const {
    return keySpec == AT_SIGNATURE ? signatureAlg : exchangeAlg;
  }
};
const KeyAlgorithm& RsaAlgorithm();
const KeyAlgorithm& Sm2Algorithm();

bool IsKeySpec(DWORD keySpec);
// PKCS#8 PrivateKeyInfo DER; false when the key cannot be encoded.
bool EncodePrivateKey(EVP_PKEY* key, SecretBytes* der);
UniquePkey DecodePrivateKey(std::span<const BYTE> der);
// Public halves compared by value, whatever OpenSSL key type carries them
// (an EC key on the SM2 curve equals the same SM2 key).
bool PublicKeysMatch(EVP_PKEY* a, EVP_PKEY* b);
// The public key of exactly one DER certificate, or null.
UniquePkey CertificatePublicKey(std::span<const BYTE> der);
// The length of the DER element at `data` as its header declares it, or 0
// when the header is not a definite-length SEQUENCE; CryptoAPI hands
// certificates over without a length.
std::size_t DerElementLength(const BYTE* data);

// Adopts the key and checks the certificate (when given) against it:
// NTE_BAD_KEY, NTE_BAD_DATA.
HRESULT MakeKeyPair(const KeyAlgorithm& algorithm, DWORD keySpec, EVP_PKEY* key,
                    std::span<const BYTE> certificate, std::shared_ptr<const KeyPair>* out);

// A provider over the per-user folder store keys/<store>/.
class SoftwareProvider : public CspProvider {
 public:
  explicit SoftwareProvider(const KeyAlgorithm& algorithm) : algorithm_(algorithm) {}
  const KeyAlgorithm& Algorithm() const { return algorithm_; }

  std::vector<std::string> EnumContainers() override;
  HRESULT OpenContainer(std::string_view container) override;
  HRESULT CreateContainer(std::string_view container) override;
  HRESULT DeleteContainer(std::string_view container) override;
  HRESULT GetKeyPair(std::string_view container, DWORD keySpec,
                     std::shared_ptr<const KeyPair>* keyPair) override;
  HRESULT PutKeyPair(std::string_view container, DWORD keySpec, EVP_PKEY* key,
                     std::span<const BYTE> certificate) override;
  HRESULT SetCertificate(std::string_view container, DWORD keySpec,
                         std::span<const BYTE> certificate) override;

 private:
  const KeyAlgorithm& algorithm_;
};

std::shared_ptr<CspProvider> MakeRsaSoftwareProvider();
std::shared_ptr<CspProvider> MakeSm2SoftwareProvider();

// ---- Installed providers ----------------------------------------------------

struct InstalledProvider {
  std::u16string name;  // as installed
  DWORD type = 0;
  std::u16string imagePath;
};
// Built-ins and registry entries, in case-insensitive name order.
std::vector<InstalledProvider> InstalledProviders();
std::optional<InstalledProvider> FindInstalled(std::u16string_view name);
// Null when no implementation is registered under the image path.
std::shared_ptr<CspProvider> Instantiate(const InstalledProvider& provider);
bool EqualsIgnoringCase(std::u16string_view a, std::u16string_view b);

// ---- In-process containers --------------------------------------------------

class VolatileContainer {
 public:
  explicit VolatileContainer(const KeyAlgorithm& algorithm) : algorithm_(algorithm) {}
  const KeyAlgorithm& Algorithm() const { return algorithm_; }
  HRESULT GetKeyPair(DWORD keySpec, std::shared_ptr<const KeyPair>* out) const;
  void SetKeyPair(DWORD keySpec, std::shared_ptr<const KeyPair> pair);
  HRESULT SetCertificate(DWORD keySpec, std::span<const BYTE> certificate);

 private:
  const KeyAlgorithm& algorithm_;
  mutable std::mutex mutex_;
  std::array<std::shared_ptr<const KeyPair>, 2> pairs_;
};

// Containers are found by the implementation behind the provider, so the
// RSA providers that share one store also share in-process containers.
std::shared_ptr<VolatileContainer> FindVolatile(std::u16string_view imagePath,
                                                std::string_view container);
// True when it was there.
bool DropVolatile(std::u16string_view imagePath, std::string_view container);

// ---- Handles ----------------------------------------------------------------

// An acquired provider context. Immutable after acquisition except for the
// container enumeration cursor.
struct ProviderContext {
  InstalledProvider installed;
  std::shared_ptr<CspProvider> provider;
  std::optional<std::string> container;  // UTF-8; none for CRYPT_VERIFYCONTEXT
  std::shared_ptr<VolatileContainer> volatileContainer;

  std::mutex enumMutex;
  std::vector<std::string> enumNames;
  std::size_t enumNext = 0;

  HRESULT GetKeyPair(DWORD keySpec, std::shared_ptr<const KeyPair>* out) const;
  HRESULT SetCertificate(DWORD keySpec, std::span<const BYTE> certificate) const;
};

// keySpec 0: a public key brought in by CryptImportPublicKeyInfo, which
// belongs to no container and has no private half.
struct KeyObject {
  std::shared_ptr<ProviderContext> context;
  DWORD keySpec = 0;
  std::shared_ptr<const KeyPair> pair;
};

// Null / nullopt for a handle that is not live.
std::shared_ptr<ProviderContext> LookupContext(HCRYPTPROV handle);
std::optional<KeyObject> LookupKey(HCRYPTKEY handle);
HCRYPTKEY AddKeyHandle(KeyObject key);
// A fresh value from the counter behind provider and key handles, so hash
// handles never collide with them either.
ULONG_PTR NewHandleValue();

// True when the context's provider is the built-in SM2 implementation.
bool IsSm2Context(const ProviderContext& context);

}  // namespace platform::csp::detail
