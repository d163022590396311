// Recipients, soft-certificate files and call wrappers shared by the
// envelope tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "pki/TestPki.h"
#include "platform/Files.h"
#include "smengine/Asn1TestBytes.h"
#include "smengine/CMSEnvelopeOperations.h"
#include "smengine/DataEncryption.h"
#include "smengine/EngineResult.h"

namespace envelopetest {

using asn1test::Bytes;
inline constexpr const char* kPassword = "123456";

struct Recipient {
  testpki::Identity id;
  Bytes cert;  // DER
};

inline Recipient MakeRecipient(const std::string& name,
                               unsigned keyUsage = testpki::kKuKeyEncipherment |
                                                   testpki::kKuDataEncipherment,
                               testpki::LeadingZero leadingZero = testpki::LeadingZero::None) {
  testpki::CertProfile profile{"C=CN,O=Sigil Test,CN=" + name, "2A01", keyUsage};
  profile.leadingZero = leadingZero;
  auto id = testpki::MakeSm2Identity(profile, nullptr);
  EXPECT_TRUE(id.has_value());
  Bytes cert = id->CertDer();
  return {std::move(*id), std::move(cert)};
}

// A temporary file holding the bytes, positioned at its start.
inline UniqueFile TempFileWith(const void* pData, std::size_t nSize) {
  UniqueFile f(std::tmpfile());
  EXPECT_TRUE(f);
  if (nSize > 0) {
    EXPECT_EQ(nSize, std::fwrite(pData, 1, nSize, f.get()));
  }
  std::rewind(f.get());
  return f;
}
inline UniqueFile TempFileWith(const Bytes& bytes) {
  return TempFileWith(bytes.data(), bytes.size());
}

inline UniqueFile SoftCertFile(const Recipient& r) {
  const std::string text = testpki::MakeSm2SoftCertFile(r.id, kPassword);
  return TempFileWith(text.data(), text.size());
}

inline Bytes ReadAll(FILE* f) {
  std::fflush(f);
  std::rewind(f);
  Bytes out;
  unsigned char block[65536];
  for (std::size_t n; (n = std::fread(block, 1, sizeof block, f)) > 0;)
    out.insert(out.end(), block, block + n);
  return out;
}

inline Bytes Pattern(std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<BYTE>(i * 131 + (i >> 12));
  return b;
}

// One recipient for a whole suite: SM2 key generation is cheap, but not free.
class WithRecipient : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { recipient_ = new Recipient(MakeRecipient("recipient")); }
  static void TearDownTestSuite() { delete recipient_; }
  static const Recipient& R() { return *recipient_; }
  inline static Recipient* recipient_ = nullptr;
};

inline int SealData(const Bytes& plain, const Bytes& cert, Bytes* pEnvelope) {
  unsigned char* p = nullptr;
  int n = 0;
  const int r = engine::EncryptDataToDerCMSEnvelope(plain.data(), int(plain.size()), cert.data(),
                                                    int(cert.size()), &p, &n);
  std::unique_ptr<unsigned char[]> owned(p);
  EXPECT_EQ(r == ORLO_OK, p != nullptr);
  if (r == ORLO_OK) pEnvelope->assign(p, p + n);
  return r;
}

inline int OpenData(const Recipient& r, const Bytes& envelope, Bytes* pPlain,
                    const char* pszPassword = kPassword) {
  UniqueFile pfx = SoftCertFile(r);
  unsigned char* p = nullptr;
  int n = -7;
  const int result = engine::DecryptDerCMSEnvelopeData(pfx.get(), pszPassword, envelope.data(),
                                                       int(envelope.size()), &p, &n);
  std::unique_ptr<unsigned char[]> owned(p);
  if (result != ORLO_OK) {
    EXPECT_TRUE(p == nullptr && n == -7);  // outputs only on success
    return result;
  }
  pPlain->assign(p, p + n);
  return result;
}

// The parts of an envelope a test may want to rebuild or tamper with.
struct EnvelopeParts {
  Bytes skid, encryptedKey, iv, content;
};
inline int DecodeParts(const Bytes& envelope, EnvelopeParts* pParts) {
  BYTE *skid = nullptr, *key = nullptr, *iv = nullptr, *content = nullptr;
  int nSkid = 0, nKey = 0, nIv = 0, nContent = 0;
  const int r = engine::Decode_CMSEnvelopeData(
      envelope.data(), int(envelope.size()),
      {&skid, &nSkid, &key, &nKey, nullptr, nullptr, &iv, &nIv}, &content, &nContent);
  std::unique_ptr<BYTE[]> o1(skid), o2(key), o3(iv), o4(content);
  if (r == ORLO_OK)
    *pParts = {Bytes(skid, skid + nSkid), Bytes(key, key + nKey), Bytes(iv, iv + nIv),
               Bytes(content, content + nContent)};
  return r;
}

}  // namespace envelopetest
