// Containers that live in this process only: keys imported for one
// operation (PKCS#12) must never reach the disk.
#include <openssl/rand.h>

#include <cstdio>
#include <map>

#include "platform/csp/CspInternal.h"
#include "platform/base/LastError.h"
#include "platform/base/WideString.h"

namespace platform::csp {

namespace detail {

namespace {

using VolatileKey = std::pair<std::u16string, std::string>;  // image path, container

struct VolatileTable {
  std::mutex mutex;
  std::map<VolatileKey, std::shared_ptr<VolatileContainer>> containers;
};

VolatileTable& TheTable() {
  static auto* table = new VolatileTable;  // tokens may outlive static teardown
  return *table;
}

std::string NewContainerName() {
  unsigned char r[16];
  if (RAND_bytes(r, sizeof r) != 1) return {};
  char text[40];
  std::snprintf(text, sizeof text,
                "{%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x}", r[0],
                r[1], r[2], r[3], r[4], r[5], r[6], r[7], r[8], r[9], r[10], r[11], r[12], r[13],
                r[14], r[15]);
  return text;
}

std::size_t Slot(DWORD keySpec) { return keySpec == AT_SIGNATURE ? 1 : 0; }

}  // namespace

HRESULT VolatileContainer::GetKeyPair(DWORD keySpec, std::shared_ptr<const KeyPair>* out) const {
  if (!IsKeySpec(keySpec)) return NTE_BAD_KEY;
  std::lock_guard lock(mutex_);
  if (!pairs_[Slot(keySpec)]) return NTE_NO_KEY;
  *out = pairs_[Slot(keySpec)];
  return S_OK;
}

void VolatileContainer::SetKeyPair(DWORD keySpec, std::shared_ptr<const KeyPair> pair) {
  std::lock_guard lock(mutex_);
  pairs_[Slot(keySpec)] = std::move(pair);
}

HRESULT VolatileContainer::SetCertificate(DWORD keySpec, std::span<const BYTE> certificate) {
  std::shared_ptr<const KeyPair> current;
  HRESULT hr = GetKeyPair(keySpec, &current);
  if (FAILED(hr)) return hr;
  std::shared_ptr<const KeyPair> replaced;
  hr = MakeKeyPair(algorithm_, keySpec, current->key, certificate, &replaced);
  if (FAILED(hr)) return hr;
  SetKeyPair(keySpec, std::move(replaced));
  return S_OK;
}

std::shared_ptr<VolatileContainer> FindVolatile(std::u16string_view imagePath,
                                                std::string_view container) {
  VolatileTable& table = TheTable();
  std::lock_guard lock(table.mutex);
  auto it = table.containers.find({std::u16string(imagePath), std::string(container)});
  return it == table.containers.end() ? nullptr : it->second;
}

bool DropVolatile(std::u16string_view imagePath, std::string_view container) {
  VolatileTable& table = TheTable();
  std::lock_guard lock(table.mutex);
  return table.containers.erase({std::u16string(imagePath), std::string(container)}) != 0;
}

}  // namespace detail

std::shared_ptr<void> CreateVolatileContainer(std::u16string_view providerName, DWORD keySpec,
                                              EVP_PKEY* key, std::span<const BYTE> certificate,
                                              std::u16string* containerName) {
  using namespace detail;
  auto installed = FindInstalled(providerName);
  if (!installed) {
    Fail(NTE_KEYSET_NOT_DEF);
    return nullptr;
  }
  // Only our software implementations know how to hold a key in memory.
  auto provider = std::dynamic_pointer_cast<SoftwareProvider>(Instantiate(*installed));
  if (!provider) {
    Fail(NTE_BAD_PROVIDER);
    return nullptr;
  }
  std::shared_ptr<const KeyPair> pair;
  HRESULT hr = MakeKeyPair(provider->Algorithm(), keySpec, key, certificate, &pair);
  if (FAILED(hr)) {
    Fail(hr);
    return nullptr;
  }
  auto container = std::make_shared<VolatileContainer>(provider->Algorithm());
  container->SetKeyPair(keySpec, std::move(pair));

  std::string name;
  {
    VolatileTable& table = TheTable();
    std::lock_guard lock(table.mutex);
    for (int attempt = 0; attempt < 4 && name.empty(); ++attempt) {
      std::string candidate = NewContainerName();
      if (!candidate.empty() &&
          table.containers.emplace(VolatileKey{installed->imagePath, candidate}, container).second)
        name = std::move(candidate);
    }
  }
  if (name.empty()) {
    Fail(NTE_FAIL);
    return nullptr;
  }
  if (containerName != nullptr) *containerName = FromUtf8(name);

  struct Token {
    std::u16string imagePath;
    std::string name;
  };
  return std::shared_ptr<void>(new Token{installed->imagePath, name}, [](Token* token) {
    DropVolatile(token->imagePath, token->name);
    delete token;
  });
}

}  // namespace platform::csp
