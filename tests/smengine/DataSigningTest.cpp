#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "pki/TestPki.h"
#include "platform/fs/Files.h"
#include "resources/ResultCodes.h"
#include "smengine/common/Base64Utility.h"
#include "smengine/common/EngineResult.h"
#include "smengine/signing/DataSigning.h"

namespace {

using testpki::LeadingZero;
constexpr const char* kPassword = "sign-pass";
constexpr int kInvalidPKCS7 = static_cast<int>(SIGIL_E_INVALID_PKCS7);
constexpr int kBadSignature = static_cast<int>(NTE_BAD_SIGNATURE);

// Bytes travel as std::string here.
const BYTE* B(const std::string& s) { return reinterpret_cast<const BYTE*>(s.data()); }
int N(const std::string& s) { return static_cast<int>(s.size()); }
std::string Str(std::span<const std::uint8_t> b) { return std::string(b.begin(), b.end()); }
std::string ToBase64(const std::string& s) {
  return testpki::Base64Encode({reinterpret_cast<const std::uint8_t*>(s.data()), s.size()});
}
std::string FromBase64(const std::string& text) {
  unsigned char* p = nullptr;
  unsigned int n = 0;
  EXPECT_EQ(engine::Base64DecodeEx(&p, &n, text.data(), N(text)), ORLO_OK);
  std::string out(reinterpret_cast<char*>(p), n);
  delete[] p;
  return out;
}

UniqueFile StreamOf(const std::string& text) {
  UniqueFile f(std::tmpfile());
  std::fwrite(text.data(), 1, text.size(), f.get());
  std::rewind(f.get());
  return f;
}

struct Signer {
  testpki::Identity id;
  std::string softCert, cert, certBase64, x, y;
};
Signer MakeSigner(std::optional<unsigned> keyUsage, LeadingZero leadingZero = LeadingZero::None) {
  testpki::CertProfile profile{"C=CN,O=Sigil Test,CN=signer", "11", keyUsage};
  profile.leadingZero = leadingZero;
  Signer s{std::move(*testpki::MakeSm2Identity(profile, nullptr)), {}, {}, {}, {}, {}};
  s.softCert = testpki::MakeSm2SoftCertFile(s.id, kPassword);
  s.cert = Str(s.id.CertDer());
  s.certBase64 = ToBase64(s.cert);
  s.x = Str(s.id.PublicX());
  s.y = Str(s.id.PublicY());
  return s;
}

// The engine's record for an identity's key; d may be given without a
// zero top byte, as a shorter number.
struct KeyPair : engine::SM2_KEY_PAIR {
  explicit KeyPair(const Signer& s, bool bShortD = false) {
    const auto d = s.id.PrivateKeyBytes();
    const std::size_t skip = bShortD && d[0] == 0 ? 1 : 0;
    nPrivateKeySize = int(d.size() - skip);
    pbyPrivateKey = new BYTE[d.size()];
    std::memcpy(pbyPrivateKey, d.data() + skip, d.size() - skip);
    pbyPubKeyX = new BYTE[32], pbyPubKeyY = new BYTE[32], nPubKeyXSize = nPubKeyYSize = 32;
    std::memcpy(pbyPubKeyX, s.x.data(), 32);
    std::memcpy(pbyPubKeyY, s.y.data(), 32);
  }
  ~KeyPair() { engine::FreeSM2KeyPair(this); }
};

// A signing call's result and output; failures must leave the output alone.
struct Out {
  int code;
  std::string value;
};
template <class T, class Call>
Out Signing(Call call) {
  T* p = nullptr;
  int n = 0;
  const int code = call(&p, &n);
  EXPECT_EQ(code == ORLO_OK, p != nullptr);
  Out out{code, code == ORLO_OK ? std::string(reinterpret_cast<const char*>(p), n) : ""};
  delete[] p;
  return out;
}
Out Raw(const Signer& s, const std::string& m, const char* pw = kPassword) {
  UniqueFile f = StreamOf(s.softCert);
  return Signing<BYTE>([&](BYTE** p, int* n) {
    return engine::SignData_Raw_BySM2PFX(pw, B(m), N(m), f.get(), p, n);
  });
}
Out Pkcs1(const Signer& s, const std::string& m, const char* pw = kPassword) {
  UniqueFile f = StreamOf(s.softCert);
  return Signing<char>([&](char** p, int* n) {
    return engine::SignData_PKCS1_BySM2PFX(pw, f.get(), B(m), N(m), p, n);
  });
}
Out Pkcs7(const Signer& s, const std::string& m, bool attached, const char* pw = kPassword) {
  UniqueFile f = StreamOf(s.softCert);
  return Signing<char>([&](char** p, int* n) {
    return engine::SignData_PKCS7_BySM2PFX(pw, B(m), N(m), f.get(), attached, p, n);
  });
}

int VerifyRaw(const Signer& s, const std::string& m, const std::string& sig) {
  return engine::VerifySignature_Raw(B(s.x), B(s.y), B(m), N(m), B(sig), N(sig));
}
int VerifyDer(const Signer& s, const std::string& m, const std::string& sig) {
  return engine::VerifySignature_DERPKCS1_ByCert(B(s.cert), N(s.cert), B(m), N(m), B(sig), N(sig));
}
int VerifyPkcs1(const Signer& s, const std::string& m, const std::string& sig) {
  return engine::VerifySignature_PKCS1_ByCert(sig.data(), N(sig), B(m), N(m), s.certBase64.data(),
                                              N(s.certBase64));
}
int Attached(const std::string& p7) {
  return engine::VerifySignature_PKCS7Attached(p7.data(), N(p7));
}
int Detached(const std::string& m, const std::string& p7) {
  return engine::VerifySignature_PKCS7Detached(B(m), N(m), p7.data(), N(p7));
}

class DataSigning : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { s_ = new Signer(MakeSigner(testpki::kKuDigitalSignature)); }
  static void TearDownTestSuite() { delete s_; }
  static Signer* s_;
};
Signer* DataSigning::s_ = nullptr;

