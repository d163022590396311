#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/evp.h>

#include <memory>
#include <numeric>
#include <vector>

#include "gmcrypto/sm2/Sm2.h"
#include "pki/TestPki.h"
#include "resources/ResultCodes.h"
#include "smengine/Asn1TestBytes.h"
#include "smengine/asn1/CMSEnvelopeOperations.h"
#include "smengine/common/EngineResult.h"

namespace {

using asn1test::Bytes;
using asn1test::Hex;
using asn1test::Tlv;

int EncodeCipher(const Bytes& raw, Bytes* pDer) {
  BYTE* pbyDer = nullptr;
  int nLength = 0;
  const int nResult =
      engine::Encode_SM2Cipher(raw.data(), static_cast<int>(raw.size()), &pbyDer, &nLength);
  std::unique_ptr<BYTE[]> owned(pbyDer);
  if (nResult == ORLO_OK) pDer->assign(pbyDer, pbyDer + nLength);
  return nResult;
}

int DecodeCipher(const Bytes& der, Bytes* pRaw) {
  BYTE* pbyRaw = nullptr;
  int nLength = 0;
  const int nResult =
      engine::Decode_SM2Cipher(der.data(), static_cast<int>(der.size()), &pbyRaw, &nLength);
  std::unique_ptr<BYTE[]> owned(pbyRaw);
  if (nResult == ORLO_OK) pRaw->assign(pbyRaw, pbyRaw + nLength);
  return nResult;
}

// x1 || y1 || C2 (16) || C3 with recognisable bytes.
Bytes Raw112(BYTE byX0, BYTE byY0) {
  Bytes raw(112);
  std::iota(raw.begin(), raw.end(), BYTE{1});
  raw[0] = byX0;
  raw[32] = byY0;
  return raw;
}

Bytes Slice(const Bytes& b, size_t from, size_t n) {
  return Bytes(b.begin() + from, b.begin() + from + n);
}

Bytes SignOctetPlus(const Bytes& b) {
  Bytes out(b.size() + 1, 0x00);
  std::copy(b.begin(), b.end(), out.begin() + 1);
  return out;
}

Bytes CipherDer(const Bytes& x, const Bytes& y, const Bytes& hash, const Bytes& c2) {
  Bytes body = Tlv(0x02, x);
  for (const Bytes& part : {Tlv(0x02, y), Tlv(0x04, hash), Tlv(0x04, c2)})
    body.insert(body.end(), part.begin(), part.end());
  return Tlv(0x30, body);
}

TEST(CMSEnvelopeSM2Cipher, HighBitXGetsSignOctetAndFieldOrderIsXYHashCipher) {
  const Bytes raw = Raw112(0x9A, 0x11);
  Bytes der;
  ASSERT_EQ(ORLO_OK, EncodeCipher(raw, &der));
  const Bytes x = SignOctetPlus(Slice(raw, 0, 32));
  EXPECT_EQ(CipherDer(x, Slice(raw, 32, 32), Slice(raw, 80, 32), Slice(raw, 64, 16)), der);
  Bytes back;
  ASSERT_EQ(ORLO_OK, DecodeCipher(der, &back));
  EXPECT_EQ(raw, back);
}

TEST(CMSEnvelopeSM2Cipher, LeadingZeroCoordinatesAreMinimalIntegersAndComeBackWhole) {
  Bytes raw = Raw112(0x00, 0x00);
  raw[1] = 0x00;   // x1 = 00 00 03 ...
  raw[33] = 0x85;  // y1 = 00 85 ...: the zero stays as the sign octet
  Bytes der;
  ASSERT_EQ(ORLO_OK, EncodeCipher(raw, &der));
  EXPECT_EQ(
      CipherDer(Slice(raw, 2, 30), Slice(raw, 32, 32), Slice(raw, 80, 32), Slice(raw, 64, 16)),
      der);
  Bytes back;
  ASSERT_EQ(ORLO_OK, DecodeCipher(der, &back));
  EXPECT_EQ(raw, back);
}

TEST(CMSEnvelopeSM2Cipher, ShortAndPaddedCoordinatesAreRightAligned) {
  const Bytes raw = Raw112(0x01, 0x02);
  // Non-minimal 32-byte and 33-byte forms written by other producers.
  const Bytes x33 = SignOctetPlus(Slice(raw, 0, 32));
  Bytes back;
  ASSERT_EQ(ORLO_OK,
            DecodeCipher(CipherDer(x33, Slice(raw, 32, 32), Slice(raw, 80, 32), Slice(raw, 64, 16)),
                         &back));
  EXPECT_EQ(raw, back);
  ASSERT_EQ(ORLO_OK, DecodeCipher(CipherDer(Slice(raw, 1, 31), Slice(raw, 32, 32),
                                            Slice(raw, 80, 32), Slice(raw, 64, 16)),
                                  &back));
  Bytes expected = raw;
  expected[0] = 0;
  EXPECT_EQ(expected, back);
}

TEST(CMSEnvelopeSM2Cipher, MalformedCiphersAreRejected) {
  const Bytes raw = Raw112(0x01, 0x02);
  const Bytes x = Slice(raw, 0, 32), y = Slice(raw, 32, 32), h = Slice(raw, 80, 32),
              c2 = Slice(raw, 64, 16);
  Bytes x34(34, 0x00);
  Bytes x33NotSign(33, 0x01);
  Bytes out;
  EXPECT_EQ(SIGIL_E_ASN1_DECODE, DecodeCipher(CipherDer(x34, y, h, c2), &out));
  EXPECT_EQ(SIGIL_E_ASN1_DECODE, DecodeCipher(CipherDer(x, x34, h, c2), &out));
  EXPECT_EQ(SIGIL_E_ASN1_DECODE, DecodeCipher(CipherDer(x33NotSign, y, h, c2), &out));
  EXPECT_EQ(SIGIL_E_ASN1_DECODE, DecodeCipher(CipherDer(x, y, Slice(h, 0, 20), c2), &out));
  Bytes five = CipherDer(x, y, h, c2);
  five[1] = static_cast<BYTE>(five[1] + 3);
  five.resize(five.size() + 3);
  five[five.size() - 3] = 0x04;
  five[five.size() - 2] = 0x01;
  five[five.size() - 1] = 0x01;
  EXPECT_EQ(SIGIL_E_ASN1_DECODE, DecodeCipher(five, &out));
  EXPECT_EQ(SIGIL_E_ASN1_DECODE, DecodeCipher(Tlv(0x30, Tlv(0x02, x)), &out));
  EXPECT_EQ(ORLO_FAILED, DecodeCipher(Hex("30 05 02 01"), &out));

  Bytes der;
  EXPECT_EQ(ORLO_INVALID_PARAMETER, EncodeCipher(Bytes(96, 1), &der));
  EXPECT_EQ(ORLO_OK, EncodeCipher(Bytes(97, 1), &der));
}

TEST(CMSEnvelopeSM2Cipher, EveryTruncationFailsCleanly) {
  Bytes der;
  ASSERT_EQ(ORLO_OK, EncodeCipher(Raw112(0xC0, 0x00), &der));
  for (size_t n = 1; n < der.size(); ++n) {
    Bytes cut(der.begin(), der.begin() + n), out;
    EXPECT_NE(ORLO_OK, DecodeCipher(cut, &out)) << n;
  }
}

struct BnFree {
  void operator()(BIGNUM* p) const { BN_free(p); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;

class CMSEnvelopeSM2CipherCrypto : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    testpki::CertProfile profile;
    profile.subject = "C=CN,O=Sigil Test,CN=cms";
    profile.serialHex = "0C35";
    s_identity = new std::optional<testpki::Identity>(testpki::MakeSm2Identity(profile, nullptr));
  }
  static void TearDownTestSuite() { delete s_identity; }

