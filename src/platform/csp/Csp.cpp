// The advapi32-shaped provider calls over the handle tables.
#include "platform/csp/Csp.h"

#include <openssl/evp.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "platform/csp/CspInternal.h"
#include "platform/csp/ProviderKeys.h"
#include "platform/base/LastError.h"
#include "platform/base/WideString.h"

namespace platform::csp::detail {

namespace {

struct ContextEntry {
  std::shared_ptr<ProviderContext> context;
  unsigned references = 1;
};

// Provider and key handles come from one counter, so a handle of one kind is
// never mistaken for the other, and a released handle is never reissued.
class HandleTable {
 public:
  HCRYPTPROV AddContext(std::shared_ptr<ProviderContext> context) {
    std::lock_guard lock(mutex_);
    HCRYPTPROV handle = next_++;
    contexts_.emplace(handle, ContextEntry{std::move(context)});
    return handle;
  }
  std::shared_ptr<ProviderContext> Context(HCRYPTPROV handle) {
    std::lock_guard lock(mutex_);
    auto it = contexts_.find(handle);
    return it == contexts_.end() ? nullptr : it->second.context;
  }
  bool AddRef(HCRYPTPROV handle) {
    std::lock_guard lock(mutex_);
    auto it = contexts_.find(handle);
    if (it == contexts_.end()) return false;
    ++it->second.references;
    return true;
  }
  // The context is destroyed outside the lock: it may release a provider.
  bool Release(HCRYPTPROV handle) {
    std::shared_ptr<ProviderContext> last;
    std::lock_guard lock(mutex_);
    auto it = contexts_.find(handle);
    if (it == contexts_.end()) return false;
    if (--it->second.references == 0) {
      last = std::move(it->second.context);
      contexts_.erase(it);
    }
    return true;
  }

  ULONG_PTR Reserve() {
    std::lock_guard lock(mutex_);
    return next_++;
  }
  HCRYPTKEY AddKey(KeyObject key) {
    std::lock_guard lock(mutex_);
    HCRYPTKEY handle = next_++;
    keys_.emplace(handle, std::move(key));
    return handle;
  }
  std::optional<KeyObject> Key(HCRYPTKEY handle) {
    std::lock_guard lock(mutex_);
    auto it = keys_.find(handle);
    if (it == keys_.end()) return std::nullopt;
    return it->second;
  }
  void ReplacePair(HCRYPTKEY handle, std::shared_ptr<const KeyPair> pair) {
    std::lock_guard lock(mutex_);
    auto it = keys_.find(handle);
    if (it != keys_.end()) it->second.pair = std::move(pair);
  }
  bool RemoveKey(HCRYPTKEY handle) { return EraseOutsideLock(mutex_, keys_, handle); }

