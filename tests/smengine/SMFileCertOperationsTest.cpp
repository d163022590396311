#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "pki/TestPki.h"
#include "resources/ResultCodes.h"
#include "smengine/common/EngineResult.h"
#include "smengine/softcert/SMFileCertOperations.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr const char* kPassword = "soft-cert pass";

struct KeyPair : engine::SM2_KEY_PAIR {
  ~KeyPair() { engine::FreeSM2KeyPair(this); }
};

int Decrypt(const Bytes& der, const char* password, KeyPair* pair) {
  return engine::DecryptKeyPairFromSM2PFX(password, pair, der.data(), int(der.size()));
}
int Parse(const Bytes& der) {
  return engine::ParseSM2PFX(der.data(), int(der.size()), nullptr, nullptr, nullptr, nullptr);
}
Bytes Tlv(std::uint8_t tag, const Bytes& content) {
  Bytes out{tag, std::uint8_t(content.size())};  // short form is enough here
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

class SMFileCert : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    testpki::CertProfile profile{"C=CN,O=Sigil Test,CN=pfx owner", "0A1B2C",
                                 testpki::kKuDigitalSignature};
    id_ = new testpki::Identity(std::move(*testpki::MakeSm2Identity(profile, nullptr)));
    pfx_ = new Bytes(testpki::MakeSm2SoftCertDer(*id_, kPassword));
  }
  static void TearDownTestSuite() { delete id_, delete pfx_; }
  static Bytes D() {
    const auto d = id_->PrivateKeyBytes();
    return Bytes(d.begin(), d.end());
  }
  static Bytes WithKey(const Bytes& d) {
    return testpki::EncodeSm2Pfx(testpki::EncryptByPassword(d, kPassword), id_->CertDer());
  }
  static testpki::Identity* id_;
  static Bytes* pfx_;
};
testpki::Identity* SMFileCert::id_ = nullptr;
Bytes* SMFileCert::pfx_ = nullptr;

TEST_F(SMFileCert, ParseAndDecryptRoundTrip) {
  unsigned char *pbyKey = nullptr, *pbyCert = nullptr;
  int nCert = 0;
  ASSERT_EQ(
      engine::ParseSM2PFX(pfx_->data(), int(pfx_->size()), nullptr, nullptr, &pbyCert, &nCert),
      ORLO_OK);
  EXPECT_EQ(Bytes(pbyCert, pbyCert + nCert), id_->CertDer());
  delete[] pbyCert;
  EXPECT_EQ(
      engine::ParseSM2PFX(pfx_->data(), int(pfx_->size()), &pbyKey, nullptr, nullptr, nullptr),
      ORLO_INVALID_PARAMETER);

  KeyPair pair;
  ASSERT_EQ(Decrypt(*pfx_, kPassword, &pair), ORLO_OK);
  EXPECT_EQ(Bytes(pair.pbyPrivateKey, pair.pbyPrivateKey + pair.nPrivateKeySize), D());
  ASSERT_EQ(pair.nPubKeyXSize, 32);
  ASSERT_EQ(pair.nPubKeyYSize, 32);
  EXPECT_EQ(Bytes(pair.pbyPubKeyX, pair.pbyPubKeyX + 32), id_->PublicX());
  EXPECT_EQ(Bytes(pair.pbyPubKeyY, pair.pbyPubKeyY + 32), id_->PublicY());
  engine::FreeSM2KeyPair(&pair);
  EXPECT_EQ(pair.pbyPrivateKey, nullptr);
  EXPECT_EQ(pair.nPrivateKeySize, 0);

  // Fields nobody reads may hold anything.
  testpki::SoftCertLayout odd;
  odd.version = -129;
  odd.privateDataId = "2.5.4.3";
  odd.encryptedAlg = "1.2.840.113549.1.1.1";
  odd.publicDataId = "1.3.6.1.4.1.99999.12345678901234567890";
  ASSERT_EQ(Decrypt(testpki::MakeSm2SoftCertDer(*id_, kPassword, odd), kPassword, &pair), ORLO_OK);
  EXPECT_EQ(Bytes(pair.pbyPrivateKey, pair.pbyPrivateKey + pair.nPrivateKeySize), D());

  // The empty password is a password like any other.
  KeyPair empty;
  EXPECT_EQ(Decrypt(testpki::MakeSm2SoftCertDer(*id_, ""), "", &empty), ORLO_OK);
}

