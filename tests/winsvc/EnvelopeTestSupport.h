// RSA recipients with their private keys in containers, stores to search and
// small file helpers for the envelope tests.
#pragma once

#include <gtest/gtest.h>
#include <openssl/pem.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "CertificateTestSupport.h"
#include "pki/TestPki.h"
#include "platform/store/CertStore.h"

namespace envtest {

namespace fs = std::filesystem;
using Bytes = std::vector<BYTE>;

using UniqueStore = UniqueCertStore;

// Key generation is slow: each identity is made once per process.
inline const testpki::Identity& Made(int which) {
  static const char* const subjects[] = {"C=CN,CN=Envelope Alice", "C=CN,CN=Envelope Bob",
                                         "C=CN,CN=Envelope Carol", "C=CN,CN=Envelope No Key Id"};
  static testpki::Identity ids[4];
  if (ids[which].cert() == nullptr) {
    testpki::CertProfile profile{.subject = subjects[which],
                                 .serialHex = "E" + std::to_string(which),
                                 .keyUsage = testpki::kKuKeyEncipherment,
                                 .subjectKeyId = which != 3};
    auto made = testpki::MakeRsaIdentity(profile, nullptr);
    if (!made) std::abort();
    ids[which] = std::move(*made);
  }
  return ids[which];
}
inline const testpki::Identity& Alice() { return Made(0); }
inline const testpki::Identity& Bob() { return Made(1); }
inline const testpki::Identity& Carol() { return Made(2); }
inline const testpki::Identity& NoSkid() { return Made(3); }

// A store holding the certificate with its private key imported into a
// container of the current state folders.
inline UniqueStore KeyedStore(const testpki::Identity& id) {
  Bytes pfx = testpki::MakePkcs12(id, "pw");
  CRYPT_DATA_BLOB blob{static_cast<DWORD>(pfx.size()), pfx.data()};
  return UniqueStore(PFXImportCertStore(&blob, u"pw", 0));
}

// A memory store with the certificates alone (no private key).
inline UniqueStore BareStore(const std::vector<const testpki::Identity*>& ids) {
  UniqueStore store(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
  for (const testpki::Identity* id : ids) {
    Bytes der = id->CertDer();
    CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING, der.data(),
                                     static_cast<DWORD>(der.size()), CERT_STORE_ADD_ALWAYS,
                                     nullptr);
  }
  return store;
}

// A recipient set (each entry freed by OwnedSet).
inline void AddRecipient(certtest::OwnedSet& owned, const testpki::Identity& id) {
  owned.set.push_back(certtest::ContextOf(id).release());
}

inline Bytes ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteAll(const fs::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

// Bytes that differ from block to block, so a misplaced block shows.
inline Bytes Pattern(std::size_t size, std::uint32_t seed = 0x9e3779b9u) {
  Bytes bytes(size);
  for (auto& b : bytes) b = static_cast<BYTE>((seed = seed * 1664525u + 1013904223u) >> 24);
  return bytes;
}

inline void WritePem(const fs::path& folder, const testpki::Identity& id) {
  std::ofstream(folder / "cert.pem") << id.CertPem();
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_file((folder / "key.pem").c_str(), "w"),
                                                BIO_free);
  ASSERT_TRUE(bio && PEM_write_bio_PrivateKey(bio.get(), id.key(), nullptr, nullptr, 0, nullptr,
                                              nullptr) == 1);
}

}  // namespace envtest
