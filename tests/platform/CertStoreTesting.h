// Small helpers shared by the certificate-store tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/Unique.h"
#include "TestCertificate.h"
#include "platform/store/CertStore.h"
#include "platform/base/LastError.h"

namespace storetest {

using Bytes = std::vector<BYTE>;

using UniqueContext = foundation::Unique<const CERT_CONTEXT, CertFreeCertificateContext>;

using UniqueStore = UniqueCertStore;

inline DWORD Hr(HRESULT hr) { return static_cast<DWORD>(hr); }

// An EC certificate (fast to make) whose serial and name tell it apart.
inline UniqueContext MakeCert(BYTE serial, const std::string& name = "npSigil store test",
                              bool subjectKeyId = true) {
  testcert::Options options;
  options.key = testcert::KeyKind::EcP256;
  options.serial = {serial};
  options.commonName = name;
  options.subjectKeyId = subjectKeyId;
  testcert::Built built = testcert::Make(options);
  EXPECT_FALSE(built.der.empty());
  return UniqueContext(CertCreateCertificateContext(X509_ASN_ENCODING, built.der.data(),
                                                    static_cast<DWORD>(built.der.size())));
}

inline Bytes Der(PCCERT_CONTEXT c) {
  return Bytes(c->pbCertEncoded, c->pbCertEncoded + c->cbCertEncoded);
}

inline Bytes Property(PCCERT_CONTEXT c, DWORD id) {
  DWORD size = 0;
  if (!CertGetCertificateContextProperty(c, id, nullptr, &size)) return {};
  Bytes out(size);
  EXPECT_TRUE(CertGetCertificateContextProperty(c, id, out.data(), &size));
  return out;
}

inline bool HasProperty(PCCERT_CONTEXT c, DWORD id) {
  DWORD size = 0;
  return CertGetCertificateContextProperty(c, id, nullptr, &size) == TRUE;
}

inline void SetBlobProperty(PCCERT_CONTEXT c, DWORD id, const Bytes& value) {
  CRYPT_DATA_BLOB blob{static_cast<DWORD>(value.size()), const_cast<BYTE*>(value.data())};
  ASSERT_TRUE(CertSetCertificateContextProperty(c, id, 0, &blob));
}

// The key-provider property as plain values, for comparisons.
struct ProvInfo {
  std::u16string container, provider;
  DWORD provType = 0, flags = 0, keyType = 0;
  std::vector<std::pair<DWORD, Bytes>> params;
  bool operator==(const ProvInfo&) const = default;
};

inline std::optional<ProvInfo> KeyProvInfo(PCCERT_CONTEXT c) {
  DWORD size = 0;
  if (!CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size))
    return std::nullopt;
  std::vector<std::uint64_t> buffer(size / 8 + 1);
  if (!CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &size))
    return std::nullopt;
  const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.data());
  ProvInfo out;
  if (info->pwszContainerName) out.container = info->pwszContainerName;
  if (info->pwszProvName) out.provider = info->pwszProvName;
  out.provType = info->dwProvType;
  out.flags = info->dwFlags;
  out.keyType = info->dwKeySpec;
  for (DWORD i = 0; i < info->cProvParam; ++i) {
    const CRYPT_KEY_PROV_PARAM& p = info->rgProvParam[i];
    out.params.emplace_back(p.dwParam, Bytes(p.pbData, p.pbData + p.cbData));
  }
  return out;
}

// Every certificate of the store, in enumeration order (one reference each).
inline std::vector<UniqueContext> Enumerate(HCERTSTORE store) {
  std::vector<UniqueContext> out;
  PCCERT_CONTEXT c = nullptr;
  while ((c = CertEnumCertificatesInStore(store, c)) != nullptr)
    out.emplace_back(CertDuplicateCertificateContext(c));
  EXPECT_EQ(GetLastError(), Hr(CRYPT_E_NOT_FOUND));
  return out;
}

inline std::vector<Bytes> Ders(HCERTSTORE store) {
  std::vector<Bytes> out;
  for (const UniqueContext& c : Enumerate(store)) out.push_back(Der(c.get()));
  return out;
}

}  // namespace storetest
