#include <gtest/gtest.h>
#include <openssl/x509_vfy.h>

#include <ctime>

#include "PkiTestSupport.h"

namespace {

using namespace pkitest;
using testpki::Identity;

std::string NameText(X509_NAME* name) {
  char buf[256];
  return X509_NAME_oneline(name, buf, sizeof buf);
}

std::string SerialHex(X509* cert) {
  BIGNUM* bn = ASN1_INTEGER_to_BN(X509_get0_serialNumber(cert), nullptr);
  char* hex = BN_bn2hex(bn);
  std::string out = hex;
  OPENSSL_free(hex);
  BN_free(bn);
  return out;
}

std::string SignatureOid(X509* cert) {
  const X509_ALGOR* alg = nullptr;
  X509_get0_signature(nullptr, &alg, cert);
  const ASN1_OBJECT* obj = nullptr;
  X509_ALGOR_get0(&obj, nullptr, nullptr, alg);
  char buf[64];
  OBJ_obj2txt(buf, sizeof buf, obj, 1);
  return buf;
}

TEST(TestPkiSm2, SelfSignedCarriesSm2WithSm3AndTheFixedId) {
  auto root = testpki::MakeSm2Identity(Profile("Root", "01", 0x06), nullptr);
  ASSERT_TRUE(root);
  EXPECT_TRUE(root->IsSm2());
  EXPECT_EQ(SignatureOid(root->cert()), "1.2.156.10197.1.501");

  // OpenSSL 3 verifies with an empty ID unless told: that must fail, so the
  // signature really was made with "1234567812345678".
  X509* plain = X509_dup(root->cert());
  EXPECT_NE(X509_verify(plain, X509_get0_pubkey(plain)), 1);
  X509_free(plain);
  X509* withId = X509_dup(root->cert());
  SetSm2Id(withId);
  EXPECT_EQ(X509_verify(withId, X509_get0_pubkey(withId)), 1);
  X509_free(withId);
}

TEST(TestPkiSm2, IssuedCertificateChainsToItsRoot) {
  auto p = Profile("Root", "01", 0x06);
  p.isCa = true;
  auto root = testpki::MakeSm2Identity(p, nullptr);
  ASSERT_TRUE(root);
  auto ee = testpki::MakeSm2Identity(Profile("Leaf", "1001", 0x80), &*root);
  ASSERT_TRUE(ee);
  EXPECT_EQ(NameText(X509_get_issuer_name(ee->cert())),
            NameText(X509_get_subject_name(root->cert())));

  X509* rootCopy = X509_dup(root->cert());
  X509* leafCopy = X509_dup(ee->cert());
  SetSm2Id(rootCopy);
  SetSm2Id(leafCopy);
  X509_STORE* store = X509_STORE_new();
  X509_STORE_add_cert(store, rootCopy);
  X509_STORE_CTX* ctx = X509_STORE_CTX_new();
  ASSERT_EQ(X509_STORE_CTX_init(ctx, store, leafCopy, nullptr), 1);
  EXPECT_EQ(X509_verify_cert(ctx), 1)
      << X509_verify_cert_error_string(X509_STORE_CTX_get_error(ctx));
  X509_STORE_CTX_free(ctx);
  X509_STORE_free(store);
  X509_free(rootCopy);
  X509_free(leafCopy);

  EXPECT_TRUE(testpki::IsSignedBy(ee->cert(), root->key()));
  EXPECT_FALSE(testpki::IsSignedBy(ee->cert(), ee->key()));
  EXPECT_EQ(X509_get0_authority_key_id(ee->cert()) != nullptr, true);
  EXPECT_EQ(ASN1_OCTET_STRING_cmp(X509_get0_authority_key_id(ee->cert()),
                                  X509_get0_subject_key_id(root->cert())),
            0);
}

TEST(TestPkiSm2, ProfileFieldsComeOutAsAsked) {
  testpki::CertProfile p;
  p.subject = "C=CN,O=Sigil Test,OU=Team\\, Two,CN=Someone";
  p.serialHex = "0A1B2C";
  p.keyUsage = 0x80 | 0x40;
  auto id = testpki::MakeSm2Identity(p, nullptr);
  ASSERT_TRUE(id);
  EXPECT_EQ(NameText(X509_get_subject_name(id->cert())),
            "/C=CN/O=Sigil Test/OU=Team, Two/CN=Someone");
  EXPECT_EQ(SerialHex(id->cert()), "0A1B2C");
  EXPECT_EQ(X509_get_key_usage(id->cert()), 0xC0u);
  ASSERT_NE(X509_get0_subject_key_id(id->cert()), nullptr);
  EXPECT_EQ(ASN1_STRING_length(X509_get0_subject_key_id(id->cert())), 20);
  EXPECT_EQ(X509_check_ca(id->cert()), 0);
  EXPECT_LT(X509_cmp_current_time(X509_get0_notBefore(id->cert())), 0);
  EXPECT_GT(X509_cmp_current_time(X509_get0_notAfter(id->cert())), 0);
}

TEST(TestPkiSm2, AbsentExtensionsAreReallyAbsent) {
  auto p = Profile("Bare", "1003");
  p.subjectKeyId = false;
  auto id = testpki::MakeSm2Identity(p, nullptr);
  ASSERT_TRUE(id);
  EXPECT_LT(X509_get_ext_by_NID(id->cert(), NID_key_usage, -1), 0);
  EXPECT_LT(X509_get_ext_by_NID(id->cert(), NID_subject_key_identifier, -1), 0);
  EXPECT_EQ(X509_get_key_usage(id->cert()), UINT32_MAX);
}

TEST(TestPkiSm2, CaAndExpiredProfiles) {
  auto p = Profile("Ca", "02", 0x06);
  p.isCa = true;
  p.notBeforeDays = -10;
  p.notAfterDays = -1;
  auto id = testpki::MakeSm2Identity(p, nullptr);
  ASSERT_TRUE(id);
  EXPECT_EQ(X509_check_ca(id->cert()), 1);
  EXPECT_LT(X509_cmp_current_time(X509_get0_notAfter(id->cert())), 0);
}

TEST(TestPkiSm2, MalformedProfilesFail) {
  EXPECT_FALSE(testpki::MakeSm2Identity(Profile("X", "XYZ"), nullptr));
  EXPECT_FALSE(testpki::MakeSm2Identity(Profile("X", ""), nullptr));
  auto p = Profile("X", "01");
  p.subject = "no equals sign";
  EXPECT_FALSE(testpki::MakeSm2Identity(p, nullptr));
  p.subject = "C=CN,,CN=x";
  EXPECT_FALSE(testpki::MakeSm2Identity(p, nullptr));
  p.subject = "NOTAFIELD=x";
  EXPECT_FALSE(testpki::MakeSm2Identity(p, nullptr));
  Identity empty;
  EXPECT_FALSE(testpki::MakeSm2Identity(Profile("X", "01"), &empty));
}

TEST(TestPkiSm2, KeyBytesMatchTheCertificate) {
  auto id = testpki::MakeSm2Identity(Profile("Keys", "05"), nullptr);
  ASSERT_TRUE(id);
  const auto d = id->PrivateKeyBytes();
  ASSERT_EQ(d.size(), 32u);
  ASSERT_EQ(id->PublicX().size(), 32u);
  ASSERT_EQ(id->PublicY().size(), 32u);
  const Bytes point = CertPoint(id->cert());
  EXPECT_EQ(Concat(id->PublicX(), id->PublicY()), point);
  EXPECT_EQ(Sm2PointOf(d), point);
}

class LeadingZeroTest : public ::testing::TestWithParam<testpki::LeadingZero> {};

TEST_P(LeadingZeroTest, KeyStartsWithZeroAndStaysConsistent) {
  auto p = Profile("Zero", "06");
  p.leadingZero = GetParam();
  auto id = testpki::MakeSm2Identity(p, nullptr);
  ASSERT_TRUE(id);
  const auto d = id->PrivateKeyBytes();
  const Bytes x = id->PublicX(), y = id->PublicY();
  ASSERT_EQ(d.size(), 32u);
  ASSERT_EQ(x.size(), 32u);
  ASSERT_EQ(y.size(), 32u);
  const std::uint8_t first = GetParam() == testpki::LeadingZero::PublicX   ? x[0]
                             : GetParam() == testpki::LeadingZero::PublicY ? y[0]
                                                                           : d[0];
  EXPECT_EQ(first, 0);
  EXPECT_EQ(Sm2PointOf(d), CertPoint(id->cert()));
  EXPECT_EQ(Concat(x, y), CertPoint(id->cert()));
}

INSTANTIATE_TEST_SUITE_P(Which, LeadingZeroTest,
                         ::testing::Values(testpki::LeadingZero::PublicX,
                                           testpki::LeadingZero::PublicY,
                                           testpki::LeadingZero::PrivateKey));

TEST(TestPkiRsa, SignedWithSha256AndKeyIsPkcs8) {
  auto p = Profile("Rsa Root", "02", 0x06);
  p.isCa = true;
  auto root = testpki::MakeRsaIdentity(p, nullptr, 1024);
  ASSERT_TRUE(root);
  auto ee = testpki::MakeRsaIdentity(Profile("Rsa Leaf", "2001", 0x20), &*root, 1024);
  ASSERT_TRUE(ee);
  EXPECT_FALSE(ee->IsSm2());
  EXPECT_EQ(X509_get_signature_nid(ee->cert()), NID_sha256WithRSAEncryption);
  EXPECT_EQ(X509_verify(ee->cert(), root->key()), 1);
  EXPECT_NE(X509_verify(ee->cert(), ee->key()), 1);
  EXPECT_EQ(X509_get_key_usage(ee->cert()), 0x20u);
  EXPECT_TRUE(ee->PublicX().empty());

  const auto der = ee->PrivateKeyBytes();
  const unsigned char* in = der.data();
  EVP_PKEY* key = d2i_AutoPrivateKey(nullptr, &in, static_cast<long>(der.size()));
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(in, der.data() + der.size());
  EXPECT_EQ(X509_check_private_key(ee->cert(), key), 1);
  EVP_PKEY_free(key);
  EXPECT_FALSE(testpki::MakeRsaIdentity(Profile("Tiny", "01"), nullptr, 512));
}

TEST(TestPkiIdentity, MoveLeavesSourceEmptyAndEncodingsAgree) {
  auto made = testpki::MakeSm2Identity(Profile("Move", "07"), nullptr);
  ASSERT_TRUE(made);
  Identity a = std::move(*made);
  EXPECT_EQ(made->cert(), nullptr);
  EXPECT_TRUE(made->CertDer().empty());
  EXPECT_TRUE(made->PrivateKeyBytes().empty());
  Identity b;
  b = std::move(a);
  ASSERT_NE(b.cert(), nullptr);

  const Bytes der = b.CertDer();
  const std::string pem = b.CertPem();
  EXPECT_EQ(pem.rfind("-----BEGIN CERTIFICATE-----\n", 0), 0u);
  BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  X509* fromPem = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  ASSERT_NE(fromPem, nullptr);
  EXPECT_EQ(X509_cmp(fromPem, b.cert()), 0);
  const unsigned char* in = der.data();
  X509* fromDer = d2i_X509(nullptr, &in, static_cast<long>(der.size()));
  ASSERT_NE(fromDer, nullptr);
  EXPECT_EQ(X509_cmp(fromDer, b.cert()), 0);
  X509_free(fromPem);
  X509_free(fromDer);
}

}  // namespace
