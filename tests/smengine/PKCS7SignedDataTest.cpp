#include <gtest/gtest.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "gmcrypto/sm2/Sm2.h"
#include "gmcrypto/sm3/Sm3.h"
#include "pki/TestPki.h"
#include "resources/ResultCodes.h"
#include "smengine/common/EngineResult.h"
#include "smengine/signing/PKCS7SignedDataOperations.h"
#include "smengine/softcert/SMFileCertOperations.h"

namespace {

using Bytes = std::vector<BYTE>;
constexpr int kInvalidPKCS7 = static_cast<int>(SIGIL_E_INVALID_PKCS7);

Bytes Tlv(BYTE byTag, const Bytes& value) {
  Bytes out{byTag};
  const std::size_t n = value.size();
  if (n < 0x80) {
    out.push_back(static_cast<BYTE>(n));
  } else if (n < 0x100) {
    out.insert(out.end(), {0x81, static_cast<BYTE>(n)});
  } else {
    out.insert(out.end(), {0x82, static_cast<BYTE>(n >> 8), static_cast<BYTE>(n)});
  }
  out.insert(out.end(), value.begin(), value.end());
  return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

Bytes OidDer(const char* dotted) {
  ASN1_OBJECT* obj = OBJ_txt2obj(dotted, 1);
  EXPECT_NE(obj, nullptr);
  unsigned char* pbyDer = nullptr;
  const int n = i2d_ASN1_OBJECT(obj, &pbyDer);
  Bytes out(pbyDer, pbyDer + n);
  OPENSSL_free(pbyDer);
  ASN1_OBJECT_free(obj);
  return out;
}

bool Contains(const Bytes& haystack, const Bytes& needle) {
  return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
         haystack.end();
}

Bytes RawRs(BYTE byR0, BYTE byS0) {
  Bytes raw(64);
  for (int i = 0; i < 64; ++i) raw[i] = static_cast<BYTE>(i * 7 + 3);
  raw[0] = byR0;
  raw[32] = byS0;
  return raw;
}

struct Encoded {
  int nResult;
  Bytes der;
};

Encoded EncodeQ1(const Bytes& raw) {
  BYTE* pbyOut = nullptr;
  int nSize = 0;
  const int nResult = engine::Encode_SM2Q1(&pbyOut, raw.data(), raw.data() + 32, &nSize);
  Encoded encoded{nResult, pbyOut ? Bytes(pbyOut, pbyOut + nSize) : Bytes{}};
  delete[] pbyOut;
  return encoded;
}

Encoded DecodeQ1(const Bytes& der) {
  BYTE* pbyOut = nullptr;
  int nSize = 0;
  const int nResult =
      engine::Decode_SM2Q1(der.data(), &pbyOut, static_cast<int>(der.size()), &nSize);
  Encoded decoded{nResult, pbyOut ? Bytes(pbyOut, pbyOut + nSize) : Bytes{}};
  delete[] pbyOut;
  return decoded;
}

Encoded EncodeP7(const Bytes& raw, const Bytes& cert, const Bytes& content, BOOL bAttached) {
  BYTE* pbyOut = nullptr;
  int nSize = 0;
  const int nResult = engine::Encode_PKCS7Signature(
      raw.data(), &pbyOut, cert.data(), static_cast<int>(cert.size()), content.data(),
      static_cast<int>(content.size()), bAttached, static_cast<int>(raw.size()), &nSize);
  Encoded encoded{nResult, pbyOut ? Bytes(pbyOut, pbyOut + nSize) : Bytes{}};
  delete[] pbyOut;
  return encoded;
}

struct Parsed {
  int nResult = -2;
  std::optional<Bytes> cert, raw, content;
  bool bContentTerminated = false;
};

Parsed Parse(const Bytes& der) {
  BYTE *pbyCert = nullptr, *pbyRaw = nullptr, *pbyContent = nullptr;
  int nCert = -1, nRaw = -1, nContent = -1;
  Parsed parsed;
  parsed.nResult =
      engine::ParsePKCS7Signature(&pbyCert, &nCert, der.data(), static_cast<int>(der.size()),
                                  &pbyRaw, &nRaw, &pbyContent, &nContent);
  if (parsed.nResult == ORLO_OK) {
    if (pbyCert) parsed.cert = Bytes(pbyCert, pbyCert + nCert);
    if (pbyRaw) parsed.raw = Bytes(pbyRaw, pbyRaw + nRaw);
    if (pbyContent) {
      parsed.content = Bytes(pbyContent, pbyContent + nContent);
      parsed.bContentTerminated = pbyContent[nContent] == 0;
    } else {
      EXPECT_EQ(nContent, 0);
    }
  } else {
    EXPECT_EQ(pbyCert, nullptr);
    EXPECT_EQ(pbyRaw, nullptr);
    EXPECT_EQ(pbyContent, nullptr);
  }
  delete[] pbyCert;
  delete[] pbyRaw;
  delete[] pbyContent;
  return parsed;
}

// A SignedData written by hand, so that foreign shapes can be tried.
struct Shape {
  const char* outerOid = "1.2.156.10197.6.1.4.2.2";
  Bytes cert = Tlv(0x30, Tlv(0x02, Bytes(1, 0x05)));
  std::optional<Bytes> authAttributes;
  Bytes signatureElements;  // everything after the algorithm identifiers
  bool dropCertificates = false;
};

Bytes Algorithm(const char* oid) { return Tlv(0x30, Cat({OidDer(oid), {0x05, 0x00}})); }

Bytes Build(const Shape& shape) {
  Bytes signerInfo = Cat({{0x02, 0x01, 0x01},
                          Tlv(0x30, {0x30, 0x00, 0x02, 0x01, 0x01}),
                          Algorithm("1.2.156.10197.1.401")});
  if (shape.authAttributes) signerInfo = Cat({signerInfo, Tlv(0xA0, *shape.authAttributes)});
  signerInfo = Cat({signerInfo, Algorithm("1.2.156.10197.1.301.1"), shape.signatureElements});
  Bytes signedData = Cat({{0x02, 0x01, 0x01},
                          Tlv(0x31, Algorithm("1.2.156.10197.1.401")),
                          Tlv(0x30, OidDer("1.2.156.10197.6.1.4.2.1"))});
  if (!shape.dropCertificates) signedData = Cat({signedData, Tlv(0xA0, shape.cert)});
  signedData = Cat({signedData, Tlv(0x31, Tlv(0x30, signerInfo))});
  return Tlv(0x30, Cat({OidDer(shape.outerOid), Tlv(0xA0, Tlv(0x30, signedData))}));
}

class PKCS7SignedDataTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    testpki::CertProfile profile;
    profile.subject = "C=CN,O=Sigil Test,CN=PKCS7 Signer";
    profile.serialHex = "00F1E2D3C4B5";  // high bit after the sign byte
    s_identity = testpki::MakeSm2Identity(profile, nullptr);
  }
  static void TearDownTestSuite() { s_identity.reset(); }

