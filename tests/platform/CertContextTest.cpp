#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

#include "foundation/Unique.h"
#include "TestCertificate.h"
#include "platform/cert/CertContext.h"
#include "platform/base/CryptErrors.h"
#include "platform/base/LastError.h"

namespace {

using Bytes = std::vector<BYTE>;

using UniqueContext = foundation::Unique<const CERT_CONTEXT, CertFreeCertificateContext>;

Bytes BlobBytes(const CRYPT_INTEGER_BLOB& blob) {
  return Bytes(blob.pbData, blob.pbData + blob.cbData);
}

Bytes NameDer(const X509_NAME* name) {
  unsigned char* der = nullptr;
  int size = i2d_X509_NAME(name, &der);
  Bytes out(der, der + std::max(size, 0));
  OPENSSL_free(der);
  return out;
}

ULONGLONG Ticks(const FILETIME& ft) {
  return static_cast<ULONGLONG>(ft.dwHighDateTime) << 32 | ft.dwLowDateTime;
}

constexpr ULONGLONG kTicksPerSecond = 10000000ULL;
constexpr ULONGLONG kUnixEpochTicks = 11644473600ULL * kTicksPerSecond;

Bytes GetProperty(PCCERT_CONTEXT ctx, DWORD id) {
  DWORD size = 0;
  if (!CertGetCertificateContextProperty(ctx, id, nullptr, &size)) return {};
  Bytes out(size);
  EXPECT_TRUE(CertGetCertificateContextProperty(ctx, id, out.data(), &size));
  out.resize(size);
  return out;
}

Bytes Digest(const EVP_MD* md, const Bytes& data) {
  unsigned char hash[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_Digest(data.data(), data.size(), hash, &n, md, nullptr);
  return Bytes(hash, hash + n);
}

class CertContextTest : public ::testing::Test {
 protected:
  static const testcert::Built& Rsa() {
    static testcert::Built built = testcert::Make({});
    return built;
  }
  static const testcert::Built& Ec() {
    static testcert::Built built = [] {
      testcert::Options o;
      o.key = testcert::KeyKind::EcP256;
      o.subjectKeyId = false;
      o.serial = {0x80, 0x00, 0x00, 0x01};
      o.notAfter = "20500101000000Z";  // GeneralizedTime range
      return testcert::Make(o);
    }();
    return built;
  }
  static UniqueContext Create(const Bytes& der) {
    return UniqueContext(CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                                      der.data(), static_cast<DWORD>(der.size())));
  }
};

TEST_F(CertContextTest, KeepsItsOwnCopyOfTheEncoding) {
  ASSERT_FALSE(Rsa().der.empty());
  Bytes der = Rsa().der;
  UniqueContext ctx = Create(der);
  ASSERT_TRUE(ctx);
  std::fill(der.begin(), der.end(), 0);
  EXPECT_EQ(ctx->dwCertEncodingType, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING);
  EXPECT_EQ(Bytes(ctx->pbCertEncoded, ctx->pbCertEncoded + ctx->cbCertEncoded), Rsa().der);
  EXPECT_EQ(X509_cmp(CertContextX509(ctx.get()), Rsa().cert.get()), 0);
  EXPECT_EQ(ctx->hCertStore, nullptr);
}

TEST_F(CertContextTest, RefusesInputThatIsNotExactlyOneCertificate) {
  const Bytes& good = Rsa().der;
  ASSERT_FALSE(good.empty());
  Bytes trailing = good;
  trailing.push_back(0x00);
  Bytes truncated(good.begin(), good.end() - 1);
  Bytes garbage = {0x04, 0x03, 0x01, 0x02, 0x03};
  struct Case {
    const char* what;
    DWORD encoding;
    const BYTE* data;
    DWORD size;
    HRESULT error;
  } cases[] = {
      {"null", X509_ASN_ENCODING, nullptr, 10, E_INVALIDARG},
      {"empty", X509_ASN_ENCODING, good.data(), 0, E_INVALIDARG},
      {"PKCS #7 only", PKCS_7_ASN_ENCODING, good.data(), static_cast<DWORD>(good.size()),
       E_INVALIDARG},
      {"trailing byte", X509_ASN_ENCODING, trailing.data(), static_cast<DWORD>(trailing.size()),
       CRYPT_E_ASN1_BADTAG},
      {"truncated", X509_ASN_ENCODING, truncated.data(), static_cast<DWORD>(truncated.size()),
       CRYPT_E_ASN1_BADTAG},
      {"not a certificate", X509_ASN_ENCODING, garbage.data(), static_cast<DWORD>(garbage.size()),
       CRYPT_E_ASN1_BADTAG},
  };
  for (const Case& c : cases) {
    SetLastError(0);
    EXPECT_EQ(CertCreateCertificateContext(c.encoding, c.data, c.size), nullptr) << c.what;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(c.error)) << c.what;
  }
}