 private:
  std::mutex mutex_;
  ULONG_PTR next_ = 0x10000;
  std::unordered_map<ULONG_PTR, ContextEntry> contexts_;
  std::unordered_map<ULONG_PTR, KeyObject> keys_;
};

HandleTable& Handles() {
  static auto* table = new HandleTable;  // handles may be released during teardown
  return *table;
}

BOOL CopyText(const std::string& text, BYTE* pbData, DWORD* pdwDataLen) {
  return CopyOut(text.c_str(), static_cast<DWORD>(text.size() + 1), pbData, pdwDataLen);
}

BOOL CopyDword(DWORD value, BYTE* pbData, DWORD* pdwDataLen) {
  return CopyOut(&value, sizeof value, pbData, pdwDataLen);
}

std::string DefaultContainerName() {
  struct passwd entry {};
  struct passwd* found = nullptr;
  char buffer[4096];
  if (getpwuid_r(geteuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr &&
      found->pw_name != nullptr && found->pw_name[0] != '\0')
    return found->pw_name;
  const char* user = std::getenv("USER");
  return user != nullptr && user[0] != '\0' ? user : "default";
}

std::optional<std::u16string> DefaultProviderName(DWORD provType) {
  if (provType == PROV_RSA_FULL) return MS_ENHANCED_PROV_W;
  if (provType == PROV_RSA_AES) return MS_ENH_RSA_AES_PROV_W;
  return std::nullopt;
}

BOOL EnumContainers(ProviderContext& context, BYTE* pbData, DWORD* pdwDataLen, DWORD dwFlags) {
  if (pdwDataLen == nullptr) return FailWin32(ERROR_INVALID_PARAMETER);
  if (dwFlags != CRYPT_FIRST && dwFlags != CRYPT_NEXT) return Fail(NTE_BAD_FLAGS);
  std::lock_guard lock(context.enumMutex);
  if (pbData == nullptr) {
    // Callers size one buffer by this answer and offer it on every later
    // call, so it must fit the longest name, not the next one.
    std::vector<std::string> names = context.provider->EnumContainers();
    std::size_t longest = 0;
    for (const std::string& name : names) longest = std::max(longest, name.size());
    *pdwDataLen = static_cast<DWORD>(longest + 1);
    return TRUE;
  }
  if (dwFlags == CRYPT_FIRST) {
    context.enumNames = context.provider->EnumContainers();
    context.enumNext = 0;
  }
  if (context.enumNext >= context.enumNames.size()) return FailWin32(ERROR_NO_MORE_ITEMS);
  if (!CopyText(context.enumNames[context.enumNext], pbData, pdwDataLen)) return FALSE;
  ++context.enumNext;
  return TRUE;
}

}  // namespace

HRESULT ProviderContext::GetKeyPair(DWORD keySpec, std::shared_ptr<const KeyPair>* out) const {
  if (!container) return NTE_NO_KEY;
  if (volatileContainer) return volatileContainer->GetKeyPair(keySpec, out);
  return provider->GetKeyPair(*container, keySpec, out);
}

HRESULT ProviderContext::SetCertificate(DWORD keySpec, std::span<const BYTE> certificate) const {
  if (!container) return NTE_NO_KEY;
  if (volatileContainer) return volatileContainer->SetCertificate(keySpec, certificate);
  return provider->SetCertificate(*container, keySpec, certificate);
}

std::shared_ptr<ProviderContext> LookupContext(HCRYPTPROV handle) {
  return Handles().Context(handle);
}

std::optional<KeyObject> LookupKey(HCRYPTKEY handle) { return Handles().Key(handle); }

HCRYPTKEY AddKeyHandle(KeyObject key) { return Handles().AddKey(std::move(key)); }

ULONG_PTR NewHandleValue() { return Handles().Reserve(); }

bool IsSm2Context(const ProviderContext& context) {
  if (context.volatileContainer) return &context.volatileContainer->Algorithm() == &Sm2Algorithm();
  auto* software = dynamic_cast<const SoftwareProvider*>(context.provider.get());
  return software != nullptr && &software->Algorithm() == &Sm2Algorithm();
}

}  // namespace platform::csp::detail

namespace platform::csp {

std::optional<ProviderKeys> ProviderKeys::Find(HCRYPTPROV handle) {
  std::shared_ptr<const detail::ProviderContext> context = detail::LookupContext(handle);
  if (!context) return std::nullopt;
  return ProviderKeys(std::move(context));
}

HRESULT ProviderKeys::GetKeyPair(DWORD keySpec, std::shared_ptr<const KeyPair>* out) const {
  return context_->GetKeyPair(keySpec, out);
}

}  // namespace platform::csp

using namespace platform::csp;
using namespace platform::csp::detail;

BOOL CryptEnumProvidersW(DWORD dwIndex, DWORD* pdwReserved, DWORD dwFlags, DWORD* pdwProvType,
                         LPWSTR szProvName, DWORD* pcbProvName) {
  if (pdwReserved != nullptr || pcbProvName == nullptr) return FailWin32(ERROR_INVALID_PARAMETER);
  if (dwFlags != 0) return Fail(NTE_BAD_FLAGS);
  std::vector<InstalledProvider> providers = InstalledProviders();
  if (dwIndex >= providers.size()) return FailWin32(ERROR_NO_MORE_ITEMS);
  const InstalledProvider& provider = providers[dwIndex];
  DWORD size = static_cast<DWORD>((provider.name.size() + 1) * sizeof(char16_t));
  if (pdwProvType != nullptr) *pdwProvType = provider.type;
  return CopyOut(provider.name.c_str(), size, reinterpret_cast<BYTE*>(szProvName), pcbProvName);
}

BOOL CryptAcquireContextW(HCRYPTPROV* phProv, LPCWSTR szContainer, LPCWSTR szProvider,
                          DWORD dwProvType, DWORD dwFlags) {
  if (phProv == nullptr) return FailWin32(ERROR_INVALID_PARAMETER);
  *phProv = 0;
  const bool verify = (dwFlags & CRYPT_VERIFYCONTEXT) == CRYPT_VERIFYCONTEXT;
  const bool create = (dwFlags & CRYPT_NEWKEYSET) != 0;
  const bool remove = (dwFlags & CRYPT_DELETEKEYSET) != 0;
  // Machine key sets are not kept: every container is the user's own.
  if ((dwFlags & ~(CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET | CRYPT_SILENT)) !=
          0 ||
      (create && remove) || (verify && (create || remove)))
    return Fail(NTE_BAD_FLAGS);

  std::optional<std::u16string> providerName;
  if (szProvider != nullptr && szProvider[0] != u'\0')
    providerName = szProvider;
  else
    providerName = DefaultProviderName(dwProvType);
  if (!providerName) return Fail(NTE_PROV_TYPE_NOT_DEF);
  auto installed = FindInstalled(*providerName);
  if (!installed) return Fail(NTE_KEYSET_NOT_DEF);
  if (installed->type != dwProvType) return Fail(NTE_PROV_TYPE_NOT_DEF);
  auto provider = Instantiate(*installed);
  if (!provider) return Fail(NTE_PROVIDER_DLL_FAIL);

  auto context = std::make_shared<ProviderContext>();
  context->installed = std::move(*installed);
  context->provider = std::move(provider);
  if (!verify) {
    std::string container = szContainer != nullptr && szContainer[0] != u'\0'
                                ? ToUtf8(szContainer)
                                : DefaultContainerName();
    const std::u16string& image = context->installed.imagePath;
    if (auto inMemory = FindVolatile(image, container)) {
      if (create) return Fail(NTE_EXISTS);
      if (remove) return DropVolatile(image, container) ? TRUE : Fail(NTE_BAD_KEYSET);
      context->volatileContainer = std::move(inMemory);
    } else {
      CspProvider& impl = *context->provider;
      HRESULT hr = create   ? impl.CreateContainer(container)
                   : remove ? impl.DeleteContainer(container)
                            : impl.OpenContainer(container);
      if (FAILED(hr)) return Fail(hr);
      if (remove) return TRUE;
    }
    context->container = std::move(container);
  }
  *phProv = Handles().AddContext(std::move(context));
  return TRUE;
}

BOOL CryptContextAddRef(HCRYPTPROV hProv, DWORD* pdwReserved, DWORD dwFlags) {
  if (pdwReserved != nullptr) return FailWin32(ERROR_INVALID_PARAMETER);
  if (dwFlags != 0) return Fail(NTE_BAD_FLAGS);
  return Handles().AddRef(hProv) ? TRUE : FailWin32(ERROR_INVALID_HANDLE);
}

BOOL CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags) {
  if (!Handles().Release(hProv)) return FailWin32(ERROR_INVALID_HANDLE);
  // Windows releases the handle even when it then complains about flags.
  return dwFlags == 0 ? TRUE : Fail(NTE_BAD_FLAGS);
}