  static Bytes CertDer() { return s_identity->CertDer(); }

  // A genuine SM2 signature over SM3(Z || content).
  static Bytes Sign(const Bytes& content) {
    const Bytes x = s_identity->PublicX(), y = s_identity->PublicY();
    const auto d = s_identity->PrivateKeyBytes();
    BYTE byZ[32], byE[32];
    EXPECT_EQ(gmcrypto::_SM2_CalculateDefaultZValue(x.data(), y.data(), byZ), 1);
    Bytes message(byZ, byZ + 32);
    message.insert(message.end(), content.begin(), content.end());
    gmcrypto::SM3(message.data(), message.size(), byE);
    Bytes raw(64);
    EXPECT_EQ(gmcrypto::_SM2_sign_ex(byE, d.data(), raw.data(), raw.data() + 32), 1);
    return raw;
  }

  static bool Verify(const Bytes& raw, const Bytes& content) {
    const Bytes x = s_identity->PublicX(), y = s_identity->PublicY();
    BYTE byZ[32], byE[32];
    gmcrypto::_SM2_CalculateDefaultZValue(x.data(), y.data(), byZ);
    Bytes message(byZ, byZ + 32);
    message.insert(message.end(), content.begin(), content.end());
    gmcrypto::SM3(message.data(), message.size(), byE);
    return gmcrypto::_SM2_verify_ex(raw.data(), raw.data() + 32, x.data(), y.data(), byE) == 1;
  }