  // Raw 04-less ciphertext of the message; pick selects which one to keep.
  template <typename Pick>
  Bytes EncryptUntil(const Bytes& message, Pick pick) {
    const testpki::Identity& id = **s_identity;
    const testpki::Bytes px = id.PublicX(), py = id.PublicY();
    Bn x(BN_bin2bn(px.data(), 32, nullptr)), y(BN_bin2bn(py.data(), 32, nullptr));
    for (int i = 0; i < 4000; ++i) {
      Bytes out(message.size() + 97);
      if (gmcrypto::_SM2_encrypt(gmcrypto::NID_prime256v1SM2, message.data(),
                                 static_cast<int>(message.size()), x.get(), y.get(),
                                 out.data()) != 1)
        return {};
      Bytes raw(out.begin() + 1, out.end());
      if (pick(raw)) return raw;
    }
    return {};
  }

  static std::optional<testpki::Identity>* s_identity;
};
std::optional<testpki::Identity>* CMSEnvelopeSM2CipherCrypto::s_identity = nullptr;

TEST_F(CMSEnvelopeSM2CipherCrypto, OurCiphertextsRoundTripAndOpenSslDecryptsTheDer) {
  ASSERT_TRUE(s_identity->has_value());
  const Bytes key = Hex("00112233445566778899AABBCCDDEEFF");
  const std::vector<bool (*)(const Bytes&)> picks = {
      [](const Bytes& r) { return r[0] == 0x00; },
      [](const Bytes& r) { return r[32] == 0x00; },
      [](const Bytes& r) { return r[0] >= 0x80 && r[32] >= 0x80; },
      [](const Bytes& r) { return r[0] != 0 && r[0] < 0x80; },
  };
  const testpki::SecretBytes d = (**s_identity).PrivateKeyBytes();
  Bn dB(BN_bin2bn(d.data(), static_cast<int>(d.size()), nullptr));
  for (size_t i = 0; i < picks.size(); ++i) {
    const Bytes raw = EncryptUntil(key, picks[i]);
    ASSERT_EQ(112u, raw.size()) << i;
    Bytes der, back;
    ASSERT_EQ(ORLO_OK, EncodeCipher(raw, &der)) << i;
    ASSERT_EQ(ORLO_OK, DecodeCipher(der, &back)) << i;
    EXPECT_EQ(raw, back) << i;
    Bytes again;
    ASSERT_EQ(ORLO_OK, EncodeCipher(back, &again));
    EXPECT_EQ(der, again) << i;

    Bytes withPrefix = SignOctetPlus(back);
    withPrefix[0] = 0x04;
    Bytes plain(16);
    ASSERT_EQ(1,
              gmcrypto::_SM2_decrypt(gmcrypto::NID_prime256v1SM2, withPrefix.data(),
                                     static_cast<int>(withPrefix.size()), dB.get(), plain.data()));
    EXPECT_EQ(key, plain) << i;

    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(
        EVP_PKEY_CTX_new((**s_identity).key(), nullptr), &EVP_PKEY_CTX_free);
    ASSERT_TRUE(ctx);
    ASSERT_EQ(1, EVP_PKEY_decrypt_init(ctx.get()));
    size_t nOut = 0;
    ASSERT_EQ(1, EVP_PKEY_decrypt(ctx.get(), nullptr, &nOut, der.data(), der.size())) << i;
    Bytes opensslPlain(nOut);
    ASSERT_EQ(1, EVP_PKEY_decrypt(ctx.get(), opensslPlain.data(), &nOut, der.data(), der.size()))
        << i;
    opensslPlain.resize(nOut);
    EXPECT_EQ(key, opensslPlain) << i;
  }
}

}  // namespace