// OpenSSL reads a certificate whose outer length takes more octets than it
// needs; a certificate is DER, so it is refused all the same.
TEST_F(CertContextTest, RefusesLengthsLongerThanDerAllows) {
  const Bytes& good = Rsa().der;
  ASSERT_GE(good.size(), 4u);
  ASSERT_EQ(good[1], 0x82);
  Bytes longer = {0x30, 0x83, 0x00, good[2], good[3]};
  longer.insert(longer.end(), good.begin() + 4, good.end());
  SetLastError(0);
  EXPECT_EQ(Create(longer), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_ASN1_BADTAG));
}

TEST_F(CertContextTest, SerialNumberIsTheEncodedIntegerLeastSignificantFirst) {
  struct Case {
    Bytes magnitude;
    bool negative;
    Bytes expected;  // DER contents reversed
  } cases[] = {
      {{0x01}, false, {0x01}},
      {{0x80, 0x01}, false, {0x01, 0x80, 0x00}},  // leading zero kept
      {{0x00, 0x7F, 0x02}, false, {0x02, 0x7F}},  // minimal encoding
      {{0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0, 0x11, 0x22,
        0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC},
       false,
       {0xCC, 0xBB, 0xAA, 0x99, 0x88, 0x77, 0x66, 0x55, 0x44, 0x33,
        0x22, 0x11, 0xF0, 0xDE, 0xBC, 0x9A, 0x78, 0x56, 0x34, 0x12}},
      {{0x01}, true, {0xFF}},  // -1
  };
  for (const Case& c : cases) {
    testcert::Options o;
    o.key = testcert::KeyKind::EcP256;
    o.serial = c.magnitude;
    o.negativeSerial = c.negative;
    testcert::Built built = testcert::Make(o);
    ASSERT_FALSE(built.der.empty());
    UniqueContext ctx = Create(built.der);
    ASSERT_TRUE(ctx);
    EXPECT_EQ(BlobBytes(ctx->pCertInfo->SerialNumber), c.expected);
  }
}

TEST_F(CertContextTest, CertInfoMatchesOpenSslForRsa) {
  UniqueContext ctx = Create(Rsa().der);
  ASSERT_TRUE(ctx);
  const CERT_INFO& info = *ctx->pCertInfo;
  X509* x = Rsa().cert.get();
  EXPECT_EQ(info.dwVersion, CERT_V3);
  EXPECT_STREQ(info.SignatureAlgorithm.pszObjId, "1.2.840.113549.1.1.11");
  EXPECT_EQ(BlobBytes(info.SignatureAlgorithm.Parameters), (Bytes{0x05, 0x00}));
  EXPECT_EQ(BlobBytes(info.Issuer), NameDer(X509_get_issuer_name(x)));
  EXPECT_EQ(BlobBytes(info.Subject), NameDer(X509_get_subject_name(x)));
  // 2020-01-02T03:04:05Z and 2049-12-31T23:59:59Z
  EXPECT_EQ(Ticks(info.NotBefore), kUnixEpochTicks + 1577934245ULL * kTicksPerSecond);
  EXPECT_EQ(Ticks(info.NotAfter), kUnixEpochTicks + 2524607999ULL * kTicksPerSecond);
  EXPECT_STREQ(info.SubjectPublicKeyInfo.Algorithm.pszObjId, "1.2.840.113549.1.1.1");
  EXPECT_EQ(BlobBytes(info.SubjectPublicKeyInfo.Algorithm.Parameters), (Bytes{0x05, 0x00}));
  const ASN1_BIT_STRING* bits = X509_get0_pubkey_bitstr(x);
  EXPECT_EQ(
      Bytes(
          info.SubjectPublicKeyInfo.PublicKey.pbData,
          info.SubjectPublicKeyInfo.PublicKey.pbData + info.SubjectPublicKeyInfo.PublicKey.cbData),
      Bytes(ASN1_STRING_get0_data(bits), ASN1_STRING_get0_data(bits) + ASN1_STRING_length(bits)));
  EXPECT_EQ(info.SubjectPublicKeyInfo.PublicKey.cUnusedBits, 0u);
  EXPECT_EQ(info.IssuerUniqueId.cbData, 0u);
  EXPECT_EQ(info.SubjectUniqueId.cbData, 0u);

  ASSERT_EQ(info.cExtension, 2u);
  EXPECT_STREQ(info.rgExtension[0].pszObjId, "2.5.29.19");
  EXPECT_TRUE(info.rgExtension[0].fCritical);
  EXPECT_EQ(BlobBytes(info.rgExtension[0].Value), (Bytes{0x30, 0x03, 0x01, 0x01, 0xFF}));
  EXPECT_STREQ(info.rgExtension[1].pszObjId, "2.5.29.14");
  EXPECT_FALSE(info.rgExtension[1].fCritical);
  const ASN1_OCTET_STRING* ski = X509_get0_subject_key_id(x);
  ASSERT_NE(ski, nullptr);
  Bytes expected = {0x04, static_cast<BYTE>(ASN1_STRING_length(ski))};
  expected.insert(expected.end(), ASN1_STRING_get0_data(ski),
                  ASN1_STRING_get0_data(ski) + ASN1_STRING_length(ski));
  EXPECT_EQ(BlobBytes(info.rgExtension[1].Value), expected);
}