TEST_F(SMFileCert, WrongKeysAreRefusedEvenWithValidPadding) {
  for (const char* wrong : {"soft-cert pas", "", "Soft-cert pass"}) {
    KeyPair pair;
    EXPECT_EQ(Decrypt(*pfx_, wrong, &pair), SIGIL_E_DECRYPT_SM2_PFX) << wrong;
    EXPECT_EQ(pair.pbyPrivateKey, nullptr);
  }
  // A wrong password under which the real ciphertext still ends in valid
  // padding (about 1 in 256).
  const Bytes encrypted = testpki::EncryptByPassword(D(), kPassword);
  std::optional<std::string> lucky;
  for (int i = 0; i < 20000 && !lucky; ++i)
    if (testpki::DecryptByPassword(encrypted, "wrong-" + std::to_string(i)))
      lucky = "wrong-" + std::to_string(i);
  ASSERT_TRUE(lucky.has_value());
  KeyPair pair;
  EXPECT_EQ(Decrypt(WithKey(D()), lucky->c_str(), &pair), SIGIL_E_DECRYPT_SM2_PFX);

  // Well-formed files with the right password but a key that is not the
  // certificate's: another scalar, d with a leading 00, zero, the order n.
  Bytes other = D();
  other[31] ^= 0x01;
  Bytes padded = D();
  padded.insert(padded.begin(), 0x00);
  const Bytes order = {0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                       0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x72, 0x03, 0xDF, 0x6B, 0x21, 0xC6,
                       0x05, 0x2B, 0x53, 0xBB, 0xF4, 0x09, 0x39, 0xD5, 0x41, 0x23};
  for (const Bytes& bad : {other, padded, Bytes(32, 0x00), order, Bytes{}}) {
    EXPECT_EQ(Decrypt(WithKey(bad), kPassword, &pair), SIGIL_E_DECRYPT_SM2_PFX) << bad.size();
    EXPECT_EQ(pair.pbyPrivateKey, nullptr);
  }
  // The same number without its leading zero byte is the same key.
  testpki::CertProfile profile{"CN=leading zero d", "01", testpki::kKuDigitalSignature};
  profile.leadingZero = testpki::LeadingZero::PrivateKey;
  const auto zeroId = testpki::MakeSm2Identity(profile, nullptr);
  const auto full = zeroId->PrivateKeyBytes();
  const Bytes shortD(full.begin() + 1, full.end());
  ASSERT_EQ(Decrypt(testpki::EncodeSm2Pfx(testpki::EncryptByPassword(shortD, kPassword),
                                          zeroId->CertDer()),
                    kPassword, &pair),
            ORLO_OK);
  EXPECT_EQ(pair.nPrivateKeySize, 31);
}

TEST_F(SMFileCert, BrokenDerFailsAsAWholeAndLeavesOutputsAlone) {
  for (std::size_t n = 0; n < pfx_->size(); ++n)
    ASSERT_EQ(Parse(Bytes(pfx_->begin(), pfx_->begin() + long(n))), SIGIL_E_DECODE_SM2_PFX) << n;
  Bytes extended = *pfx_;
  extended.push_back(0x00);
  KeyPair pair;
  EXPECT_EQ(Decrypt(extended, kPassword, &pair), SIGIL_E_DECODE_SM2_PFX);
  EXPECT_EQ(engine::ParseSM2PFX(nullptr, 10, nullptr, nullptr, nullptr, nullptr),
            SIGIL_E_DECODE_SM2_PFX);
  std::mt19937 rng(7);
  for (int i = 0; i < 200; ++i) {
    Bytes garbage(1 + rng() % 300);
    for (auto& b : garbage) b = std::uint8_t(rng());
    garbage[0] = 0x30;
    EXPECT_EQ(Parse(garbage), SIGIL_E_DECODE_SM2_PFX);
  }

  const Bytes ver = Tlv(0x02, {0x01}), oid = Tlv(0x06, {0x2A, 0x03}), key = Tlv(0x04, Bytes(48, 1));
  const Bytes cert = Tlv(0x04, Bytes(30, 2));
  auto pfx = [](const Bytes& v, Bytes priv, const Bytes& pub) {
    Bytes body = v;
    for (const Bytes* seq : {static_cast<const Bytes*>(&priv), &pub}) {
      const Bytes t = Tlv(0x30, *seq);
      body.insert(body.end(), t.begin(), t.end());
    }
    return Tlv(0x30, body);
  };
  auto cat = [](std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
  };
  ASSERT_EQ(Parse(pfx(ver, cat({oid, oid, key}), cat({oid, cert}))), ORLO_OK);
  const std::vector<Bytes> bad = {
      pfx(Tlv(0x02, {}), cat({oid, oid, key}), cat({oid, cert})),            // empty INTEGER
      pfx(ver, cat({oid, key}), cat({oid, cert})),                           // missing field
      pfx(ver, cat({oid, oid, key, oid}), cat({oid, cert})),                 // extra field
      pfx(ver, cat({oid, oid, Tlv(0x24, key)}), cat({oid, cert})),           // constructed
      pfx(ver, cat({oid, oid, Tlv(0x04, {})}), cat({oid, cert})),            // empty key
      pfx(ver, cat({Tlv(0x06, {0x2A, 0x81}), oid, key}), cat({oid, cert})),  // cut OID
      pfx(ver, cat({oid, oid, key}), cat({Tlv(0x06, {0x2A, 0x80, 1}), cert})),
      pfx(ver, cat({oid, oid, key}), cat({oid, Tlv(0x04, {})})),    // empty certificate
      Bytes{0x30, 0x80, 0x02, 0x01, 0x01, 0x00, 0x00},              // indefinite length
      Bytes{0x30, 0x84, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x01, 0x01},  // past the end
  };
  for (std::size_t i = 0; i < bad.size(); ++i) {
    unsigned char* pbyKey = reinterpret_cast<unsigned char*>(0x1);
    int nKey = -7;
    EXPECT_EQ(
        engine::ParseSM2PFX(bad[i].data(), int(bad[i].size()), &pbyKey, &nKey, nullptr, nullptr),
        SIGIL_E_DECODE_SM2_PFX)
        << i;
    EXPECT_EQ(pbyKey, reinterpret_cast<unsigned char*>(0x1));
    EXPECT_EQ(nKey, -7);
  }
  // A certificate that is not one: the key decrypts, the public key fails.
  EXPECT_EQ(
      Decrypt(testpki::EncodeSm2Pfx(testpki::EncryptByPassword(D(), kPassword), Bytes{0x30, 0x00}),
              kPassword, &pair),
      ORLO_FAILED);
}

}  // namespace
