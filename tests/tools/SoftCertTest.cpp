#include <gtest/gtest.h>
#include <openssl/asn1.h>

#include "PkiTestSupport.h"

namespace {

using namespace pkitest;

struct ParsedPfx {
  long version = -1;
  std::string privateId, encAlg, publicId;
  Bytes encryptedKey, cert;
};

std::string OidText(const ASN1_TYPE* t) {
  char buf[80];
  OBJ_obj2txt(buf, sizeof buf, t->value.object, 1);
  return buf;
}

Bytes StringBytes(const ASN1_STRING* s) {
  const auto* p = ASN1_STRING_get0_data(s);
  return Bytes(p, p + ASN1_STRING_length(s));
}

using Seq = std::unique_ptr<ASN1_SEQUENCE_ANY, void (*)(ASN1_SEQUENCE_ANY*)>;

Seq ParseSeq(const unsigned char* der, std::size_t len) {
  const unsigned char* in = der;
  ASN1_SEQUENCE_ANY* s = d2i_ASN1_SEQUENCE_ANY(nullptr, &in, static_cast<long>(len));
  // The whole input must be one SEQUENCE, nothing after it.
  if (s != nullptr && in != der + len) {
    sk_ASN1_TYPE_pop_free(s, ASN1_TYPE_free);
    s = nullptr;
  }
  return Seq(s, [](ASN1_SEQUENCE_ANY* p) { sk_ASN1_TYPE_pop_free(p, ASN1_TYPE_free); });
}

// Walks SM2_PFX with OpenSSL's generic parser, field by field.
std::optional<ParsedPfx> ParsePfx(const Bytes& der) {
  Seq top = ParseSeq(der.data(), der.size());
  if (!top || sk_ASN1_TYPE_num(top.get()) != 3) return std::nullopt;
  const ASN1_TYPE* v = sk_ASN1_TYPE_value(top.get(), 0);
  const ASN1_TYPE* priv = sk_ASN1_TYPE_value(top.get(), 1);
  const ASN1_TYPE* pub = sk_ASN1_TYPE_value(top.get(), 2);
  if (v->type != V_ASN1_INTEGER || priv->type != V_ASN1_SEQUENCE || pub->type != V_ASN1_SEQUENCE)
    return std::nullopt;
  ParsedPfx out;
  out.version = ASN1_INTEGER_get(v->value.integer);
  Seq p = ParseSeq(ASN1_STRING_get0_data(priv->value.sequence),
                   static_cast<std::size_t>(ASN1_STRING_length(priv->value.sequence)));
  Seq q = ParseSeq(ASN1_STRING_get0_data(pub->value.sequence),
                   static_cast<std::size_t>(ASN1_STRING_length(pub->value.sequence)));
  if (!p || !q || sk_ASN1_TYPE_num(p.get()) != 3 || sk_ASN1_TYPE_num(q.get()) != 2)
    return std::nullopt;
  const ASN1_TYPE* f[] = {sk_ASN1_TYPE_value(p.get(), 0), sk_ASN1_TYPE_value(p.get(), 1),
                          sk_ASN1_TYPE_value(p.get(), 2), sk_ASN1_TYPE_value(q.get(), 0),
                          sk_ASN1_TYPE_value(q.get(), 1)};
  if (f[0]->type != V_ASN1_OBJECT || f[1]->type != V_ASN1_OBJECT ||
      f[2]->type != V_ASN1_OCTET_STRING || f[3]->type != V_ASN1_OBJECT ||
      f[4]->type != V_ASN1_OCTET_STRING)
    return std::nullopt;
  out.privateId = OidText(f[0]);
  out.encAlg = OidText(f[1]);
  out.encryptedKey = StringBytes(f[2]->value.octet_string);
  out.publicId = OidText(f[3]);
  out.cert = StringBytes(f[4]->value.octet_string);
  return out;
}

Bytes Base64Decode(const std::string& text) {
  Bytes out(text.size());
  const int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                static_cast<int>(text.size()));
  if (n < 0) return {};
  std::size_t len = static_cast<std::size_t>(n);
  for (auto it = text.rbegin(); it != text.rend() && *it == '='; ++it) --len;  // drop pad zeros
  out.resize(len);
  return out;
}

