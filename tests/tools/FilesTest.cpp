#include <gtest/gtest.h>
#include <openssl/pkcs12.h>

#include <fstream>
#include <iterator>

#include "PkiTestSupport.h"
#include "support/TempEnvironment.h"

namespace {

using namespace pkitest;
namespace fs = std::filesystem;

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(WriteFileIn, WritesExactBytesOnce) {
  const fs::path dir = testsupport::MakeTempDir("write");
  const Bytes bytes = {0x00, 0xFF, 0x0A, 0x0D};
  std::string error;
  ASSERT_TRUE(testpki::WriteFileIn(dir, "a.bin", bytes, &error)) << error;
  EXPECT_EQ(ReadAll(dir / "a.bin"), std::string("\x00\xFF\n\r", 4));
  ASSERT_TRUE(testpki::WriteFileIn(dir, "empty", std::string_view(), &error));
  EXPECT_EQ(fs::file_size(dir / "empty"), 0u);

  error.clear();
  EXPECT_FALSE(testpki::WriteFileIn(dir, "a.bin", std::string_view("other"), &error));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(ReadAll(dir / "a.bin"), std::string("\x00\xFF\n\r", 4));
}

TEST(WriteFileIn, RefusesNamesThatLeaveTheFolder) {
  const fs::path dir = testsupport::MakeTempDir("escape");
  fs::create_directory(dir / "sub");
  for (const std::string& name : std::vector<std::string>{"", ".", "..", "../x", "sub/x", "/tmp/x",
                                                          "a..b", "..x", std::string("a\0b", 3)}) {
    std::string error;
    EXPECT_FALSE(testpki::WriteFileIn(dir, name, std::string_view("x"), &error)) << name;
    EXPECT_FALSE(error.empty()) << name;
  }
  EXPECT_FALSE(fs::exists(dir.parent_path() / "x"));
  EXPECT_FALSE(fs::exists(dir / "sub" / "x"));
  EXPECT_FALSE(fs::exists(dir / "a"));
}

TEST(WriteFileIn, DoesNotFollowOrReplaceSymlinks) {
  const fs::path dir = testsupport::MakeTempDir("link");
  const fs::path outside = testsupport::MakeTempDir("outside") / "target";
  fs::create_symlink(outside, dir / "link");
  EXPECT_FALSE(testpki::WriteFileIn(dir, "link", std::string_view("x"), nullptr));
  EXPECT_FALSE(fs::exists(outside));
  EXPECT_FALSE(testpki::WriteFileIn(dir / "missing", "f", std::string_view("x"), nullptr));
}

TEST(Pkcs12, OpensWithItsPasswordOnly) {
  auto root = testpki::MakeRsaIdentity(Profile("Root", "02", 0x06), nullptr, 1024);
  ASSERT_TRUE(root);
  auto ee = testpki::MakeRsaIdentity(Profile("Leaf", "2001", 0xC0), &*root, 1024);
  ASSERT_TRUE(ee);
  const Bytes der = testpki::MakePkcs12(*ee, "123456", {&*root});
  ASSERT_FALSE(der.empty());

  const unsigned char* in = der.data();
  PKCS12* p12 = d2i_PKCS12(nullptr, &in, static_cast<long>(der.size()));
  ASSERT_NE(p12, nullptr);
  EVP_PKEY* key = nullptr;
  X509* cert = nullptr;
  STACK_OF(X509)* ca = nullptr;
  EXPECT_NE(PKCS12_parse(p12, "654321", &key, &cert, &ca), 1);
  EVP_PKEY_free(key);
  X509_free(cert);
  sk_X509_pop_free(ca, X509_free);
  key = nullptr;
  cert = nullptr;
  ca = nullptr;
  ASSERT_EQ(PKCS12_parse(p12, "123456", &key, &cert, &ca), 1);
  EXPECT_EQ(X509_cmp(cert, ee->cert()), 0);
  EXPECT_EQ(X509_check_private_key(cert, key), 1);
  ASSERT_NE(ca, nullptr);
  ASSERT_EQ(sk_X509_num(ca), 1);
  EXPECT_EQ(X509_cmp(sk_X509_value(ca, 0), root->cert()), 0);
  EVP_PKEY_free(key);
  X509_free(cert);
  sk_X509_pop_free(ca, X509_free);
  PKCS12_free(p12);

  EXPECT_TRUE(testpki::MakePkcs12(testpki::Identity(), "123456").empty());
  EXPECT_TRUE(testpki::MakePkcs12(*ee, "123456", {nullptr}).empty());
}

X509* ReadCer(const fs::path& p) {
  const std::string der = ReadAll(p);
  const auto* in = reinterpret_cast<const unsigned char*>(der.data());
  return d2i_X509(nullptr, &in, static_cast<long>(der.size()));
}

TEST(StandardFixtures, WritesTheFixedSetOnce) {
  const fs::path dir = testsupport::MakeTempDir("fixtures") / "set";
  std::string error;
  auto f = testpki::MakeStandardFixtures(dir, &error);
  ASSERT_TRUE(f) << error;
  EXPECT_EQ(f->written.size(), 22u);
  for (const auto& p : f->written) EXPECT_TRUE(fs::is_regular_file(p)) << p;

  struct Want {
    const char* name;
    const testpki::Identity* id;
    const char* serial;
    unsigned ku;  // UINT32_MAX: no extension
    bool skid;
  };
  const Want want[] = {{"sm2-root", &f->sm2Root, "01", 0x06, true},
                       {"sm2-sign", &f->sm2Sign, "1001", 0xC0, true},
                       {"sm2-encrypt", &f->sm2Encrypt, "1002", 0x30, true},
                       {"sm2-noku", &f->sm2NoKu, "1003", UINT32_MAX, true},
                       {"sm2-noskid", &f->sm2NoSkid, "1004", 0xF0, false},
                       {"rsa-root", &f->rsaRoot, "02", 0x06, true},
                       {"rsa-sign", &f->rsaSign, "2001", 0xC0, true},
                       {"rsa-encrypt", &f->rsaEncrypt, "2002", 0x30, true}};
  for (const Want& w : want) {
    X509* cert = ReadCer(f->Cer(w.name));
    ASSERT_NE(cert, nullptr) << w.name;
    EXPECT_EQ(X509_cmp(cert, w.id->cert()), 0) << w.name;
    EXPECT_EQ(ReadAll(f->Pem(w.name)), w.id->CertPem()) << w.name;
    ASN1_INTEGER* serial = s2i_ASN1_INTEGER(nullptr, (std::string("0x") + w.serial).c_str());
    EXPECT_EQ(ASN1_INTEGER_cmp(X509_get0_serialNumber(cert), serial), 0) << w.name;
    ASN1_INTEGER_free(serial);
    EXPECT_EQ(X509_get_key_usage(cert), w.ku) << w.name;
    EXPECT_EQ(X509_get0_subject_key_id(cert) != nullptr, w.skid) << w.name;
    X509_free(cert);
  }
  char name[200];
  X509_NAME_oneline(X509_get_subject_name(f->sm2Root.cert()), name, sizeof name);
  EXPECT_STREQ(name, "/C=CN/O=Sigil Test/CN=Sigil Test SM2 Root CA");
  X509_NAME_oneline(X509_get_subject_name(f->rsaRoot.cert()), name, sizeof name);
  EXPECT_STREQ(name, "/C=CN/O=Sigil Test/CN=Sigil Test RSA Root CA");

  EXPECT_TRUE(testpki::IsSignedBy(f->sm2Sign.cert(), f->sm2Root.key()));
  EXPECT_TRUE(testpki::IsSignedBy(f->rsaEncrypt.cert(), f->rsaRoot.key()));
  EXPECT_EQ(f->sm2SignFile, dir / "sm2-sign.sm2");
  EXPECT_EQ(ReadAll(f->sm2SignFile),
            testpki::MakeSm2SoftCertFile(f->sm2Sign, testpki::kFixturePassword));
  EXPECT_EQ(EVP_PKEY_get_bits(f->rsaSign.key()), 2048);

  const std::string p12 = ReadAll(f->rsaSignP12);
  const auto* in = reinterpret_cast<const unsigned char*>(p12.data());
  PKCS12* parsed = d2i_PKCS12(nullptr, &in, static_cast<long>(p12.size()));
  ASSERT_NE(parsed, nullptr);
  EXPECT_EQ(PKCS12_verify_mac(parsed, "123456", -1), 1);
  PKCS12_free(parsed);

  // A second run must not touch the first run's files.
  const std::string before = ReadAll(f->sm2SignFile);
  auto again = testpki::MakeStandardFixtures(dir, &error);
  EXPECT_FALSE(again);
  EXPECT_NE(error.find("already exists"), std::string::npos) << error;
  EXPECT_EQ(ReadAll(f->sm2SignFile), before);
}

TEST(StandardFixtures, ClashLeavesFolderUntouched) {
  const fs::path dir = testsupport::MakeTempDir("clash");
  ASSERT_TRUE(testpki::WriteFileIn(dir, "rsa-encrypt.p12", std::string_view("mine"), nullptr));
  std::string error;
  EXPECT_FALSE(testpki::MakeStandardFixtures(dir, &error));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
  EXPECT_EQ(ReadAll(dir / "rsa-encrypt.p12"), "mine");
}

}  // namespace
