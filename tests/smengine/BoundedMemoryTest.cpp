// What hostile bytes cost the engine: each case runs in a child process whose
// peak resident memory is measured, and what legitimate structures cost next
// to the node budget.
#include <gtest/gtest.h>
#include <openssl/cms.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "resources/ResultCodes.h"
#include "smengine/ChildMemory.h"
#include "smengine/EnvelopeTestSupport.h"
#include "smengine/asn1/ASN1EngineEx.h"
#include "smengine/signing/DataSigning.h"
#include "support/TempEnvironment.h"

namespace {

using namespace envelopetest;
using asn1test::Hex;
using asn1test::Tlv;
using childmemory::ExpectBounded;

constexpr long kMiB = 1024;  // in KiB

Bytes Repeated(std::initializer_list<BYTE> unit, std::size_t nTimes) {
  Bytes out;
  out.reserve(unit.size() * nTimes);
  for (std::size_t i = 0; i < nTimes; ++i) out.insert(out.end(), unit);
  return out;
}

struct StackFree {
  void operator()(STACK_OF(X509) * s) const { sk_X509_free(s); }
};

std::size_t CountNodes(const NodeEx& node) {
  std::size_t n = 1;
  for (const auto& child : node.vetNodes) n += CountNodes(*child);
  return n;
}

// What the second engine makes of DER: its node count, or 0 when it fails.
std::size_t NodesOf(const Bytes& der) {
  NodeEx* pRoot = nullptr;
  if (DecodeASN1MemoryEx(der.data(), static_cast<int>(der.size()), &pRoot) != ORLO_OK) return 0;
  std::unique_ptr<NodeEx> root(pRoot);
  return CountNodes(*root);
}

TEST(BoundedMemory, AFullNodeBudgetCostsUnderTenMebibytes) {
  const Bytes der = Tlv(0x30, Repeated({0x05, 0x00}, MAX_ASN1EX_NODE_COUNT - 1));
  ExpectBounded("full_budget", 10 * kMiB, ORLO_OK, [&] {
    NodeEx* pRoot = nullptr;
    const int nResult = DecodeASN1MemoryEx(der.data(), static_cast<int>(der.size()), &pRoot);
    delete pRoot;
    return nResult;
  });
}

TEST(BoundedMemory, EightMebibytesOfTinyElementsInASignatureFailAtTheBudget) {
  // ContentInfo { SM2 signedData, [0] { SEQUENCE { NULL x 4 Mi } } }: four
  // million nodes were 580 MiB before the budget.
  const Bytes pkcs7 =
      Tlv(0x30, [] {
        Bytes body = Tlv(0x06, Hex("2A811CCF550601040202"));
        const Bytes content = Tlv(0xA0, Tlv(0x30, Repeated({0x05, 0x00}, std::size_t{4} << 20)));
        body.insert(body.end(), content.begin(), content.end());
        return body;
      }());
  ASSERT_GT(pkcs7.size(), std::size_t{8} << 20);
  const auto outcome = ExpectBounded("tiny_pkcs7", 16 * kMiB, ORLO_FAILED, [&] {
    return engine::VerifySignature_DERPKCS7Attached(pkcs7.data(), static_cast<int>(pkcs7.size()),
                                                    nullptr, nullptr, nullptr, nullptr);
  });
  EXPECT_LT(outcome.seconds, 5.0);
}

class BoundedEnvelope : public WithRecipient {};

TEST_F(BoundedEnvelope, AMessageWithItsContentInMillionsOfPiecesOpens) {
  const Bytes plain = Pattern((std::size_t{6} << 20) - 1);
  Bytes sealed;
  ASSERT_EQ(ORLO_OK, SealData(plain, R().cert, &sealed));
  EnvelopeParts parts;
  ASSERT_EQ(ORLO_OK, DecodeParts(sealed, &parts));
  // 6 MiB of ciphertext in two-byte pieces: a 12 MiB envelope of three
  // million pieces.
  const Bytes envelope = EnvelopeAround(parts, InTinyPieces(parts.content, 2));
  ASSERT_GT(envelope.size(), std::size_t{12} << 20);
  const UniqueFile pfx = SoftCertFile(R());
  const auto outcome = ExpectBounded("pieces_message", 32 * kMiB, ORLO_OK, [&] {
    unsigned char* pbyPlain = nullptr;
    int nPlain = 0;
    const int nResult = engine::DecryptDerCMSEnvelopeData(
        pfx.get(), kPassword, envelope.data(), static_cast<int>(envelope.size()), &pbyPlain,
        &nPlain);
    const std::unique_ptr<unsigned char[]> owned(pbyPlain);
    if (nResult != ORLO_OK) return nResult;
    const bool same = static_cast<std::size_t>(nPlain) == plain.size() &&
                      std::equal(plain.begin(), plain.end(), pbyPlain);
    return same ? ORLO_OK : -2;
  });
  EXPECT_LT(outcome.seconds, 10.0);
}

TEST_F(BoundedEnvelope, HostileMessagesFailInBoundedMemory) {
  Bytes sealed;
  ASSERT_EQ(ORLO_OK, SealData(Pattern(100), R().cert, &sealed));
  EnvelopeParts parts;
  ASSERT_EQ(ORLO_OK, DecodeParts(sealed, &parts));
  const Bytes content = Tlv(0x80, parts.content);
  EnvelopeParts hugeKey = parts;
  hugeKey.encryptedKey = Bytes(std::size_t{12} << 20, 0x42);  // a "session key" of 12 MiB
  // KeyTransRecipientInfo { 2, [0] 01, { 1.2 }, "" }: 15 bytes, six nodes.
  const Bytes tinyRecipient = Hex("300D 020102 800101 3003 06012A 0400");
  Bytes recipients;
  for (int i = 0; i < 20000; ++i) recipients.insert(recipients.end(), tinyRecipient.begin(),
                                                    tinyRecipient.end());
  struct Case {
    const char* name;
    Bytes der;
  };
  const Case cases[] = {
      {"tiny_elements", Tlv(0x30, Repeated({0x05, 0x00}, std::size_t{6} << 20))},
      {"deep_indefinite", Repeated({0x30, 0x80}, std::size_t{6} << 20)},
      {"huge_length", [] {
         Bytes der = Hex("30 88 7FFFFFFFFFFFFFFF");
         der.resize(std::size_t{12} << 20);
         return der;
       }()},
      {"huge_key", EnvelopeAround(hugeKey, content)},
      {"recipients", EnvelopeAround(parts, content, recipients)},
  };
  for (const Case& c : cases) {
    const UniqueFile pfx = SoftCertFile(R());
    const auto outcome = ExpectBounded(c.name, 16 * kMiB, ORLO_FAILED, [&] {
      unsigned char* pbyPlain = nullptr;
      int nPlain = 0;
      const int nResult = engine::DecryptDerCMSEnvelopeData(
          pfx.get(), kPassword, c.der.data(), static_cast<int>(c.der.size()), &pbyPlain, &nPlain);
      delete[] pbyPlain;
      return nResult == ORLO_OK ? ORLO_OK : ORLO_FAILED;
    });
    EXPECT_LT(outcome.seconds, 5.0) << c.name;
  }
}

// A soft certificate is a few kilobytes of text; a 1 GiB file named as one
// was read whole (and 2 GiB of memory taken) before anything looked at it.
TEST_F(BoundedEnvelope, HugeSoftCertificateFilesAreRefusedUnread) {
  const auto path = testsupport::WriteTempFile("huge.sm2", testpki::MakeSm2SoftCertFile(
                                                               R().id, kPassword));
  ASSERT_EQ(0, ::truncate(path.c_str(), off_t{1} << 30));
  Bytes sealed;
  ASSERT_EQ(ORLO_OK, SealData(Pattern(100), R().cert, &sealed));
  const UniqueFile sealedFile = TempFileWith(sealed);
  const Bytes data = Pattern(1000);
  const UniqueFile dataFile = TempFileWith(data);
  const std::pair<const char*, std::function<int(FILE*)>> routes[] = {
      {"open_message",
       [&](FILE* pfx) {
         unsigned char* p = nullptr;
         int n = 0;
         return engine::DecryptDerCMSEnvelopeData(pfx, kPassword, sealed.data(),
                                                  static_cast<int>(sealed.size()), &p, &n);
       }},
      {"open_file",
       [&](FILE* pfx) {
         UniqueFile out(std::tmpfile());
         return engine::DecryptDerCMSEnvelopeFile(kPassword, out.get(), sealedFile.get(), pfx);
       }},
      {"sign_message",
       [&](FILE* pfx) {
         char* p = nullptr;
         int n = 0;
         return engine::SignData_PKCS7_BySM2PFX(kPassword, data.data(), static_cast<int>(data.size()),
                                                pfx, FALSE, &p, &n);
       }},
      {"sign_file",
       [&](FILE* pfx) {
         char* p = nullptr;
         int n = 0;
         return engine::SignFile_PKCS7Detached_BySM2PFX(kPassword, &p, dataFile.get(), pfx, &n);
       }},
  };
  for (const auto& [name, route] : routes) {
    UniqueFile pfx(std::fopen(path.c_str(), "rb"));
    ASSERT_TRUE(pfx);
    const auto outcome = ExpectBounded(name, 4 * kMiB, int(SIGIL_E_FILE_TOO_LARGE),
                                       [&] { return route(pfx.get()); });
    EXPECT_LT(outcome.seconds, 0.5) << name;
  }

  // At the limit a file is read; one byte more and it is not.
  for (const off_t nSize : {off_t{engine::SM2_SOFT_CERT_MAX_FILE_SIZE},
                            off_t{engine::SM2_SOFT_CERT_MAX_FILE_SIZE} + 1}) {
    ASSERT_EQ(0, ::truncate(path.c_str(), nSize));
    UniqueFile pfx(std::fopen(path.c_str(), "rb"));
    unsigned char* p = nullptr;
    int n = 0;
    const int nResult = engine::DecryptDerCMSEnvelopeData(pfx.get(), kPassword, sealed.data(),
                                                          static_cast<int>(sealed.size()), &p, &n);
    delete[] p;
    if (nSize > engine::SM2_SOFT_CERT_MAX_FILE_SIZE)
      EXPECT_EQ(nResult, int(SIGIL_E_FILE_TOO_LARGE));
    else
      EXPECT_NE(nResult, int(SIGIL_E_FILE_TOO_LARGE));
  }
}

// Structures of the sizes we meet decode far below the budget.
TEST(BoundedMemory, SignaturesWithChainsAndEnvelopesWithManyRecipientsStillDecode) {
  testpki::CertProfile rootProfile{"C=CN,O=Sigil Test,CN=Budget Root", "01",
                                   testpki::kKuKeyCertSign};
  rootProfile.isCa = true;
  auto root = testpki::MakeSm2Identity(rootProfile, nullptr);
  ASSERT_TRUE(root);
  std::vector<testpki::Identity> chain;
  for (int i = 0; i < 10; ++i) {
    testpki::CertProfile profile{"C=CN,ST=Beijing,L=Haidian,O=Sigil Test,OU=Budget,CN=Budget " +
                                     std::to_string(i),
                                 "10" + std::to_string(i), testpki::kKuDigitalSignature};
    auto id = testpki::MakeSm2Identity(profile, &*root);
    ASSERT_TRUE(id);
    chain.push_back(std::move(*id));
  }
  // A SignedData carrying all eleven certificates.
  std::unique_ptr<PKCS7, decltype(&PKCS7_free)> p7(PKCS7_new(), &PKCS7_free);
  ASSERT_EQ(1, PKCS7_set_type(p7.get(), NID_pkcs7_signed));
  ASSERT_EQ(1, PKCS7_content_new(p7.get(), NID_pkcs7_data));
  ASSERT_EQ(1, PKCS7_add_certificate(p7.get(), root->cert()));
  for (const auto& id : chain) ASSERT_EQ(1, PKCS7_add_certificate(p7.get(), id.cert()));
  unsigned char* der = nullptr;
  const int nDer = i2d_PKCS7(p7.get(), &der);
  ASSERT_GT(nDer, 0);
  const Bytes signedData(der, der + nDer);
  OPENSSL_free(der);
  const std::size_t nSignedNodes = NodesOf(signedData);
  EXPECT_GT(nSignedNodes, 500u);
  EXPECT_LT(nSignedNodes * 20, std::size_t{MAX_ASN1EX_NODE_COUNT});
  RecordProperty("nodes_signed_data_11_certificates", std::to_string(nSignedNodes));

  // An envelope for a thousand recipients named by issuer and serial number.
  // The stack only points at the certificate; the identity owns it.
  std::unique_ptr<STACK_OF(X509), StackFree> recipients(sk_X509_new_null());
  auto rsa = testpki::MakeRsaIdentity({"C=CN,O=Sigil Test,OU=Budget,CN=Budget RSA", "2001",
                                       testpki::kKuKeyEncipherment},
                                      nullptr, 1024);
  ASSERT_TRUE(rsa);
  for (int i = 0; i < 1000; ++i) sk_X509_push(recipients.get(), rsa->cert());
  const Bytes plain = Pattern(64);
  std::unique_ptr<BIO, decltype(&BIO_free)> in(BIO_new_mem_buf(plain.data(), int(plain.size())),
                                               &BIO_free);
  std::unique_ptr<CMS_ContentInfo, decltype(&CMS_ContentInfo_free)> cms(
      CMS_encrypt(recipients.get(), in.get(), EVP_des_ede3_cbc(), CMS_BINARY), &CMS_ContentInfo_free);
  ASSERT_TRUE(cms);
  der = nullptr;
  const int nEnvelope = i2d_CMS_ContentInfo(cms.get(), &der);
  ASSERT_GT(nEnvelope, 0);
  const Bytes envelope(der, der + nEnvelope);
  OPENSSL_free(der);
  const std::size_t nEnvelopeNodes = NodesOf(envelope);
  EXPECT_GT(nEnvelopeNodes, 20000u);
  EXPECT_LT(nEnvelopeNodes, std::size_t{MAX_ASN1EX_NODE_COUNT});
  RecordProperty("nodes_envelope_1000_recipients", std::to_string(nEnvelopeNodes));
}

}  // namespace