BOOL CryptGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                       DWORD dwFlags) {
  auto context = LookupContext(hProv);
  if (!context) return FailWin32(ERROR_INVALID_HANDLE);
  if (dwParam == PP_ENUMCONTAINERS) return EnumContainers(*context, pbData, pdwDataLen, dwFlags);
  if (dwFlags != 0) return Fail(NTE_BAD_FLAGS);
  switch (dwParam) {
    case PP_NAME:
      return CopyText(ToUtf8(context->installed.name), pbData, pdwDataLen);
    case PP_CONTAINER:
    case PP_UNIQUE_CONTAINER:
      // Container names are unique within a provider already.
      if (!context->container) return Fail(NTE_BAD_KEYSET);
      return CopyText(*context->container, pbData, pdwDataLen);
    case PP_IMPTYPE:
      return CopyDword(context->provider->ImplementationType(), pbData, pdwDataLen);
    case PP_PROVTYPE:
      return CopyDword(context->installed.type, pbData, pdwDataLen);
    case PP_VERSION:
      return CopyDword(0x0200, pbData, pdwDataLen);
    default:
      return Fail(NTE_BAD_TYPE);
  }
}

BOOL CryptGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey) {
  auto context = LookupContext(hProv);
  if (!context) return FailWin32(ERROR_INVALID_HANDLE);
  if (phUserKey == nullptr) return FailWin32(ERROR_INVALID_PARAMETER);
  *phUserKey = 0;
  std::shared_ptr<const KeyPair> pair;
  HRESULT hr = context->GetKeyPair(dwKeySpec, &pair);
  if (FAILED(hr)) return Fail(hr);
  *phUserKey = Handles().AddKey(KeyObject{std::move(context), dwKeySpec, std::move(pair)});
  return TRUE;
}

