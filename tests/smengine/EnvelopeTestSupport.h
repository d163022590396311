// Recipients, soft-certificate files and call wrappers shared by the
// envelope tests.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

#include "pki/TestPki.h"
#include "platform/fs/Files.h"
#include "smengine/Asn1TestBytes.h"
#include "smengine/asn1/CMSEnvelopeOperations.h"
#include "smengine/cipher/DataEncryption.h"
#include "smengine/common/EngineResult.h"
#include "smengine/envelope/DataEnvelope.h"

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

// An envelope made by hand from its parts around any encryptedContent TLV
// (a primitive [0] as we write it, or pieces), with our OIDs; more
// recipients follow ours when given.
inline Bytes EnvelopeAround(const EnvelopeParts& p, const Bytes& contentTlv,
                            const Bytes& moreRecipients = {}) {
  const auto cat = [](std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
  };
  using asn1test::Hex;
  using asn1test::Tlv;
  const Bytes keyTrans = Tlv(
      0x30, cat({Tlv(0x02, {2}), Tlv(0x80, p.skid),
                 Tlv(0x30, cat({Tlv(0x06, Hex("2A811CCF55 01822D03")), Hex("0500")})),
                 Tlv(0x04, p.encryptedKey)}));
  const Bytes contentInfo =
      Tlv(0x30, cat({Tlv(0x06, Hex("2A811CCF55 0601040201")),
                     Tlv(0x30, cat({Tlv(0x06, Hex("2A811CCF55 0168")), Tlv(0x04, p.iv)})),
                     contentTlv}));
  return Tlv(0x30,
             cat({Tlv(0x06, Hex("2A811CCF55 0601040203")),
                  Tlv(0xA0, Tlv(0x30, cat({Tlv(0x02, {2}), Tlv(0x31, cat({keyTrans, moreRecipients})),
                                           contentInfo})))}));
}

// The content as indefinite [0] { 24 80 { 04 n ... } 00 00 } in pieces of
// nPiece bytes: what a streaming writer with a tiny buffer would leave.
inline Bytes InTinyPieces(const Bytes& content, std::size_t nPiece) {
  Bytes out = {0xA0, 0x80, 0x24, 0x80};
  out.reserve(content.size() / nPiece * (nPiece + 2) + 16);
  for (std::size_t i = 0; i < content.size(); i += nPiece) {
    const std::size_t n = std::min(nPiece, content.size() - i);
    out.push_back(0x04);
    out.push_back(static_cast<BYTE>(n));
    out.insert(out.end(), content.begin() + static_cast<std::ptrdiff_t>(i),
               content.begin() + static_cast<std::ptrdiff_t>(i + n));
  }
  out.insert(out.end(), {0x00, 0x00, 0x00, 0x00});
  return out;
}

}  // namespace envelopetest