  static std::optional<testpki::Identity> s_identity;
};
std::optional<testpki::Identity> PKCS7SignedDataTest::s_identity;

// --- SM2Q1 -----------------------------------------------------------------

TEST(PKCS7SignedDataQ1Test, HighBitGetsSignByteAndRoundTrips) {
  const Bytes raw = RawRs(0x80, 0x01);
  const Encoded q1 = EncodeQ1(raw);
  ASSERT_EQ(q1.nResult, ORLO_OK);
  ASSERT_EQ(q1.der.size(), 71u);
  EXPECT_EQ(Bytes(q1.der.begin(), q1.der.begin() + 5), (Bytes{0x30, 0x45, 0x02, 0x21, 0x00}));
  EXPECT_EQ(q1.der[5], 0x80);
  EXPECT_EQ(Bytes(q1.der.begin() + 37, q1.der.begin() + 39), (Bytes{0x02, 0x20}));
  const Encoded back = DecodeQ1(q1.der);
  ASSERT_EQ(back.nResult, ORLO_OK);
  EXPECT_EQ(back.der, raw);
  EXPECT_EQ(EncodeQ1(back.der).der, q1.der);
  EXPECT_EQ(EncodeQ1(RawRs(0xFF, 0x90)).der.size(), 72u);
  EXPECT_EQ(EncodeQ1(RawRs(0x7F, 0x01)).der.size(), 70u);
}

// Leading zero bytes would make a non-minimal INTEGER that strict DER
// readers (OpenSSL among them) reject, so they are dropped.
TEST(PKCS7SignedDataQ1Test, LeadingZerosAreMinimalDerThatOpenSslAccepts) {
  Bytes raw = RawRs(0x00, 0x00);
  raw[1] = 0x00;
  raw[2] = 0x9A;   // r: 00 00 9A ... -> 00 9A ... (31 bytes)
  raw[33] = 0x11;  // s: 00 11 ... -> 11 ... (31 bytes)
  const Encoded q1 = EncodeQ1(raw);
  ASSERT_EQ(q1.nResult, ORLO_OK);
  EXPECT_EQ(Bytes(q1.der.begin(), q1.der.begin() + 5), (Bytes{0x30, 0x42, 0x02, 0x1F, 0x00}));
  EXPECT_EQ(q1.der.size(), 68u);
  const unsigned char* p = q1.der.data();
  ECDSA_SIG* sig = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(q1.der.size()));
  EXPECT_NE(sig, nullptr);
  ECDSA_SIG_free(sig);
  const Encoded back = DecodeQ1(q1.der);
  ASSERT_EQ(back.nResult, ORLO_OK);
  EXPECT_EQ(back.der, raw);

  const Encoded zero = EncodeQ1(Bytes(64, 0x00));
  EXPECT_EQ(zero.der, (Bytes{0x30, 0x06, 0x02, 0x01, 0x00, 0x02, 0x01, 0x00}));
  EXPECT_EQ(DecodeQ1(zero.der).der, Bytes(64, 0x00));
}

TEST(PKCS7SignedDataQ1Test, DecodeAcceptsPaddedAndShortIntegers) {
  const Bytes r32(32, 0x11);
  // r written with a redundant zero byte, s shorter than 32 bytes.
  const Bytes der =
      Tlv(0x30, Cat({Tlv(0x02, Cat({Bytes(1, 0x00), r32})), Tlv(0x02, Bytes(30, 0x22))}));
  const Encoded back = DecodeQ1(der);
  ASSERT_EQ(back.nResult, ORLO_OK);
  EXPECT_EQ(Bytes(back.der.begin(), back.der.begin() + 32), r32);
  EXPECT_EQ(Bytes(back.der.begin() + 32, back.der.begin() + 34), (Bytes{0, 0}));
  EXPECT_EQ(Bytes(back.der.begin() + 34, back.der.end()), Bytes(30, 0x22));
}