// OpenSSL's own SM3 and SM4, so the check does not reuse our gmcrypto.
std::optional<Bytes> OpensslDecrypt(const Bytes& cipher, const std::string& password) {
  unsigned char k[32];
  unsigned int klen = 0;
  std::string input = password + std::string("\0\0\0\1", 4);
  if (EVP_Digest(input.data(), input.size(), k, &klen, EVP_sm3(), nullptr) != 1 || klen != 32)
    return std::nullopt;
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  Bytes out(cipher.size() + 16);
  int n1 = 0, n2 = 0;
  const bool ok = EVP_DecryptInit_ex(ctx, EVP_sm4_cbc(), nullptr, k + 16, k) == 1 &&
                  EVP_DecryptUpdate(ctx, out.data(), &n1, cipher.data(),
                                    static_cast<int>(cipher.size())) == 1 &&
                  EVP_DecryptFinal_ex(ctx, out.data() + n1, &n2) == 1;
  EVP_CIPHER_CTX_free(ctx);
  if (!ok) return std::nullopt;
  out.resize(static_cast<std::size_t>(n1 + n2));
  return out;
}

TEST(SoftCertFile, DecodesDecryptsAndMatchesTheCertificate) {
  auto id = testpki::MakeSm2Identity(Profile("Soft", "1001", 0xC0), nullptr);
  ASSERT_TRUE(id);
  const std::string file = testpki::MakeSm2SoftCertFile(*id, "123456");
  ASSERT_FALSE(file.empty());
  EXPECT_EQ(file.find_first_of("\r\n"), std::string::npos);
  const Bytes der = Base64Decode(file);
  EXPECT_EQ(der, testpki::MakeSm2SoftCertDer(*id, "123456"));  // same key, same password

  auto pfx = ParsePfx(der);
  ASSERT_TRUE(pfx);
  EXPECT_EQ(pfx->version, 1);
  EXPECT_EQ(pfx->privateId, "1.2.156.10197.6.1.4.2.1");
  EXPECT_EQ(pfx->encAlg, "1.2.156.10197.1.104");
  EXPECT_EQ(pfx->publicId, "1.2.156.10197.6.1.4.2.1");
  EXPECT_EQ(pfx->cert, id->CertDer());
  EXPECT_EQ(pfx->encryptedKey.size(), 48u);  // 32 bytes plus a full block of padding

  auto d = OpensslDecrypt(pfx->encryptedKey, "123456");
  ASSERT_TRUE(d);
  ASSERT_EQ(d->size(), 32u);
  EXPECT_TRUE(std::equal(d->begin(), d->end(), id->PrivateKeyBytes().begin()));
  const unsigned char* in = pfx->cert.data();
  X509* cert = d2i_X509(nullptr, &in, static_cast<long>(pfx->cert.size()));
  ASSERT_NE(cert, nullptr);
  EXPECT_EQ(Sm2PointOf(*d), CertPoint(cert));
  X509_free(cert);
}

TEST(SoftCertFile, WrongPasswordDoesNotYieldTheKey) {
  auto id = testpki::MakeSm2Identity(Profile("Soft", "1001"), nullptr);
  ASSERT_TRUE(id);
  auto pfx = ParsePfx(testpki::MakeSm2SoftCertDer(*id, "123456"));
  ASSERT_TRUE(pfx);
  const auto d = id->PrivateKeyBytes();
  for (const char* wrong : {"654321", "1234567", "", "12345"}) {
    auto out = OpensslDecrypt(pfx->encryptedKey, wrong);
    EXPECT_TRUE(!out || !std::equal(d.begin(), d.end(), out->begin(), out->end())) << wrong;
  }
}

TEST(SoftCertFile, EmptyAndLongPasswordsFollowTheSameDerivation) {
  auto id = testpki::MakeSm2Identity(Profile("Soft", "1001"), nullptr);
  ASSERT_TRUE(id);
  const std::string longPassword(200, 'p');
  for (const std::string& pw : {std::string(), std::string("\xE5\xAF\x86", 3), longPassword}) {
    auto pfx = ParsePfx(testpki::MakeSm2SoftCertDer(*id, pw));
    ASSERT_TRUE(pfx);
    auto d = OpensslDecrypt(pfx->encryptedKey, pw);
    ASSERT_TRUE(d);
    EXPECT_TRUE(std::equal(d->begin(), d->end(), id->PrivateKeyBytes().begin()));
  }
}