TEST_F(DataSigning, EveryFormRoundTripsThroughEveryVerifier) {
  const Signer& s = *s_;
  KeyPair pair(s);
  std::string big(1000, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = char(i * 131 + 7);
  for (const std::string& m : {std::string(), std::string("abc"), big}) {
    SCOPED_TRACE(m.size());
    const Out byPair = Signing<BYTE>(
        [&](BYTE** p, int* n) { return engine::SignData_Raw_ByKeyPair(B(m), N(m), &pair, p, n); });
    for (const Out& raw : {byPair, Raw(s, m)}) {
      ASSERT_EQ(raw.code, ORLO_OK);
      ASSERT_EQ(raw.value.size(), 64u);
      EXPECT_EQ(VerifyRaw(s, m, raw.value), ORLO_OK);
      EXPECT_EQ(VerifyPkcs1(s, m, ToBase64(raw.value)), ORLO_OK);  // 64 bytes count as raw
    }
    const Out pkcs1 = Pkcs1(s, m);
    ASSERT_EQ(pkcs1.code, ORLO_OK);
    EXPECT_EQ(VerifyPkcs1(s, m, pkcs1.value), ORLO_OK);
    const std::string der = FromBase64(pkcs1.value);
    EXPECT_TRUE(der.size() >= 66 && der.size() <= 72) << der.size();
    EXPECT_EQ(VerifyDer(s, m, der), ORLO_OK);

    const Out detached = Pkcs7(s, m, false);
    ASSERT_EQ(detached.code, ORLO_OK);
    EXPECT_EQ(Detached(m, detached.value), ORLO_OK);
    if (m.empty()) continue;  // an attached signature needs content
    const std::string p7 = FromBase64(Pkcs7(s, m, true).value);
    EXPECT_EQ(Attached(ToBase64(p7)), ORLO_OK);
    BYTE *pbyContent = nullptr, *pbyCert = nullptr;
    int nContent = 0, nCert = 0;
    ASSERT_EQ(engine::VerifySignature_DERPKCS7Attached(B(p7), N(p7), &pbyContent, &nContent,
                                                       &pbyCert, &nCert),
              ORLO_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(pbyContent), nContent), m);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(pbyCert), nCert), s.cert);
    delete[] pbyContent;
    delete[] pbyCert;
  }
}

