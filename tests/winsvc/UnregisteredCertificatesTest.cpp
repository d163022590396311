#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "pki/TestPki.h"
#include "platform/csp/CspProvider.h"
#include "platform/base/WideString.h"
#include "support/FakeCspProvider.h"
#include "winsvc/UnregisteredCertificates.h"

namespace {

using testsupport::FakeCspProvider;
using testsupport::Sm2KeyPair;

std::vector<BYTE> DerOf(const testpki::Identity& id) {
  const testpki::Bytes der = id.CertDer();
  return {der.begin(), der.end()};
}

class UnregisteredCertificatesTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    auto root = testpki::MakeSm2Identity(
        {"C=CN,O=Sigil Test,CN=Walk Root", "01", testpki::kKuKeyCertSign}, nullptr);
    auto sign = testpki::MakeSm2Identity(
        {"C=CN,O=Sigil Test,CN=Walk Sign", "1001", testpki::kKuDigitalSignature}, &*root);
    auto encrypt = testpki::MakeSm2Identity(
        {"C=CN,O=Other Org,CN=Walk Encrypt", "1002", testpki::kKuKeyEncipherment}, &*root);
    s_sign = new testpki::Identity(std::move(*sign));
    s_encrypt = new testpki::Identity(std::move(*encrypt));
  }
  static void TearDownTestSuite() {
    delete s_sign;
    delete s_encrypt;
  }
  void TearDown() override {
    RemoveAllUnregisteredCertificates(m_set);
    for (const std::u16string& name : m_installed) platform::csp::UninstallProvider(name);
  }

  // Installs a scripted provider under that name and hands it back to fill.
  std::shared_ptr<FakeCspProvider> Install(const std::u16string& name) {
    auto provider = std::make_shared<FakeCspProvider>();
    const std::u16string image = u"test:scripted:" + name;
    platform::csp::RegisterImplementation(image, [provider] { return provider; });
    EXPECT_EQ(platform::csp::InstallProvider(name, PROV_RSA_FULL, image), ERROR_SUCCESS);
    m_installed.push_back(name);
    return provider;
  }

  struct Found {
    std::u16string csp, container;
    DWORD keySpec;
    std::vector<BYTE> der;
    bool operator==(const Found&) const = default;
  };
  std::vector<Found> Records() const {
    std::vector<Found> found;
    for (auto* r : m_set)
      found.push_back({r->wszCSPName,
                       r->wszContainerName,
                       r->dwKeySpec,
                       {r->pCertContext->pbCertEncoded,
                        r->pCertContext->pbCertEncoded + r->pCertContext->cbCertEncoded}});
    return found;
  }

  static testpki::Identity* s_sign;
  static testpki::Identity* s_encrypt;
  UNREGISTERED_CERT_SET m_set;
  std::vector<std::u16string> m_installed;
};

testpki::Identity* UnregisteredCertificatesTest::s_sign = nullptr;
testpki::Identity* UnregisteredCertificatesTest::s_encrypt = nullptr;

TEST_F(UnregisteredCertificatesTest, ContainerWalkKeepsOrderAndSkipsPairsWithoutCertificate) {
  auto token = Install(u"Walk Token CSP");
  // Shortest name first: a walk that offered only the last name's length
  // would lose the longer names that follow.
  token->Add({"a", Sm2KeyPair(AT_KEYEXCHANGE, *s_sign, false), nullptr});
  token->Add(
      {"bb-longer", Sm2KeyPair(AT_KEYEXCHANGE, *s_encrypt), Sm2KeyPair(AT_SIGNATURE, *s_sign)});
  token->Add({"ccc-the-longest-name-of-all", nullptr, Sm2KeyPair(AT_SIGNATURE, *s_sign)});

  ASSERT_EQ(FilterUnregisteredCertificatesfromSpecifiedCSP(u"Walk Token CSP", nullptr, m_set),
            S_OK);
  const std::vector<Found> expected = {
      {u"Walk Token CSP", u"bb-longer", AT_KEYEXCHANGE, DerOf(*s_encrypt)},
      {u"Walk Token CSP", u"bb-longer", AT_SIGNATURE, DerOf(*s_sign)},
      {u"Walk Token CSP", u"ccc-the-longest-name-of-all", AT_SIGNATURE, DerOf(*s_sign)},
  };
  EXPECT_EQ(Records(), expected);
}

