#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "resources/ResultCodes.h"
#include "smengine/EnvelopeTestSupport.h"

namespace {

using namespace envelopetest;

class EnvelopeData : public WithRecipient {};

TEST_F(EnvelopeData, RoundTripsAtBlockEdgesWithDesignedContentSizes) {
  for (std::size_t n : {0u, 1u, 16u, 16383u, 16384u, 16385u, 3u << 20}) {
    const Bytes plain = Pattern(n);
    Bytes envelope, back;
    ASSERT_EQ(ORLO_OK, SealData(plain, R().cert, &envelope)) << n;
    EnvelopeParts parts;
    ASSERT_EQ(ORLO_OK, DecodeParts(envelope, &parts));
    EXPECT_EQ((n / 16 + 1) * 16, parts.content.size());
    EXPECT_EQ(16u, parts.iv.size());
    ASSERT_EQ(ORLO_OK, OpenData(R(), envelope, &back)) << n;
    EXPECT_EQ(plain, back) << n;
  }
}

TEST_F(EnvelopeData, Base64FormsRoundTripAndTwoEnvelopesDiffer) {
  const Bytes plain = Pattern(100);
  char *pszFirst = nullptr, *pszSecond = nullptr;
  int nFirst = 0, nSecond = 0;
  ASSERT_EQ(ORLO_OK, engine::EncryptDataToBase64CMSEnvelope(R().cert.data(), int(R().cert.size()),
                                                            plain.data(), 100, &pszFirst, &nFirst));
  ASSERT_EQ(ORLO_OK,
            engine::EncryptDataToBase64CMSEnvelope(R().cert.data(), int(R().cert.size()),
                                                   plain.data(), 100, &pszSecond, &nSecond));
  std::unique_ptr<char[]> first(pszFirst), second(pszSecond);
  EXPECT_EQ(std::string(pszFirst).size(), std::size_t(nFirst));

  UniqueFile pfx = SoftCertFile(R());
  unsigned char* p = nullptr;
  int n = 0;
  ASSERT_EQ(ORLO_OK,
            engine::DecryptBase64CMSEnvelopeData(pfx.get(), kPassword, pszFirst, nFirst, &p, &n));
  std::unique_ptr<unsigned char[]> owned(p);
  EXPECT_EQ(plain, Bytes(p, p + n));
  EXPECT_EQ(int(SIGIL_E_BASE64_DECODE),
            engine::DecryptBase64CMSEnvelopeData(pfx.get(), kPassword, "", 0, &p, &n));

  // Fresh IV, session key and SM2 randomness every time.
  Bytes a, b;
  ASSERT_EQ(ORLO_OK, SealData(plain, R().cert, &a));
  ASSERT_EQ(ORLO_OK, SealData(plain, R().cert, &b));
  EnvelopeParts pa, pb;
  ASSERT_EQ(ORLO_OK, DecodeParts(a, &pa));
  ASSERT_EQ(ORLO_OK, DecodeParts(b, &pb));
  EXPECT_EQ(pa.skid, pb.skid);
  EXPECT_NE(pa.iv, pb.iv);
  EXPECT_NE(pa.encryptedKey, pb.encryptedKey);
  EXPECT_NE(pa.content, pb.content);
}

TEST_F(EnvelopeData, RefusesRecipientsAndArgumentsItCannotUse) {
  Bytes envelope;
  for (unsigned ku :
       {testpki::kKuDigitalSignature | testpki::kKuNonRepudiation, testpki::kKuDataEncipherment})
    EXPECT_EQ(int(SIGIL_E_INVALID_CERT_USAGE),
              SealData(Bytes(5), MakeRecipient("no key enc", ku).cert, &envelope));
  const Bytes plain(5);
  unsigned char* p = nullptr;
  int n = 0;
  EXPECT_EQ(ORLO_INVALID_PARAMETER, engine::EncryptDataToDerCMSEnvelope(
                                        nullptr, 5, R().cert.data(), int(R().cert.size()), &p, &n));
  EXPECT_EQ(ORLO_INVALID_PARAMETER,
            engine::EncryptDataToDerCMSEnvelope(plain.data(), 5, nullptr, 0, &p, &n));
  // Too big for any in-memory envelope: refused before anything is made.
  EXPECT_EQ(int(SIGIL_E_DATA_TOO_LONG),
            engine::EncryptDataToDerCMSEnvelope(plain.data(), int(MAX_ASN1_DATA_MEMORY_SIZE),
                                                R().cert.data(), int(R().cert.size()), &p, &n));
  EXPECT_EQ(nullptr, p);
}

TEST_F(EnvelopeData, DecryptionFailuresKeepTheirOwnCodes) {
  const Bytes plain = Pattern(16);
  Bytes envelope, out;
  ASSERT_EQ(ORLO_OK, SealData(plain, R().cert, &envelope));
  EXPECT_EQ(int(SIGIL_E_DECRYPT_SM2_PFX), OpenData(R(), envelope, &out, "654321"));
  EXPECT_EQ(ORLO_FAILED, OpenData(MakeRecipient("someone else"), envelope, &out));

  // Content is the last thing in the DER: turning the padding byte 10 into 00
  // through the previous ciphertext block breaks the padding for certain.
  Bytes tampered = envelope;
  tampered[tampered.size() - 32 + 15] ^= 0x10;
  EXPECT_EQ(ORLO_FAILED, OpenData(R(), tampered, &out));

  // The session key's C2 is the last field of SM2Cipher.
  EnvelopeParts parts;
  ASSERT_EQ(ORLO_OK, DecodeParts(envelope, &parts));
  tampered = envelope;
  auto at = std::search(tampered.begin(), tampered.end(), parts.encryptedKey.begin(),
                        parts.encryptedKey.end());
  ASSERT_NE(tampered.end(), at);
  at[parts.encryptedKey.size() - 1] ^= 0x01;
  EXPECT_EQ(ORLO_FAILED, OpenData(R(), tampered, &out));

  // An IV that is not 16 bytes makes the envelope invalid, not undecryptable.
  const Bytes shortIv = asn1test::Tlv(0x04, Bytes(8, 1));
  BYTE* pbyDer = nullptr;
  int nDer = 0;
  ASSERT_EQ(ORLO_OK, engine::Encode_CMSEnvelope(
                         shortIv.data(), int(shortIv.size()), parts.encryptedKey.data(),
                         int(parts.encryptedKey.size()), parts.skid.data(), int(parts.skid.size()),
                         parts.content.data(), int(parts.content.size()), &pbyDer, &nDer));
  std::unique_ptr<BYTE[]> owned(pbyDer);
  EXPECT_EQ(int(SIGIL_E_INVALID_ENVELOPE), OpenData(R(), Bytes(pbyDer, pbyDer + nDer), &out));
  EXPECT_EQ(int(SIGIL_E_INVALID_ENVELOPE),
            OpenData(R(), Bytes{0x30, 0x03, 0x02, 0x01, 0x05}, &out));
}

TEST_F(EnvelopeData, RecipientsWithLeadingZeroCoordinatesAreOrdinary) {
  for (auto which : {testpki::LeadingZero::PublicX, testpki::LeadingZero::PublicY,
                     testpki::LeadingZero::PrivateKey}) {
    const Recipient zero = MakeRecipient("leading zero", testpki::kKuKeyEncipherment, which);
    const Bytes plain = Pattern(1000);
    Bytes envelope, back;
    ASSERT_EQ(ORLO_OK, SealData(plain, zero.cert, &envelope));
    ASSERT_EQ(ORLO_OK, OpenData(zero, envelope, &back));
    EXPECT_EQ(plain, back);
  }
}

}  // namespace