TEST_F(CertContextTest, CertInfoMatchesOpenSslForEc) {
  UniqueContext ctx = Create(Ec().der);
  ASSERT_TRUE(ctx);
  const CERT_INFO& info = *ctx->pCertInfo;
  EXPECT_STREQ(info.SignatureAlgorithm.pszObjId, "1.2.840.10045.4.3.2");
  EXPECT_EQ(info.SignatureAlgorithm.Parameters.cbData, 0u);
  EXPECT_STREQ(info.SubjectPublicKeyInfo.Algorithm.pszObjId, "1.2.840.10045.2.1");
  EXPECT_EQ(BlobBytes(info.SubjectPublicKeyInfo.Algorithm.Parameters),
            (Bytes{0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07}));
  ASSERT_EQ(info.SubjectPublicKeyInfo.PublicKey.cbData, 65u);
  EXPECT_EQ(info.SubjectPublicKeyInfo.PublicKey.pbData[0], 0x04);
  // 2050-01-01T00:00:00Z
  EXPECT_EQ(Ticks(info.NotAfter), kUnixEpochTicks + 2524608000ULL * kTicksPerSecond);
  EXPECT_EQ(BlobBytes(info.SerialNumber), (Bytes{0x01, 0x00, 0x00, 0x80, 0x00}));
  ASSERT_EQ(info.cExtension, 1u);
}

TEST_F(CertContextTest, DuplicatesShareOneObjectAndFreeInAnyOrder) {
  for (int order = 0; order < 3; ++order) {
    PCCERT_CONTEXT first = Create(Rsa().der).release();
    ASSERT_NE(first, nullptr);
    PCCERT_CONTEXT second = CertDuplicateCertificateContext(first);
    PCCERT_CONTEXT third = CertDuplicateCertificateContext(second);
    EXPECT_EQ(second, first);
    EXPECT_EQ(third, first);
    BYTE name[] = {'x', 0};
    CRYPT_DATA_BLOB blob{sizeof name, name};
    ASSERT_TRUE(CertSetCertificateContextProperty(second, CERT_FRIENDLY_NAME_PROP_ID, 0, &blob));
    EXPECT_EQ(GetProperty(third, CERT_FRIENDLY_NAME_PROP_ID), Bytes(name, name + 2));
    std::vector<PCCERT_CONTEXT> all = {first, second, third};
    std::rotate(all.begin(), all.begin() + order, all.end());
    EXPECT_TRUE(CertFreeCertificateContext(all[0]));
    EXPECT_TRUE(CertFreeCertificateContext(all[1]));
    // Still alive through the last reference.
    EXPECT_EQ(all[2]->pCertInfo->dwVersion, CERT_V3);
    EXPECT_TRUE(CertFreeCertificateContext(all[2]));
  }
  EXPECT_EQ(CertDuplicateCertificateContext(nullptr), nullptr);
  EXPECT_TRUE(CertFreeCertificateContext(nullptr));
}

