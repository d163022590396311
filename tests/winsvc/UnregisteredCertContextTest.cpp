#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>
#include <vector>

#include "winsvc/UnregisteredCertContext.h"

namespace {

// A throw-away self-signed certificate; only its bytes matter here.
std::vector<BYTE> MakeCertificateDer() {
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("prime256v1"), &EVP_PKEY_free);
  std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), &X509_free);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 42);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
  X509_set_pubkey(cert.get(), key.get());
  X509_sign(cert.get(), key.get(), EVP_sha256());
  unsigned char* der = nullptr;
  const int nLen = i2d_X509(cert.get(), &der);
  std::vector<BYTE> bytes(der, der + (nLen > 0 ? nLen : 0));
  OPENSSL_free(der);
  return bytes;
}

class UnregisteredCertContextTest : public testing::Test {
 protected:
  void SetUp() override {
    m_pCert = CertCreateCertificateContext(X509_ASN_ENCODING, m_der.data(),
                                           static_cast<DWORD>(m_der.size()));
    ASSERT_NE(m_pCert, nullptr);
  }
  void TearDown() override { CertFreeCertificateContext(m_pCert); }
  // Drops the test's own reference, so only the records keep the certificate.
  void ReleaseOwnReference() {
    CertFreeCertificateContext(m_pCert);
    m_pCert = nullptr;
  }
  std::vector<BYTE> EncodedOf(PUNREGISTERED_CERT_CONTEXT pRecord) const {
    const auto* pCert = pRecord->pCertContext;
    return {pCert->pbCertEncoded, pCert->pbCertEncoded + pCert->cbCertEncoded};
  }

  std::vector<BYTE> m_der = MakeCertificateDer();
  PCCERT_CONTEXT m_pCert = nullptr;
};

TEST_F(UnregisteredCertContextTest, NamesAreCopiedWholeOrRefused) {
  const std::u16string n259(259, u'n'), n260(260, u'n');
  struct Case {
    const char16_t* csp;
    const char16_t* container;
    HRESULT hResult;
  };
  const Case cases[] = {{n259.c_str(), n259.c_str(), S_OK}, {n260.c_str(), u"c", E_INVALIDARG},
                        {u"p", n260.c_str(), E_INVALIDARG}, {u"", u"c", E_INVALIDARG},
                        {u"p", u"", E_INVALIDARG},          {nullptr, u"c", E_INVALIDARG},
                        {u"p", nullptr, E_INVALIDARG}};
  for (const Case& c : cases) {
    PUNREGISTERED_CERT_CONTEXT pRecord = nullptr;
    ASSERT_EQ(
        CertCreateUnregisteredCertContext(c.csp, m_pCert, c.container, AT_SIGNATURE, &pRecord),
        c.hResult);
    if (SUCCEEDED(c.hResult)) {
      EXPECT_EQ(std::u16string(pRecord->wszCSPName), n259);
      EXPECT_EQ(std::u16string(pRecord->wszContainerName), n259);
      EXPECT_EQ(pRecord->dwKeySpec, AT_SIGNATURE);
      EXPECT_EQ(EncodedOf(pRecord), m_der);
    } else {
      EXPECT_EQ(pRecord, nullptr);
    }
    CertFreeUnregisteredCertContext(pRecord);
  }
  PUNREGISTERED_CERT_CONTEXT pRecord = nullptr;
  EXPECT_EQ(CertCreateUnregisteredCertContext(u"p", nullptr, u"c", 1, &pRecord), E_INVALIDARG);
}

TEST_F(UnregisteredCertContextTest, DuplicateOutlivesItsSource) {
  PUNREGISTERED_CERT_CONTEXT pFirst = nullptr, pSecond = nullptr;
  ASSERT_EQ(CertCreateUnregisteredCertContext(u"CSP", m_pCert, u"Box", AT_KEYEXCHANGE, &pFirst),
            S_OK);
  ASSERT_EQ(CertDuplicateUnregisteredCertContext(pFirst, &pSecond), S_OK);
  ASSERT_NE(pSecond, pFirst);
  ReleaseOwnReference();
  CertFreeUnregisteredCertContext(pFirst);
  EXPECT_EQ(std::u16string(pSecond->wszContainerName), u"Box");
  EXPECT_EQ(pSecond->dwKeySpec, AT_KEYEXCHANGE);
  EXPECT_EQ(EncodedOf(pSecond), m_der);  // the sanitizer build catches a freed certificate
  CertFreeUnregisteredCertContext(pSecond);
}

TEST_F(UnregisteredCertContextTest, DuplicateRefusesIncompleteSource) {
  UNREGISTERED_CERT_CONTEXT incomplete{};  // names left empty
  incomplete.pCertContext = m_pCert;
  PUNREGISTERED_CERT_CONTEXT pOut = &incomplete;
  EXPECT_EQ(CertDuplicateUnregisteredCertContext(&incomplete, &pOut), E_INVALIDARG);
  EXPECT_EQ(CertDuplicateUnregisteredCertContext(nullptr, &pOut), E_INVALIDARG);
  EXPECT_EQ(pOut, &incomplete);
}

TEST_F(UnregisteredCertContextTest, EmptyingASetFreesEveryRecord) {
  CertFreeUnregisteredCertContext(nullptr);
  UNREGISTERED_CERT_SET set;
  for (const char16_t* container : {u"one", u"two", u"three"}) {
    PUNREGISTERED_CERT_CONTEXT pRecord = nullptr;
    ASSERT_EQ(CertCreateUnregisteredCertContext(u"CSP", m_pCert, container, 2, &pRecord), S_OK);
    set.push_back(pRecord);
  }
  ReleaseOwnReference();
  EXPECT_EQ(EncodedOf(set[2]), m_der);
  RemoveAllUnregisteredCertificates(set);  // the leak checker sees any record left behind
  EXPECT_TRUE(set.empty());
}

}  // namespace
