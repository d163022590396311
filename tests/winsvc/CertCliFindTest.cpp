// What a user puts in place with npsigil-cert is what the selection services
// find: certificates in the user's stores through every filter kind, and SM2
// containers through the walk over the providers. The tool runs as its own
// process over the same per-user and machine state as this test.
#include <gtest/gtest.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <optional>
#include <string>
#include <vector>

#include "pki/TestPki.h"
#include "platform/csp/Csp.h"
#include "platform/base/WideString.h"
#include "support/Subprocess.h"
#include "support/TempEnvironment.h"
#include "winsvc/CertificateStore.h"
#include "winsvc/UnregisteredCertificates.h"

namespace {

struct SetOwner {
  CERTIFICATE_SET certs;
  ~SetOwner() { RemoveAllCertificates(certs); }
};

struct UnregisteredOwner {
  UNREGISTERED_CERT_SET records;
  ~UnregisteredOwner() { RemoveAllUnregisteredCertificates(records); }
};

class CertCliFind : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    fixtures_ = testpki::MakeStandardFixtures(testsupport::MakeTempDir("pki"), &error);
    ASSERT_TRUE(fixtures_) << error;
  }

  static void Cli(std::vector<std::string> args) {
    args.insert(args.begin(), NPSIGIL_CERT);
    const auto r = testsupport::RunProcess(args);
    ASSERT_EQ(r.exitCode, 0) << r.output;
  }

  // How many certificates of the store pass the filter.
  static std::size_t Found(const char16_t* store, const CERTIFICATE_FILTER& filter) {
    SetOwner out;
    EXPECT_EQ(FilterCertificatesfromLocalStore(store, &filter, out.certs), S_OK);
    return out.certs.size();
  }

  std::optional<testpki::Fixtures> fixtures_;
};

std::vector<BYTE> SubjectKeyId(X509* cert) {
  const ASN1_OCTET_STRING* id = X509_get0_subject_key_id(cert);
  return id == nullptr ? std::vector<BYTE>{} : std::vector<BYTE>(id->data, id->data + id->length);
}

TEST_F(CertCliFind, ImportedCertificatesPassEveryFilterKind) {
  Cli({"import-pfx", fixtures_->rsaSignP12.string(), "--password", "123456"});
  Cli({"import", "ADDRESSBOOK", fixtures_->Cer("sm2-encrypt").string()});

  const std::vector<BYTE> skid = SubjectKeyId(fixtures_->rsaSign.cert());
  const BYTE serial[] = {0x01, 0x20};  // 0x2001, least significant byte first
  const BYTE otherSerial[] = {0x02, 0x20};

  CERTIFICATE_FILTER filter{};
  EXPECT_EQ(Found(u"MY", filter), 1u);

  filter = {};
  filter.lpwSubjectDNFilter = u"nobody#cn=sigil test rsa sign";
  EXPECT_EQ(Found(u"MY", filter), 1u);
  filter.lpwSubjectDNFilter = u"CN=Sigil Test RSA Sign, OU=RSA, O=Sigil Test, C=CN";
  EXPECT_EQ(Found(u"MY", filter), 1u);
  filter.lpwSubjectDNFilter = u"CN=Somebody Else";
  EXPECT_EQ(Found(u"MY", filter), 0u);

  filter = {};
  filter.lpwIssuerDNFilter = u"RSA Root CA";
  EXPECT_EQ(Found(u"MY", filter), 1u);
  filter.lpwIssuerDNFilter = u"SM2 Root CA";
  EXPECT_EQ(Found(u"MY", filter), 0u);

  filter = {};
  filter.dwKeyUsage = 0x80;
  EXPECT_EQ(Found(u"MY", filter), 1u);
  filter.dwKeyUsage = 0x20;
  EXPECT_EQ(Found(u"MY", filter), 0u);

  filter = {};
  ASSERT_FALSE(skid.empty());
  filter.pbySubjectKeyID = skid.data();
  filter.cbSubjectKeyID = static_cast<DWORD>(skid.size());
  EXPECT_EQ(Found(u"MY", filter), 1u);

  filter = {};
  filter.pbySerialNumber = serial;
  filter.cbSerialNumber = sizeof serial;
  EXPECT_EQ(Found(u"MY", filter), 1u);
  filter.pbySerialNumber = otherSerial;
  EXPECT_EQ(Found(u"MY", filter), 0u);

  filter = {};
  filter.pszSignatureAlgOid = "1.2.840.113549";
  EXPECT_EQ(Found(u"MY", filter), 1u);
  EXPECT_EQ(Found(u"ADDRESSBOOK", filter), 0u);
  filter.pszSignatureAlgOid = "1.2.156.10197";
  EXPECT_EQ(Found(u"ADDRESSBOOK", filter), 1u);

  // The key went into a container with the certificate pointing at it; the
  // other person's certificate has no key here.
  filter = {};
  filter.bCheckPrivateKey = TRUE;
  EXPECT_EQ(Found(u"MY", filter), 1u);
  EXPECT_EQ(Found(u"ADDRESSBOOK", filter), 0u);
}

TEST_F(CertCliFind, Sm2ContainerIsFoundByTheProviderWalk) {
  UnregisteredOwner before;
  ASSERT_EQ(FilterUnregisteredCertificatesfromCSP(nullptr, before.records), S_OK);
  EXPECT_TRUE(before.records.empty());

  Cli({"sm2-container", "demo", "--softcert", fixtures_->sm2SignFile.string(), "--password",
       "123456", "--pair", "signature"});

  CERTIFICATE_FILTER filter{};
  filter.lpwSubjectDNFilter = u"CN=Sigil Test SM2 Sign";
  filter.dwKeyUsage = 0x80;
  UnregisteredOwner found;
  ASSERT_EQ(FilterUnregisteredCertificatesfromCSP(&filter, found.records), S_OK);
  ASSERT_EQ(found.records.size(), 1u);
  EXPECT_EQ(std::u16string(found.records[0]->wszCSPName), SIGIL_SM2_PROV_W);
  EXPECT_EQ(std::u16string(found.records[0]->wszContainerName), u"demo");
  EXPECT_EQ(found.records[0]->dwKeySpec, AT_SIGNATURE);

  filter.dwKeyUsage = 0x20;
  UnregisteredOwner none;
  ASSERT_EQ(FilterUnregisteredCertificatesfromCSP(&filter, none.records), S_OK);
  EXPECT_TRUE(none.records.empty());
}

}  // namespace