TEST_F(CertContextTest, ReferenceCountHoldsAcrossThreads) {
  PCCERT_CONTEXT ctx = Create(Rsa().der).release();
  ASSERT_NE(ctx, nullptr);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([ctx] {
      for (int i = 0; i < 2000; ++i) {
        PCCERT_CONTEXT dup = CertDuplicateCertificateContext(ctx);
        DWORD size = 0;
        CertGetCertificateContextProperty(dup, CERT_SHA1_HASH_PROP_ID, nullptr, &size);
        CertFreeCertificateContext(dup);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(GetProperty(ctx, CERT_SHA1_HASH_PROP_ID).size(), 20u);
  CertFreeCertificateContext(ctx);
}

TEST_F(CertContextTest, HashesAndKeyIdentifierAreComputedOnDemand) {
  UniqueContext rsa = Create(Rsa().der);
  UniqueContext ec = Create(Ec().der);
  ASSERT_TRUE(rsa && ec);
  EXPECT_EQ(CertEnumCertificateContextProperties(rsa.get(), 0), 0u);
  EXPECT_EQ(GetProperty(rsa.get(), CERT_SHA1_HASH_PROP_ID), Digest(EVP_sha1(), Rsa().der));
  EXPECT_EQ(GetProperty(rsa.get(), CERT_MD5_HASH_PROP_ID), Digest(EVP_md5(), Rsa().der));
  EXPECT_EQ(GetProperty(rsa.get(), CERT_SHA256_HASH_PROP_ID), Digest(EVP_sha256(), Rsa().der));

  const ASN1_OCTET_STRING* ski = X509_get0_subject_key_id(Rsa().cert.get());
  ASSERT_NE(ski, nullptr);
  EXPECT_EQ(
      GetProperty(rsa.get(), CERT_KEY_IDENTIFIER_PROP_ID),
      Bytes(ASN1_STRING_get0_data(ski), ASN1_STRING_get0_data(ski) + ASN1_STRING_length(ski)));

  // Without the extension: SHA-1 of the encoded public key info.
  unsigned char* spki = nullptr;
  int n = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(Ec().cert.get()), &spki);
  Bytes encoded(spki, spki + n);
  OPENSSL_free(spki);
  EXPECT_EQ(GetProperty(ec.get(), CERT_KEY_IDENTIFIER_PROP_ID), Digest(EVP_sha1(), encoded));

  // Asked-for values are kept and listed in ascending order.
  std::vector<DWORD> ids;
  for (DWORD id = CertEnumCertificateContextProperties(rsa.get(), 0); id;
       id = CertEnumCertificateContextProperties(rsa.get(), id))
    ids.push_back(id);
  EXPECT_EQ(ids, (std::vector<DWORD>{CERT_SHA1_HASH_PROP_ID, CERT_MD5_HASH_PROP_ID,
                                     CERT_KEY_IDENTIFIER_PROP_ID, CERT_SHA256_HASH_PROP_ID}));
}

TEST_F(CertContextTest, PropertySizeRulesAndDeletion) {
  UniqueContext ctx = Create(Rsa().der);
  ASSERT_TRUE(ctx);
  BYTE data[] = {1, 0, 2, 0, 3};
  CRYPT_DATA_BLOB blob{sizeof data, data};
  ASSERT_TRUE(CertSetCertificateContextProperty(ctx.get(), 1000, 0, &blob));

  DWORD size = 0;
  ASSERT_TRUE(CertGetCertificateContextProperty(ctx.get(), 1000, nullptr, &size));
  EXPECT_EQ(size, sizeof data);
  BYTE small[4] = {};
  size = sizeof small;
  SetLastError(0);
  EXPECT_FALSE(CertGetCertificateContextProperty(ctx.get(), 1000, small, &size));
  EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
  EXPECT_EQ(size, sizeof data);
  EXPECT_EQ(GetProperty(ctx.get(), 1000), Bytes(data, data + sizeof data));

  CRYPT_DATA_BLOB empty{0, nullptr};
  ASSERT_TRUE(CertSetCertificateContextProperty(ctx.get(), 1001, 0, &empty));
  size = 99;
  EXPECT_TRUE(CertGetCertificateContextProperty(ctx.get(), 1001, nullptr, &size));
  EXPECT_EQ(size, 0u);

  ASSERT_TRUE(CertSetCertificateContextProperty(ctx.get(), 1000, 0, nullptr));
  SetLastError(0);
  EXPECT_FALSE(CertGetCertificateContextProperty(ctx.get(), 1000, nullptr, &size));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_NOT_FOUND));
  EXPECT_FALSE(
      CertGetCertificateContextProperty(ctx.get(), CERT_FRIENDLY_NAME_PROP_ID, nullptr, &size));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_NOT_FOUND));

  CRYPT_DATA_BLOB broken{4, nullptr};
  EXPECT_FALSE(CertSetCertificateContextProperty(ctx.get(), 1002, 0, &broken));
  EXPECT_FALSE(CertGetCertificateContextProperty(ctx.get(), 1001, nullptr, nullptr));
}

