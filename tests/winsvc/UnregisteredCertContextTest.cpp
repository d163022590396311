#include "winsvc/UnregisteredCertContext.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/WideString.h"

namespace {

// A self-signed certificate made on the spot; only its bytes matter here.
std::vector<BYTE> MakeCertificateDer() {
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("prime256v1"),
                                                          &EVP_PKEY_free);
  std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), &X509_free);
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 42);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("Container Test"), -1, -1, 0);
  X509_set_issuer_name(cert.get(), name);
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
    const std::vector<BYTE> der = MakeCertificateDer();
    m_der = der;
    m_pCert = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(),
                                           static_cast<DWORD>(der.size()));
    ASSERT_NE(m_pCert, nullptr);
  }
  void TearDown() override { CertFreeCertificateContext(m_pCert); }

  std::vector<BYTE> EncodedOf(PCCERT_CONTEXT pCert) const {
    return {pCert->pbCertEncoded, pCert->pbCertEncoded + pCert->cbCertEncoded};
  }

  std::vector<BYTE> m_der;
  PCCERT_CONTEXT m_pCert = nullptr;
};

TEST_F(UnregisteredCertContextTest, CreateKeepsCopiesOfEverything) {
  std::u16string csp = u"SM2 Token CSP";
  std::u16string container = u"{container-1}";
  PUNREGISTERED_CERT_CONTEXT pRecord = nullptr;
  ASSERT_EQ(CertCreateUnregisteredCertContext(csp.c_str(), m_pCert, container.c_str(),
                                              AT_SIGNATURE, &pRecord),
            S_OK);
  csp[0] = u'X';  // the record holds its own copies
  container[0] = u'X';
  EXPECT_EQ(std::u16string(pRecord->wszCSPName), u"SM2 Token CSP");
  EXPECT_EQ(std::u16string(pRecord->wszContainerName), u"{container-1}");
  EXPECT_EQ(pRecord->dwKeySpec, AT_SIGNATURE);
  EXPECT_EQ(EncodedOf(pRecord->pCertContext), m_der);
  CertFreeUnregisteredCertContext(pRecord);
}

TEST_F(UnregisteredCertContextTest, NameLengthLimits) {
  const std::u16string n259(259, u'n');
  const std::u16string n260(260, u'n');
  struct Case {
    const char16_t* csp;
    const char16_t* container;
    HRESULT expected;
  };
  const Case cases[] = {
      {n259.c_str(), n259.c_str(), S_OK},
      {n260.c_str(), u"c", E_INVALIDARG},
      {u"p", n260.c_str(), E_INVALIDARG},
      {u"", u"c", E_INVALIDARG},
      {u"p", u"", E_INVALIDARG},
      {nullptr, u"c", E_INVALIDARG},
      {u"p", nullptr, E_INVALIDARG},
  };
  for (const Case& c : cases) {
    PUNREGISTERED_CERT_CONTEXT pRecord = nullptr;
    EXPECT_EQ(CertCreateUnregisteredCertContext(c.csp, m_pCert, c.container, AT_KEYEXCHANGE,
                                                &pRecord),
              c.expected);
    if (c.expected == S_OK) {
      ASSERT_NE(pRecord, nullptr);
      EXPECT_EQ(std::u16string(pRecord->wszCSPName), n259);
      EXPECT_EQ(std::u16string(pRecord->wszContainerName), n259);
    } else {
      EXPECT_EQ(pRecord, nullptr);
    }
    CertFreeUnregisteredCertContext(pRecord);
  }

  PUNREGISTERED_CERT_CONTEXT pRecord = nullptr;
  EXPECT_EQ(CertCreateUnregisteredCertContext(u"p", nullptr, u"c", AT_KEYEXCHANGE, &pRecord),
            E_INVALIDARG);
  EXPECT_EQ(pRecord, nullptr);
}

TEST_F(UnregisteredCertContextTest, DuplicateIsIndependent) {
  PUNREGISTERED_CERT_CONTEXT pFirst = nullptr;
  ASSERT_EQ(CertCreateUnregisteredCertContext(u"CSP", m_pCert, u"Box", AT_KEYEXCHANGE, &pFirst),
            S_OK);
  PUNREGISTERED_CERT_CONTEXT pSecond = nullptr;
  ASSERT_EQ(CertDuplicateUnregisteredCertContext(pFirst, &pSecond), S_OK);
  ASSERT_NE(pSecond, pFirst);
  EXPECT_EQ(std::u16string(pSecond->wszCSPName), u"CSP");
  EXPECT_EQ(std::u16string(pSecond->wszContainerName), u"Box");
  EXPECT_EQ(pSecond->dwKeySpec, AT_KEYEXCHANGE);

  // Our own reference goes first, then the original record: the copy lives on.
  CertFreeCertificateContext(m_pCert);
  m_pCert = nullptr;
  CertFreeUnregisteredCertContext(pFirst);
  EXPECT_EQ(EncodedOf(pSecond->pCertContext), m_der);
  EXPECT_NE(CertContextX509(pSecond->pCertContext), nullptr);
  CertFreeUnregisteredCertContext(pSecond);
}

TEST_F(UnregisteredCertContextTest, DuplicateRefusesIncompleteSource) {
  UNREGISTERED_CERT_CONTEXT incomplete{};
  incomplete.pCertContext = m_pCert;  // names left empty
  PUNREGISTERED_CERT_CONTEXT pOut = reinterpret_cast<PUNREGISTERED_CERT_CONTEXT>(0x1);
  EXPECT_EQ(CertDuplicateUnregisteredCertContext(&incomplete, &pOut), E_INVALIDARG);
  EXPECT_EQ(CertDuplicateUnregisteredCertContext(nullptr, &pOut), E_INVALIDARG);
  EXPECT_EQ(pOut, reinterpret_cast<PUNREGISTERED_CERT_CONTEXT>(0x1));
}

TEST_F(UnregisteredCertContextTest, FreeingNullAndEmptyingASet) {
  CertFreeUnregisteredCertContext(nullptr);

  UNREGISTERED_CERT_SET set;
  for (const char16_t* container : {u"one", u"two", u"three"}) {
    PUNREGISTERED_CERT_CONTEXT pRecord = nullptr;
    ASSERT_EQ(CertCreateUnregisteredCertContext(u"CSP", m_pCert, container, AT_SIGNATURE,
                                                &pRecord),
              S_OK);
    set.push_back(pRecord);
  }
  // Every record holds a reference of its own: the set outlives ours.
  CertFreeCertificateContext(m_pCert);
  m_pCert = nullptr;
  EXPECT_EQ(EncodedOf(set[2]->pCertContext), m_der);

  RemoveAllUnregisteredCertificates(set);  // the leak checker sees any record left behind
  EXPECT_TRUE(set.empty());
  RemoveAllUnregisteredCertificates(set);
}

}  // namespace