TEST(PKCS7SignedDataQ1Test, DecodeRejectsBadShapes) {
  const Bytes good = EncodeQ1(RawRs(0x80, 0x81)).der;
  ASSERT_EQ(good.size(), 72u);
  Bytes longer = good;
  longer.push_back(0x00);
  EXPECT_EQ(DecodeQ1(longer).nResult, ORLO_FAILED);  // 73 bytes
  EXPECT_EQ(DecodeQ1(Bytes(65, 0x30)).nResult, ORLO_FAILED);
  const Bytes i31 = Tlv(0x02, Bytes(20, 0x01));
  EXPECT_EQ(DecodeQ1(Tlv(0x30, Cat({i31, i31, i31}))).nResult, ORLO_FAILED);
  EXPECT_EQ(DecodeQ1(Tlv(0x30, Cat({i31}))).nResult, ORLO_FAILED);
  Bytes wrongOuter = good;
  wrongOuter[0] = 0x31;
  EXPECT_EQ(DecodeQ1(wrongOuter).nResult, ORLO_FAILED);
  Bytes wrongInner = good;
  wrongInner[2] = 0x04;
  EXPECT_EQ(DecodeQ1(wrongInner).nResult, ORLO_FAILED);
  // 33 significant bytes would lose the first one.
  EXPECT_EQ(DecodeQ1(Tlv(0x30, Cat({Tlv(0x02, Bytes(33, 0x01)), i31}))).nResult, ORLO_FAILED);
  // Trailing bytes after the SEQUENCE.
  Bytes trailing = EncodeQ1(RawRs(0x01, 0x01)).der;
  trailing.insert(trailing.end(), {0x00, 0x00});
  EXPECT_EQ(DecodeQ1(trailing).nResult, ORLO_FAILED);
  for (std::size_t n = 1; n < good.size(); ++n)
    EXPECT_EQ(DecodeQ1(Bytes(good.begin(), good.begin() + n)).nResult, ORLO_FAILED) << n;
}

TEST(PKCS7SignedDataQ1Test, NullArgumentsFail) {
  BYTE* pbyOut = nullptr;
  int nSize = 0;
  const Bytes raw = RawRs(1, 1);
  EXPECT_NE(engine::Encode_SM2Q1(nullptr, raw.data(), raw.data() + 32, &nSize), ORLO_OK);
  EXPECT_NE(engine::Encode_SM2Q1(&pbyOut, nullptr, raw.data(), &nSize), ORLO_OK);
  EXPECT_NE(engine::Decode_SM2Q1(nullptr, &pbyOut, 70, &nSize), ORLO_OK);
  EXPECT_EQ(pbyOut, nullptr);
}

// --- SignedData built here ---------------------------------------------------

TEST_F(PKCS7SignedDataTest, AttachedSignatureParsesBackAndVerifies) {
  ASSERT_TRUE(s_identity);
  const Bytes content = {'a', 'b', 'c'};
  const Bytes raw = Sign(content);
  const Bytes cert = CertDer();
  const Encoded p7 = EncodeP7(raw, cert, content, TRUE);
  ASSERT_EQ(p7.nResult, ORLO_OK);
  EXPECT_TRUE(Contains(p7.der, Bytes{0xA0, 0x05, 0x04, 0x03, 'a', 'b', 'c'}));
  EXPECT_TRUE(Contains(p7.der, Tlv(0xA0, cert)));

  const Parsed parsed = Parse(p7.der);
  ASSERT_EQ(parsed.nResult, ORLO_OK);
  EXPECT_EQ(parsed.cert, cert);
  EXPECT_EQ(parsed.raw, raw);
  EXPECT_EQ(parsed.content, content);
  EXPECT_TRUE(parsed.bContentTerminated);
  EXPECT_TRUE(Verify(*parsed.raw, *parsed.content));

  int nLengthOnly = 0;
  EXPECT_EQ(
      engine::Encode_PKCS7Signature(raw.data(), nullptr, cert.data(), static_cast<int>(cert.size()),
                                    content.data(), 3, TRUE, 64, &nLengthOnly),
      ORLO_OK);
  EXPECT_EQ(nLengthOnly, static_cast<int>(p7.der.size()));
}