TEST_F(CertContextTest, KeyProviderInfoComesBackSelfContained) {
  UniqueContext ctx = Create(Rsa().der);
  ASSERT_TRUE(ctx);
  std::u16string container = u"container-1";
  std::u16string provider = u"Microsoft Enhanced Cryptographic Provider v1.0";
  BYTE pin[] = {'1', '2', '3', 0};
  CRYPT_KEY_PROV_PARAM params[2] = {{0x20, pin, sizeof pin, 0}, {0x21, nullptr, 0, 7}};
  CRYPT_KEY_PROV_INFO info{container.data(), provider.data(), 1, 0x20, 2, params, 2};
  ASSERT_TRUE(CertSetCertificateContextProperty(ctx.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
  container.assign(container.size(), u'x');  // the property holds its own copy

  DWORD size = 0;
  ASSERT_TRUE(
      CertGetCertificateContextProperty(ctx.get(), CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size));
  std::vector<std::max_align_t> storage(size / sizeof(std::max_align_t) + 1);
  auto* buffer = reinterpret_cast<BYTE*>(storage.data());
  ASSERT_TRUE(
      CertGetCertificateContextProperty(ctx.get(), CERT_KEY_PROV_INFO_PROP_ID, buffer, &size));
  const auto* out = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer);
  auto inside = [&](const void* p) {
    return p >= static_cast<const void*>(buffer) && p < static_cast<const void*>(buffer + size);
  };
  ASSERT_TRUE(inside(out->pwszContainerName) && inside(out->pwszProvName));
  EXPECT_EQ(std::u16string(out->pwszContainerName), u"container-1");
  EXPECT_EQ(std::u16string(out->pwszProvName), provider);
  EXPECT_EQ(out->dwProvType, 1u);
  EXPECT_EQ(out->dwFlags, 0x20u);
  EXPECT_EQ(out->dwKeySpec, 2u);
  ASSERT_EQ(out->cProvParam, 2u);
  ASSERT_TRUE(inside(out->rgProvParam));
  EXPECT_EQ(out->rgProvParam[0].dwParam, 0x20u);
  ASSERT_EQ(out->rgProvParam[0].cbData, sizeof pin);
  ASSERT_TRUE(inside(out->rgProvParam[0].pbData));
  EXPECT_EQ(std::memcmp(out->rgProvParam[0].pbData, pin, sizeof pin), 0);
  EXPECT_EQ(out->rgProvParam[1].pbData, nullptr);
  EXPECT_EQ(out->rgProvParam[1].dwFlags, 7u);

  CRYPT_KEY_PROV_INFO noNames{nullptr, nullptr, 24, 0, 0, nullptr, 1};
  ASSERT_TRUE(
      CertSetCertificateContextProperty(ctx.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &noNames));
  ASSERT_TRUE(
      CertGetCertificateContextProperty(ctx.get(), CERT_KEY_PROV_INFO_PROP_ID, buffer, &size));
  EXPECT_EQ(out->pwszContainerName, nullptr);
  EXPECT_EQ(out->rgProvParam, nullptr);
  EXPECT_EQ(out->dwProvType, 24u);

  CRYPT_KEY_PROV_INFO inconsistent{nullptr, nullptr, 1, 0, 3, nullptr, 1};
  EXPECT_FALSE(
      CertSetCertificateContextProperty(ctx.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &inconsistent));
}

TEST_F(CertContextTest, StoreCopyIsIndependent) {
  PCCERT_CONTEXT source = Create(Rsa().der).release();
  ASSERT_NE(source, nullptr);
  BYTE name[] = {'n', 0};
  CRYPT_DATA_BLOB blob{sizeof name, name};
  ASSERT_TRUE(CertSetCertificateContextProperty(source, CERT_FRIENDLY_NAME_PROP_ID, 0, &blob));
  int store = 0;
  UniqueContext copy(CertContextCloneForStore(source, &store));
  ASSERT_TRUE(copy);
  EXPECT_NE(copy.get(), source);
  EXPECT_EQ(copy->hCertStore, &store);
  CertFreeCertificateContext(source);
  EXPECT_EQ(GetProperty(copy.get(), CERT_FRIENDLY_NAME_PROP_ID), Bytes(name, name + 2));
  EXPECT_EQ(Bytes(copy->pbCertEncoded, copy->pbCertEncoded + copy->cbCertEncoded), Rsa().der);
}

}  // namespace