TEST_F(DataSigning, ChangedSignatureContentOrSignerDoesNotVerify) {
  const Signer& s = *s_;
  const std::string m = "transfer 100 to account 42";
  const std::string raw = Raw(s, m).value, der = FromBase64(Pkcs1(s, m).value);
  for (std::size_t i = 0; i < raw.size(); ++i) {
    std::string bad = raw;
    bad[i] ^= 0x01;
    EXPECT_EQ(VerifyRaw(s, m, bad), ORLO_FAILED) << i;
  }
  for (std::size_t i = 0; i < m.size(); ++i) {
    std::string bad = m;
    bad[i] ^= 0x01;
    EXPECT_EQ(VerifyRaw(s, bad, raw), ORLO_FAILED) << i;
  }
  for (std::size_t i = 0; i < der.size(); ++i) {  // no longer parses or no longer verifies
    std::string bad = der;
    bad[i] ^= 0x04;
    EXPECT_NE(VerifyDer(s, m, bad), ORLO_OK) << i;
  }
  EXPECT_EQ(VerifyDer(MakeSigner(testpki::kKuDigitalSignature), m, raw), ORLO_FAILED);

  std::string p7 = FromBase64(Pkcs7(s, m, true).value);
  p7[p7.find(m) + 9] ^= 0x01;  // the content inside
  EXPECT_EQ(Attached(ToBase64(p7)), ORLO_FAILED);
  EXPECT_EQ(Detached("transfer 900 to account 42", Pkcs7(s, m, false).value), ORLO_FAILED);
}

// Whatever follows the SignedData would travel with a valid signature
// unsigned; every PKCS#7 verifier refuses it as a malformed signature.
TEST_F(DataSigning, BytesAfterTheSignatureAreRefusedByEveryPkcs7Verifier) {
  const Signer& s = *s_;
  const std::string m = "pay 100";
  const std::string attached = FromBase64(Pkcs7(s, m, true).value);
  const std::string detached = FromBase64(Pkcs7(s, m, false).value);
  const int kInvalid = int(SIGIL_E_INVALID_PKCS7);
  const auto verifiers = [&](const std::string& withAttached, const std::string& withDetached) {
    UniqueFile file = StreamOf(m);
    return std::vector<int>{
        Attached(ToBase64(withAttached)),
        engine::VerifySignature_DERPKCS7Attached(B(withAttached), N(withAttached), nullptr,
                                                 nullptr, nullptr, nullptr),
        Detached(m, ToBase64(withDetached)),
        engine::VerifySignature_DERPKCS7Detached(B(m), N(m), B(withDetached), N(withDetached),
                                                 nullptr, nullptr),
        engine::SM2_VerifyFileSignature_PKCS7Detached(ToBase64(withDetached).data(),
                                                      N(ToBase64(withDetached)), file.get())};
  };
  EXPECT_EQ(verifiers(attached, detached), std::vector<int>(5, ORLO_OK));
  for (const std::string& tail :
       {std::string(1, '\0'), std::string(2, '\0'), std::string("\x05\x00"), attached}) {
    SCOPED_TRACE(tail.size());
    EXPECT_EQ(verifiers(attached + tail, detached + tail), std::vector<int>(5, kInvalid));
  }
}