TEST(SoftCertFile, LayoutChoicesAreWrittenAsGiven) {
  auto id = testpki::MakeSm2Identity(Profile("Soft", "1001"), nullptr);
  ASSERT_TRUE(id);
  testpki::SoftCertLayout layout;
  layout.version = 300;
  layout.privateDataId = "1.2.3.4";
  layout.encryptedAlg = "2.999.77";
  layout.publicDataId = "1.2.840.113549.1.7.1";
  auto pfx = ParsePfx(Base64Decode(testpki::MakeSm2SoftCertFile(*id, "pw", layout)));
  ASSERT_TRUE(pfx);
  EXPECT_EQ(pfx->version, 300);
  EXPECT_EQ(pfx->privateId, "1.2.3.4");
  EXPECT_EQ(pfx->encAlg, "2.999.77");
  EXPECT_EQ(pfx->publicId, "1.2.840.113549.1.7.1");
  layout.version = -1;
  pfx = ParsePfx(testpki::MakeSm2SoftCertDer(*id, "pw", layout));
  ASSERT_TRUE(pfx);
  EXPECT_EQ(pfx->version, -1);

  layout.encryptedAlg = "not an oid";
  EXPECT_TRUE(testpki::MakeSm2SoftCertDer(*id, "pw", layout).empty());
  EXPECT_TRUE(testpki::MakeSm2SoftCertFile(*id, "pw", layout).empty());
}

TEST(SoftCertFile, RefusesRsaAndEmptyIdentities) {
  auto rsa = testpki::MakeRsaIdentity(Profile("Rsa", "01"), nullptr, 1024);
  ASSERT_TRUE(rsa);
  EXPECT_TRUE(testpki::MakeSm2SoftCertFile(*rsa, "pw").empty());
  EXPECT_TRUE(testpki::MakeSm2SoftCertDer(testpki::Identity(), "pw").empty());
}

TEST(SoftCertFile, EncodeTakesPartsVerbatimWithLongLengths) {
  const Bytes key(300, 0xAB), cert(70000, 0xCD);
  auto pfx = ParsePfx(testpki::EncodeSm2Pfx(key, cert));
  ASSERT_TRUE(pfx);
  EXPECT_EQ(pfx->encryptedKey, key);
  EXPECT_EQ(pfx->cert, cert);
  pfx = ParsePfx(testpki::EncodeSm2Pfx({}, {}));
  ASSERT_TRUE(pfx);
  EXPECT_TRUE(pfx->encryptedKey.empty());
  EXPECT_TRUE(pfx->cert.empty());
}

TEST(PasswordCipher, AgreesWithOpensslForEveryLength) {
  for (std::size_t len : {0u, 1u, 15u, 16u, 17u, 31u, 32u, 33u, 64u}) {
    Bytes plain(len);
    for (std::size_t i = 0; i < len; ++i) plain[i] = static_cast<std::uint8_t>(i * 7 + 1);
    const Bytes cipher = testpki::EncryptByPassword(plain, "secret");
    EXPECT_EQ(cipher.size(), (len / 16 + 1) * 16);
    auto viaOpenssl = OpensslDecrypt(cipher, "secret");
    ASSERT_TRUE(viaOpenssl) << len;
    EXPECT_EQ(*viaOpenssl, plain);
    auto viaUs = testpki::DecryptByPassword(cipher, "secret");
    ASSERT_TRUE(viaUs) << len;
    EXPECT_TRUE(std::equal(viaUs->begin(), viaUs->end(), plain.begin(), plain.end()));
  }
}

TEST(PasswordCipher, DecryptRejectsBadShapesAndPadding) {
  EXPECT_FALSE(testpki::DecryptByPassword({}, "pw"));
  EXPECT_FALSE(testpki::DecryptByPassword(Bytes(15), "pw"));
  // A block whose padding byte is zero after decryption: encrypt 16 zeros
  // and drop the padding block.
  Bytes cipher = testpki::EncryptByPassword(Bytes(16, 0), "pw");
  cipher.resize(16);
  EXPECT_FALSE(testpki::DecryptByPassword(cipher, "pw"));
  // Padding byte 0x11 (> 16).
  cipher = testpki::EncryptByPassword(Bytes(16, 0x11), "pw");
  cipher.resize(16);
  EXPECT_FALSE(testpki::DecryptByPassword(cipher, "pw"));
  // Last byte 03 but the one before the run is 02: a last-byte-only check
  // would accept it. CBC's first block does not depend on later ones.
  Bytes plain(16, 0x00);
  plain[13] = 0x02;
  plain[14] = 0x03;
  plain[15] = 0x03;
  cipher = testpki::EncryptByPassword(plain, "pw");
  cipher.resize(16);
  EXPECT_FALSE(testpki::DecryptByPassword(cipher, "pw"));
}

}  // namespace