TEST_F(PKCS7SignedDataTest, LayoutMatchesTheSm2Format) {
  ASSERT_TRUE(s_identity);
  const Bytes raw = RawRs(0x80, 0x01);
  const Bytes cert = CertDer();
  const Encoded p7 = EncodeP7(raw, cert, {'x'}, FALSE);
  ASSERT_EQ(p7.nResult, ORLO_OK);

  BYTE *pbyIssuer = nullptr, *pbySerial = nullptr;
  int nIssuer = 0, nSerial = 0;
  ASSERT_EQ(
      engine::GetIssuerFromCert(cert.data(), static_cast<int>(cert.size()), &pbyIssuer, &nIssuer),
      ORLO_OK);
  ASSERT_EQ(engine::GetSerialNumberFromCert(cert.data(), static_cast<int>(cert.size()), &pbySerial,
                                            &nSerial),
            ORLO_OK);
  const Bytes issuerAndSerial = Tlv(
      0x30, Cat({Bytes(pbyIssuer, pbyIssuer + nIssuer), Bytes(pbySerial, pbySerial + nSerial)}));
  delete[] pbyIssuer;
  delete[] pbySerial;

  const Bytes signerInfo = Tlv(0x30, Cat({{0x02, 0x01, 0x01},
                                          issuerAndSerial,
                                          Algorithm("1.2.156.10197.1.401"),
                                          Algorithm("1.2.156.10197.1.301.1"),
                                          Tlv(0x04, EncodeQ1(raw).der)}));
  const Bytes signedData = Tlv(0x30, Cat({{0x02, 0x01, 0x01},
                                          Tlv(0x31, Algorithm("1.2.156.10197.1.401")),
                                          Tlv(0x30, OidDer("1.2.156.10197.6.1.4.2.1")),
                                          Tlv(0xA0, cert),
                                          Tlv(0x31, signerInfo)}));
  const Bytes expected = Tlv(0x30, Cat({OidDer("1.2.156.10197.6.1.4.2.2"), Tlv(0xA0, signedData)}));
  EXPECT_EQ(p7.der, expected);
}

TEST_F(PKCS7SignedDataTest, DetachedIsSevenBytesShorterAndParsesWithoutContent) {
  ASSERT_TRUE(s_identity);
  const Bytes content = {'a', 'b', 'c'};
  const Bytes raw = Sign(content);
  const Encoded attached = EncodeP7(raw, CertDer(), content, TRUE);
  const Encoded detached = EncodeP7(raw, CertDer(), content, FALSE);
  ASSERT_EQ(detached.nResult, ORLO_OK);
  EXPECT_EQ(attached.der.size(), detached.der.size() + 7);
  EXPECT_FALSE(Contains(detached.der, Bytes{0x04, 0x03, 'a', 'b', 'c'}));
  const Parsed parsed = Parse(detached.der);
  ASSERT_EQ(parsed.nResult, ORLO_OK);
  EXPECT_FALSE(parsed.content);
  EXPECT_EQ(parsed.raw, raw);
  EXPECT_EQ(parsed.cert, CertDer());
  EXPECT_TRUE(Verify(*parsed.raw, content));
}