TEST_F(DataSigning, WrongSizesAndWrongKindsAreRefused) {
  const Signer& s = *s_;
  const std::string raw = Raw(s, "abc").value;
  EXPECT_EQ(VerifyRaw(s, "abc", raw.substr(0, 63)), ORLO_INVALID_PARAMETER);
  EXPECT_EQ(VerifyRaw(s, "abc", raw + '\0'), ORLO_INVALID_PARAMETER);
  for (std::size_t n : {1u, 63u, 65u, 73u, 200u}) {  // neither raw (64) nor DER (66 to 72)
    EXPECT_EQ(VerifyDer(s, "abc", std::string(n, '\x30')), kBadSignature) << n;
    EXPECT_EQ(VerifyPkcs1(s, "abc", ToBase64(std::string(n, '\x30'))), kBadSignature) << n;
  }
  EXPECT_EQ(Attached(Pkcs7(s, "abc", false).value), kInvalidPKCS7);
  EXPECT_EQ(Detached("abc", Pkcs7(s, "abc", true).value), kInvalidPKCS7);
  EXPECT_EQ(VerifyPkcs1(s, "abc", ""), static_cast<int>(SIGIL_E_BASE64_DECODE));
  EXPECT_EQ(engine::VerifySignature_PKCS7Attached(nullptr, 10), ORLO_INVALID_PARAMETER);
}

TEST_F(DataSigning, SoftCertificatesThatCannotSign) {
  const int kDecryptFailed = static_cast<int>(SIGIL_E_DECRYPT_SM2_PFX);
  EXPECT_EQ(Raw(*s_, "abc", "wrong").code, kDecryptFailed);
  EXPECT_EQ(Pkcs1(*s_, "abc", "").code, kDecryptFailed);
  EXPECT_EQ(Pkcs7(*s_, "abc", true, "sign-pas").code, kDecryptFailed);

  // The usage is checked before the password is tried.
  const int kBadUsage = static_cast<int>(SIGIL_E_INVALID_CERT_USAGE);
  for (const Signer& s : {MakeSigner(testpki::kKuKeyEncipherment), MakeSigner(std::nullopt)}) {
    for (const char* pw : {kPassword, "wrong"}) {
      EXPECT_EQ(Raw(s, "abc", pw).code, kBadUsage);
      EXPECT_EQ(Pkcs7(s, "abc", false, pw).code, kBadUsage);
    }
  }
  Signer empty = MakeSigner(testpki::kKuDigitalSignature);
  empty.softCert.clear();
  EXPECT_EQ(Raw(empty, "abc").code, static_cast<int>(SIGIL_E_BASE64_DECODE));

  BYTE* p = nullptr;
  char* psz = nullptr;
  int n = 0;
  EXPECT_EQ(engine::SignData_Raw_BySM2PFX(kPassword, B("abc"), 3, nullptr, &p, &n),
            ORLO_INVALID_PARAMETER);
  EXPECT_EQ(engine::SignData_PKCS1_BySM2PFX(kPassword, nullptr, B("abc"), 3, &psz, &n),
            ORLO_INVALID_PARAMETER);
  EXPECT_EQ(engine::SignData_PKCS7_BySM2PFX(kPassword, B("abc"), 3, nullptr, TRUE, &psz, &n),
            ORLO_INVALID_PARAMETER);
}

TEST(DataSigningKeys, KeysWithLeadingZeroBytesSignAndVerifyLikeAnyOther) {
  const std::string m = "leading zeros are ordinary";
  for (LeadingZero which : {LeadingZero::PublicX, LeadingZero::PublicY, LeadingZero::PrivateKey}) {
    SCOPED_TRACE(int(which));
    const Signer s = MakeSigner(testpki::kKuDigitalSignature, which);
    const Out raw = Raw(s, m);
    ASSERT_EQ(raw.code, ORLO_OK);
    EXPECT_EQ(VerifyRaw(s, m, raw.value), ORLO_OK);
    EXPECT_EQ(Attached(Pkcs7(s, m, true).value), ORLO_OK);
    KeyPair pair(s, true);
    const Out byPair = Signing<BYTE>(
        [&](BYTE** p, int* n) { return engine::SignData_Raw_ByKeyPair(B(m), N(m), &pair, p, n); });
    EXPECT_EQ(VerifyDer(s, m, byPair.value), ORLO_OK);
  }
}

}  // namespace
