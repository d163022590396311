// Containers, hash handles and OpenSSL cross-checks shared by the hashing
// and signing tests.
#pragma once

#include <openssl/evp.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "CspTestSupport.h"
#include "platform/csp/CspHash.h"

namespace csptest {

class Hash {
 public:
  Hash() = default;
  ~Hash() {
    if (handle != 0) CryptDestroyHash(handle);
  }
  Hash(const Hash&) = delete;
  Hash& operator=(const Hash&) = delete;
  HCRYPTHASH handle = 0;
};

inline Bytes AsBytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

inline Bytes HashValue(HCRYPTHASH hash) {
  DWORD size = 0;
  if (!CryptGetHashParam(hash, HP_HASHVAL, nullptr, &size, 0)) return {};
  Bytes value(size);
  if (!CryptGetHashParam(hash, HP_HASHVAL, value.data(), &size, 0)) return {};
  value.resize(size);
  return value;
}

inline Bytes OpensslDigest(const EVP_MD* md, const Bytes& data) {
  Bytes out(EVP_MAX_MD_SIZE);
  unsigned int length = 0;
  EXPECT_EQ(1, EVP_Digest(data.data(), data.size(), out.data(), &length, md, nullptr));
  out.resize(length);
  return out;
}

inline Bytes Hex(std::string_view text) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2)
    out.push_back(static_cast<BYTE>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
  return out;
}

// A container of the named provider holding the given pairs, deleted at the
// end of the scope; `context` is open on it.
class Container {
 public:
  Container(const char16_t* provider, const testpki::Identity* signature,
            const testpki::Identity* exchange)
      : provider_(provider), name_(UniqueName("hash")) {
    auto store = platform::csp::FindProvider(provider);
    EXPECT_NE(nullptr, store);
    if (!store) return;
    if (signature != nullptr) {
      EXPECT_EQ(S_OK,
                store->PutKeyPair(name_, AT_SIGNATURE, signature->key(), signature->CertDer()));
    }
    if (exchange != nullptr) {
      EXPECT_EQ(S_OK, store->PutKeyPair(name_, AT_KEYEXCHANGE, exchange->key(), {}));
    }
    if (signature == nullptr && exchange == nullptr) {
      EXPECT_EQ(S_OK, store->CreateContainer(name_));
    }
    EXPECT_TRUE(
        CryptAcquireContextW(&context.handle, FromUtf8(name_).c_str(), provider, PROV_RSA_FULL, 0))
        << std::hex << GetLastError();
  }
  ~Container() {
    if (auto store = platform::csp::FindProvider(provider_)) store->DeleteContainer(name_);
  }
  Context context;

 private:
  const char16_t* provider_;
  std::string name_;
};

// The SubjectPublicKeyInfo of a certificate, imported into `prov`.
inline HCRYPTKEY ImportCertKey(HCRYPTPROV prov, const testpki::Identity& id) {
  Bytes der = id.CertDer();
  PCCERT_CONTEXT cert =
      CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
  if (cert == nullptr) return 0;
  HCRYPTKEY key = 0;
  EXPECT_TRUE(CryptImportPublicKeyInfo(prov, X509_ASN_ENCODING,
                                       &cert->pCertInfo->SubjectPublicKeyInfo, &key))
      << std::hex << GetLastError();
  CertFreeCertificateContext(cert);
  return key;
}

}  // namespace csptest