TEST_F(PKCS7SignedDataTest, OpenSslReadsTheStructure) {
  ASSERT_TRUE(s_identity);
  const Bytes content(300, 'q');  // long enough for two-byte lengths
  for (BOOL bAttached : {TRUE, FALSE}) {
    const Encoded p7 = EncodeP7(Sign(content), CertDer(), content, bAttached);
    ASSERT_EQ(p7.nResult, ORLO_OK);
    const unsigned char* p = p7.der.data();
    PKCS7* pkcs7 = d2i_PKCS7(nullptr, &p, static_cast<long>(p7.der.size()));
    ASSERT_NE(pkcs7, nullptr) << bAttached;
    EXPECT_EQ(p, p7.der.data() + p7.der.size());
    unsigned char* pbyAgain = nullptr;
    const int n = i2d_PKCS7(pkcs7, &pbyAgain);
    ASSERT_GT(n, 0);
    EXPECT_EQ(Bytes(pbyAgain, pbyAgain + n), p7.der);
    OPENSSL_free(pbyAgain);
    PKCS7_free(pkcs7);
  }
}

TEST_F(PKCS7SignedDataTest, EmptyAttachedContent) {
  ASSERT_TRUE(s_identity);
  const Bytes raw = Sign({});
  BYTE byNothing = 0;
  BYTE* pbyOut = nullptr;
  int nSize = 0;
  const Bytes cert = CertDer();
  ASSERT_EQ(
      engine::Encode_PKCS7Signature(raw.data(), &pbyOut, cert.data(), static_cast<int>(cert.size()),
                                    &byNothing, 0, TRUE, 64, &nSize),
      ORLO_OK);
  const Bytes der(pbyOut, pbyOut + nSize);
  delete[] pbyOut;
  EXPECT_TRUE(Contains(der, Bytes{0xA0, 0x02, 0x04, 0x00}));
  const Parsed parsed = Parse(der);
  ASSERT_EQ(parsed.nResult, ORLO_OK);
  EXPECT_EQ(parsed.content, Bytes{});
}

TEST_F(PKCS7SignedDataTest, BuildRejectsBadInput) {
  ASSERT_TRUE(s_identity);
  const Bytes cert = CertDer();
  const Bytes raw = RawRs(1, 2);
  const Bytes content = {'a'};
  EXPECT_EQ(EncodeP7(Bytes(63, 1), cert, content, TRUE).nResult, ORLO_INVALID_PARAMETER);
  EXPECT_EQ(EncodeP7(Bytes(65, 1), cert, content, TRUE).nResult, ORLO_INVALID_PARAMETER);
  EXPECT_NE(EncodeP7(raw, Bytes{0x30, 0x00}, content, TRUE).nResult, ORLO_OK);
  BYTE* pbyOut = nullptr;
  int nSize = 0;
  EXPECT_EQ(
      engine::Encode_PKCS7Signature(raw.data(), &pbyOut, cert.data(), static_cast<int>(cert.size()),
                                    nullptr, 0, TRUE, 64, &nSize),
      ORLO_FAILED);
  EXPECT_EQ(pbyOut, nullptr);
  // Detached needs no content at all.
  EXPECT_EQ(
      engine::Encode_PKCS7Signature(raw.data(), &pbyOut, cert.data(), static_cast<int>(cert.size()),
                                    nullptr, 0, FALSE, 64, &nSize),
      ORLO_OK);
  delete[] pbyOut;
}

TEST(PKCS7SignedDataNodeTest, FailedBuildersLeaveTheCallersNode) {
  const Bytes issuer = {0x30, 0x00}, serial = {0x02, 0x01, 0x07};
  NodeEx* pIssuerAndSerial = nullptr;
  ASSERT_EQ(engine::ConstructNode_IssuerAndSerialNumber(serial.data(), &pIssuerAndSerial,
                                                        issuer.data(), 2, 3),
            ORLO_OK);
  std::unique_ptr<NodeEx> pOwned(pIssuerAndSerial);
  EXPECT_EQ(pOwned->byTag, 0x30);
  EXPECT_EQ(Bytes(pOwned->pValue.get(), pOwned->pValue.get() + pOwned->nDataLength),
            (Bytes{0x30, 0x00, 0x02, 0x01, 0x07}));
  NodeEx* pSignerInfo = nullptr;
  const Bytes raw = RawRs(1, 1);
  EXPECT_EQ(engine::ConstructNode_SignerInfo(raw.data(), &pSignerInfo, pOwned.get(), 63),
            ORLO_INVALID_PARAMETER);
  EXPECT_EQ(pSignerInfo, nullptr);
  EXPECT_EQ(pOwned->pParent, nullptr);

  NodeEx* pSignedData = nullptr;
  EXPECT_EQ(engine::ConstructNode_SignedData(serial.data(), pOwned.get(), nullptr, 0, TRUE, 3,
                                             &pSignedData),
            ORLO_FAILED);
  EXPECT_EQ(pSignedData, nullptr);
  EXPECT_EQ(pOwned->pParent, nullptr);

  ASSERT_EQ(engine::ConstructNode_SignerInfo(raw.data(), &pSignerInfo, pOwned.get(), 64), ORLO_OK);
  pOwned.release();
  std::unique_ptr<NodeEx> pSigner(pSignerInfo);
  EXPECT_EQ(pSigner->vetNodes.size(), 5u);
  EXPECT_EQ(pSigner->vetNodes[1].get(), pIssuerAndSerial);
}

