// A key-container provider for tests that need certificates with keys on a
// "token": containers hold at most one exchange and one signature pair, are
// listed in the order they were added, and nothing can be created, stored or
// deleted through the provider.
#pragma once

#include <openssl/evp.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "pki/TestPki.h"
#include "platform/csp/CspProvider.h"

namespace testsupport {

using platform::csp::KeyPair;

class FakeCspProvider : public platform::csp::CspProvider {
 public:
  struct Container {
    std::string name;
    std::shared_ptr<const KeyPair> exchange;
    std::shared_ptr<const KeyPair> signature;
  };

  explicit FakeCspProvider(DWORD impType = CRYPT_IMPL_SOFTWARE) : m_impType(impType) {}

  void Add(Container container) { m_containers.push_back(std::move(container)); }

  DWORD ImplementationType() const override { return m_impType; }
  std::vector<std::string> EnumContainers() override {
    std::vector<std::string> names;
    for (const Container& c : m_containers) names.push_back(c.name);
    return names;
  }
  HRESULT OpenContainer(std::string_view container) override {
    return Find(container) ? S_OK : NTE_BAD_KEYSET;
  }
  HRESULT CreateContainer(std::string_view) override { return E_NOTIMPL; }
  HRESULT DeleteContainer(std::string_view) override { return E_NOTIMPL; }
  HRESULT GetKeyPair(std::string_view container, DWORD keySpec,
                     std::shared_ptr<const KeyPair>* keyPair) override {
    const Container* c = Find(container);
    if (c == nullptr) return NTE_BAD_KEYSET;
    const auto& pair = keySpec == AT_KEYEXCHANGE ? c->exchange : c->signature;
    if (!pair) return NTE_NO_KEY;
    *keyPair = pair;
    return S_OK;
  }
  HRESULT PutKeyPair(std::string_view, DWORD, EVP_PKEY*, std::span<const BYTE>) override {
    return E_NOTIMPL;
  }
  HRESULT SetCertificate(std::string_view, DWORD, std::span<const BYTE>) override {
    return E_NOTIMPL;
  }

 private:
  const Container* Find(std::string_view name) const {
    for (const Container& c : m_containers)
      if (c.name == name) return &c;
    return nullptr;
  }
  DWORD m_impType;
  std::vector<Container> m_containers;
};

// The identity's SM2 key as a pair of that kind, carrying its certificate
// unless withCertificate is false.
inline std::shared_ptr<const KeyPair> Sm2KeyPair(DWORD keySpec, const testpki::Identity& id,
                                                 bool withCertificate = true) {
  auto pair = std::make_shared<KeyPair>();
  pair->keySpec = keySpec;
  pair->algId = keySpec == AT_KEYEXCHANGE ? CALG_SM2_KEYX : CALG_SM2_SIGN;
  EVP_PKEY_up_ref(id.key());
  pair->key = id.key();
  if (withCertificate) {
    const testpki::Bytes der = id.CertDer();
    pair->certificate.assign(der.begin(), der.end());
  }
  return pair;
}

}  // namespace testsupport