TEST_F(UnregisteredCertificatesTest, SpecifiedProviderAppendsAndReportsItsOwnFailures) {
  Install(u"Empty Token CSP");
  Install(u"Walk Token CSP")->Add({"c", Sm2KeyPair(AT_KEYEXCHANGE, *s_sign), nullptr});
  ASSERT_EQ(FilterUnregisteredCertificatesfromSpecifiedCSP(u"Walk Token CSP", nullptr, m_set),
            S_OK);
  ASSERT_EQ(m_set.size(), 1u);

  // None of these may drop what the set already holds.
  EXPECT_EQ(FilterUnregisteredCertificatesfromSpecifiedCSP(u"Empty Token CSP", nullptr, m_set),
            S_OK);
  EXPECT_EQ(FilterUnregisteredCertificatesfromSpecifiedCSP(nullptr, nullptr, m_set), E_INVALIDARG);
  EXPECT_EQ(FilterUnregisteredCertificatesfromSpecifiedCSP(u"", nullptr, m_set), E_INVALIDARG);
  EXPECT_TRUE(
      FAILED(FilterUnregisteredCertificatesfromSpecifiedCSP(u"No Such CSP", nullptr, m_set)));
  EXPECT_EQ(m_set.size(), 1u);
}

TEST_F(UnregisteredCertificatesTest, GetFromContainerFailsWithoutHandingOut) {
  auto token = Install(u"Walk Token CSP");
  token->Add({"no-cert", Sm2KeyPair(AT_KEYEXCHANGE, *s_sign, false), nullptr});
  token->Add({"good", Sm2KeyPair(AT_KEYEXCHANGE, *s_sign), nullptr});
  struct Case {
    const char16_t* csp;
    const char16_t* container;
    DWORD keySpec;
    bool succeeds;
  };
  const Case cases[] = {
      {u"Walk Token CSP", u"good", AT_KEYEXCHANGE, true},
      {u"Walk Token CSP", u"good", AT_SIGNATURE, false},       // no such key pair
      {u"Walk Token CSP", u"no-cert", AT_KEYEXCHANGE, false},  // no certificate parameter
      {u"Walk Token CSP", u"missing", AT_KEYEXCHANGE, false},
      {u"No Such CSP", u"good", AT_KEYEXCHANGE, false},
      {u"", u"good", AT_KEYEXCHANGE, false},
      {u"Walk Token CSP", nullptr, AT_KEYEXCHANGE, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(ToUtf8(c.container ? c.container : u"(null)"));
    PUNREGISTERED_CERT_CONTEXT pRecord = nullptr;
    const HRESULT hResult =
        GetUnregisteredCertfromContainer(c.csp, c.container, c.keySpec, &pRecord);
    EXPECT_EQ(SUCCEEDED(hResult), c.succeeds);
    EXPECT_EQ(pRecord != nullptr, c.succeeds);
    if (pRecord) {
      EXPECT_EQ(std::u16string(pRecord->wszContainerName), u"good");
      EXPECT_EQ(pRecord->dwKeySpec, AT_KEYEXCHANGE);
    }
    CertFreeUnregisteredCertContext(pRecord);
  }
  PUNREGISTERED_CERT_CONTEXT pRecord = nullptr;
  EXPECT_EQ(GetUnregisteredCertfromContainer(u"", u"good", AT_KEYEXCHANGE, &pRecord), E_INVALIDARG);
  EXPECT_EQ(GetUnregisteredCertfromContainer(u"Walk Token CSP", u"", AT_KEYEXCHANGE, &pRecord),
            E_INVALIDARG);
}

TEST_F(UnregisteredCertificatesTest, FilterSelectsButNeverTestsThePrivateKey) {
  auto token = Install(u"Walk Token CSP");
  token->Add({"c", Sm2KeyPair(AT_KEYEXCHANGE, *s_encrypt), Sm2KeyPair(AT_SIGNATURE, *s_sign)});

  // The certificates carry no key link a store filter could follow, so a
  // private-key test would drop both.
  CERTIFICATE_FILTER privateKeyOnly{};
  privateKeyOnly.bCheckPrivateKey = TRUE;
  ASSERT_EQ(
      FilterUnregisteredCertificatesfromSpecifiedCSP(u"Walk Token CSP", &privateKeyOnly, m_set),
      S_OK);
  EXPECT_EQ(m_set.size(), 2u);
  RemoveAllUnregisteredCertificates(m_set);

  CERTIFICATE_FILTER signing{};
  signing.dwKeyUsage = 0x80;
  ASSERT_EQ(FilterUnregisteredCertificatesfromSpecifiedCSP(u"Walk Token CSP", &signing, m_set),
            S_OK);
  ASSERT_EQ(m_set.size(), 1u);
  EXPECT_EQ(m_set[0]->dwKeySpec, AT_SIGNATURE);
  RemoveAllUnregisteredCertificates(m_set);

  CERTIFICATE_FILTER bySubject{};
  bySubject.lpwSubjectDNFilter = u"nobody#o=other org";
  ASSERT_EQ(FilterUnregisteredCertificatesfromSpecifiedCSP(u"Walk Token CSP", &bySubject, m_set),
            S_OK);
  ASSERT_EQ(m_set.size(), 1u);
  EXPECT_EQ(m_set[0]->dwKeySpec, AT_KEYEXCHANGE);
}

TEST_F(UnregisteredCertificatesTest, CheckGivesEFailWhicheverCheckRefuses) {
  const std::vector<BYTE> der = DerOf(*s_sign);
  PCCERT_CONTEXT pCert =
      CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
  ASSERT_NE(pCert, nullptr);
  EXPECT_EQ(CheckUnregisteredCertficate(nullptr, pCert), S_OK);

  CERTIFICATE_FILTER wrongUsage{};
  wrongUsage.dwKeyUsage = 0x20;  // the check itself reports 0xA0072021
  EXPECT_EQ(CheckUnregisteredCertficate(&wrongUsage, pCert), E_FAIL);
  CERTIFICATE_FILTER wrongIssuer{};
  wrongIssuer.lpwIssuerDNFilter = u"CN=Someone Else";
  EXPECT_EQ(CheckUnregisteredCertficate(&wrongIssuer, pCert), E_FAIL);
  CERTIFICATE_FILTER rsaSigned{};
  rsaSigned.pszSignatureAlgOid = "1.2.840.113549";
  EXPECT_EQ(CheckUnregisteredCertficate(&rsaSigned, pCert), E_FAIL);
  CERTIFICATE_FILTER sm2Signed{};
  sm2Signed.pszSignatureAlgOid = "1.2.156.10197";
  sm2Signed.lpwIssuerDNFilter = u"cn=walk root";
  EXPECT_EQ(CheckUnregisteredCertficate(&sm2Signed, pCert), S_OK);
  CertFreeCertificateContext(pCert);
}

TEST_F(UnregisteredCertificatesTest, AllProvidersSkipMicrosoftAndSurviveBrokenOnes) {
  // A certificate the walk must not find: it sits in a built-in provider.
  auto rsa = testpki::MakeRsaIdentity({"C=CN,CN=Builtin RSA", "2001", 0x80}, nullptr);
  ASSERT_TRUE(rsa);
  auto builtin = platform::csp::FindProvider(MS_ENHANCED_PROV_W);
  ASSERT_TRUE(builtin);
  const std::vector<BYTE> rsaDer = DerOf(*rsa);
  ASSERT_EQ(builtin->CreateContainer("rsa"), S_OK);
  ASSERT_EQ(builtin->PutKeyPair("rsa", AT_KEYEXCHANGE, rsa->key(), rsaDer), S_OK);
  ASSERT_EQ(FilterUnregisteredCertificatesfromSpecifiedCSP(MS_ENHANCED_PROV_W, nullptr, m_set),
            S_OK);
  ASSERT_EQ(m_set.size(), 1u) << "the built-in container is readable when named";
  RemoveAllUnregisteredCertificates(m_set);

  EXPECT_EQ(FilterUnregisteredCertificatesfromCSP(nullptr, m_set), S_OK);
  EXPECT_TRUE(m_set.empty());

  // Enumerated by name: the broken one comes first and must not end the walk.
  ASSERT_EQ(platform::csp::InstallProvider(u"Alpha Broken CSP", PROV_RSA_FULL, u"test:nothing"),
            ERROR_SUCCESS);
  m_installed.push_back(u"Alpha Broken CSP");
  Install(u"Beta Token CSP")->Add({"b", Sm2KeyPair(AT_KEYEXCHANGE, *s_sign), nullptr});
  Install(u"Gamma Token CSP")->Add({"g", nullptr, Sm2KeyPair(AT_SIGNATURE, *s_encrypt)});
  // Named like a built-in one, so left alone although it holds a certificate.
  Install(u"Contoso Microsoft SM2 CSP")->Add({"m", Sm2KeyPair(AT_KEYEXCHANGE, *s_sign), nullptr});

  EXPECT_EQ(FilterUnregisteredCertificatesfromCSP(nullptr, m_set), S_OK);
  const std::vector<Found> expected = {
      {u"Beta Token CSP", u"b", AT_KEYEXCHANGE, DerOf(*s_sign)},
      {u"Gamma Token CSP", u"g", AT_SIGNATURE, DerOf(*s_encrypt)},
  };
  EXPECT_EQ(Records(), expected);
}

TEST_F(UnregisteredCertificatesTest, AllCSPNamesJoinedInEnumerationOrder) {
  Install(u"Zeta Token CSP");
  Install(u"alpha token csp");
  LPWSTR lpwNames = nullptr;
  ASSERT_EQ(GetAllCSPName(&lpwNames), S_OK);
  const std::unique_ptr<WCHAR[]> names(lpwNames);
  EXPECT_EQ(std::u16string(names.get()),
            u"alpha token csp||Microsoft Base Cryptographic Provider v1.0||"
            u"Microsoft Enhanced Cryptographic Provider v1.0||"
            u"Microsoft Enhanced RSA and AES Cryptographic Provider||Zeta Token CSP");
  EXPECT_EQ(GetAllCSPName(nullptr), E_INVALIDARG);
}

}  // namespace