// --- Parsing foreign shapes -----------------------------------------------

TEST_F(PKCS7SignedDataTest, TruncationAtEveryByteFailsCleanly) {
  ASSERT_TRUE(s_identity);
  const Bytes content = {'a', 'b', 'c'};
  for (BOOL bAttached : {TRUE, FALSE}) {
    const Bytes der = EncodeP7(Sign(content), CertDer(), content, bAttached).der;
    ASSERT_FALSE(der.empty());
    for (std::size_t n = 1; n < der.size(); ++n)
      EXPECT_NE(Parse(Bytes(der.begin(), der.begin() + n)).nResult, ORLO_OK) << n;
  }
}

TEST(PKCS7SignedDataParseTest, StandardOidTakesOctetsUnchanged) {
  Shape shape;
  shape.outerOid = "1.2.840.113549.1.7.2";
  const Bytes rsaLike(128, 0x5A);
  shape.signatureElements = Tlv(0x04, rsaLike);
  const Parsed parsed = Parse(Build(shape));
  ASSERT_EQ(parsed.nResult, ORLO_OK);
  EXPECT_EQ(parsed.raw, rsaLike);
  EXPECT_EQ(parsed.cert, shape.cert);
  EXPECT_FALSE(parsed.content);
}

TEST(PKCS7SignedDataParseTest, OctetStringUnderUnknownOidFails) {
  Shape shape;
  shape.outerOid = "1.2.840.113549.1.7.1";
  shape.signatureElements = Tlv(0x04, EncodeQ1(RawRs(1, 1)).der);
  EXPECT_EQ(Parse(Build(shape)).nResult, kInvalidPKCS7);
}

TEST(PKCS7SignedDataParseTest, BadSm2Q1InsideGivesDecodeFailure) {
  Shape shape;
  shape.signatureElements = Tlv(0x04, Bytes(70, 0x30));
  EXPECT_EQ(Parse(Build(shape)).nResult, ORLO_FAILED);
}

TEST(PKCS7SignedDataParseTest, AuthenticatedAttributesMoveTheSignature) {
  const Bytes raw = RawRs(0x9F, 0x00);
  Shape shape;
  shape.authAttributes = Tlv(
      0x30, Cat({OidDer("1.2.840.113549.1.9.3"), Tlv(0x31, OidDer("1.2.156.10197.6.1.4.2.1"))}));
  shape.signatureElements = Tlv(0x04, EncodeQ1(raw).der);
  const Parsed parsed = Parse(Build(shape));
  ASSERT_EQ(parsed.nResult, ORLO_OK);
  EXPECT_EQ(parsed.raw, raw);
}