BOOL CryptGetKeyParam(HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                      DWORD dwFlags) {
  auto key = LookupKey(hKey);
  if (!key) return Fail(NTE_BAD_KEY);
  if (dwFlags != 0) return Fail(NTE_BAD_FLAGS);
  const KeyPair& pair = *key->pair;
  switch (dwParam) {
    case KP_CERTIFICATE:
      if (pair.certificate.empty()) return Fail(NTE_NOT_FOUND);
      return CopyOut(pair.certificate.data(), static_cast<DWORD>(pair.certificate.size()), pbData,
                     pdwDataLen);
    case KP_ALGID:
      return CopyDword(pair.algId, pbData, pdwDataLen);
    case KP_KEYLEN:
      return CopyDword(static_cast<DWORD>(EVP_PKEY_get_bits(pair.key)), pbData, pdwDataLen);
    default:
      return Fail(NTE_BAD_TYPE);
  }
}

BOOL CryptSetKeyParam(HCRYPTKEY hKey, DWORD dwParam, const BYTE* pbData, DWORD /*dwFlags*/) {
  auto key = LookupKey(hKey);
  if (!key) return Fail(NTE_BAD_KEY);
  if (dwParam != KP_CERTIFICATE) return Fail(NTE_BAD_TYPE);
  // An imported public key has no container to keep a certificate in.
  if (!IsKeySpec(key->keySpec)) return Fail(NTE_BAD_KEY);
  if (pbData == nullptr) return FailWin32(ERROR_INVALID_PARAMETER);
  std::size_t length = DerElementLength(pbData);
  if (length == 0) return Fail(NTE_BAD_DATA);
  HRESULT hr = key->context->SetCertificate(key->keySpec, {pbData, length});
  if (FAILED(hr)) return Fail(hr);
  std::shared_ptr<const KeyPair> updated;
  if (SUCCEEDED(key->context->GetKeyPair(key->keySpec, &updated)))
    Handles().ReplacePair(hKey, std::move(updated));
  return TRUE;
}

BOOL CryptDestroyKey(HCRYPTKEY hKey) {
  return Handles().RemoveKey(hKey) ? TRUE : Fail(NTE_BAD_KEY);
}