TEST(PKCS7SignedDataParseTest, SignatureAsSequenceOrTwoIntegers) {
  const Bytes r(32, 0x81), s(28, 0x07);
  Shape sequence;
  sequence.signatureElements = Tlv(0x30, Cat({Tlv(0x02, Cat({Bytes(1, 0x00), r})), Tlv(0x02, s)}));
  Parsed parsed = Parse(Build(sequence));
  ASSERT_EQ(parsed.nResult, ORLO_OK);
  Bytes expected = r;
  expected.resize(36, 0x00);
  expected.insert(expected.end(), s.begin(), s.end());
  EXPECT_EQ(parsed.raw, expected);

  Shape integers;
  integers.signatureElements = Cat({Tlv(0x02, Cat({Bytes(1, 0x00), r})), Tlv(0x02, s)});
  parsed = Parse(Build(integers));
  ASSERT_EQ(parsed.nResult, ORLO_OK);
  EXPECT_EQ(parsed.raw, expected);

  Shape tooShort;
  tooShort.signatureElements = Tlv(0x30, Cat({Tlv(0x02, r), Tlv(0x02, Bytes(27, 0x07))}));
  EXPECT_EQ(Parse(Build(tooShort)).nResult, kInvalidPKCS7);
  Shape threeIntegers;
  threeIntegers.signatureElements = Cat({Tlv(0x02, r), Tlv(0x02, s), Tlv(0x02, s)});
  EXPECT_EQ(Parse(Build(threeIntegers)).nResult, kInvalidPKCS7);
  Shape bitString;
  bitString.signatureElements = Tlv(0x03, r);
  EXPECT_EQ(Parse(Build(bitString)).nResult, kInvalidPKCS7);
  Shape tooLong;
  tooLong.signatureElements = Tlv(0x30, Cat({Tlv(0x02, Bytes(33, 0x01)), Tlv(0x02, s)}));
  EXPECT_EQ(Parse(Build(tooLong)).nResult, kInvalidPKCS7);
}

TEST(PKCS7SignedDataParseTest, StructuralFaults) {
  Shape fourElements;
  fourElements.dropCertificates = true;
  fourElements.signatureElements = Tlv(0x04, EncodeQ1(RawRs(1, 1)).der);
  EXPECT_EQ(Parse(Build(fourElements)).nResult, kInvalidPKCS7);

  const Bytes oid = OidDer("1.2.156.10197.6.1.4.2.2");
  EXPECT_EQ(Parse(Tlv(0x30, oid)).nResult, kInvalidPKCS7);
  EXPECT_EQ(Parse(Tlv(0x30, Cat({oid, Tlv(0xA0, {})}))).nResult, kInvalidPKCS7);

  Shape good;
  good.signatureElements = Tlv(0x04, EncodeQ1(RawRs(1, 1)).der);
  Bytes der = Build(good);
  ASSERT_EQ(Parse(der).nResult, ORLO_OK);
  // signerInfos turned into a SEQUENCE.
  Bytes wrongSet = der;
  for (std::size_t i = der.size(); i-- > 0;) {
    if (der[i] == 0x31 && i + 2 < der.size() && der[i + 2] == 0x30 &&
        der[i + 1] + i + 2 == der.size()) {
      wrongSet[i] = 0x30;
      break;
    }
  }
  EXPECT_NE(wrongSet, der);
  EXPECT_EQ(Parse(wrongSet).nResult, kInvalidPKCS7);
  EXPECT_EQ(Parse(Bytes{0x04, 0x05, 1}).nResult, ORLO_FAILED);
}

TEST(PKCS7SignedDataParseTest, NullOutputsAreSkipped) {
  Shape shape;
  shape.signatureElements = Tlv(0x04, EncodeQ1(RawRs(3, 4)).der);
  const Bytes der = Build(shape);
  BYTE* pbyRaw = nullptr;
  int nRaw = 0;
  ASSERT_EQ(engine::ParsePKCS7Signature(nullptr, nullptr, der.data(), static_cast<int>(der.size()),
                                        &pbyRaw, &nRaw, nullptr, nullptr),
            ORLO_OK);
  EXPECT_EQ(Bytes(pbyRaw, pbyRaw + nRaw), RawRs(3, 4));
  delete[] pbyRaw;
  EXPECT_EQ(engine::ParsePKCS7Signature(nullptr, nullptr, nullptr, 10, nullptr, nullptr, nullptr,
                                        nullptr),
            ORLO_INVALID_PARAMETER);
}

}  // namespace
