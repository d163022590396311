#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

#include "resources/ResultCodes.h"
#include "smengine/EnvelopeTestSupport.h"
#include "smengine/envelope/RSADataEncryption.h"

namespace {

using namespace envelopetest;
using asn1test::Hex;
using asn1test::Tlv;

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

int SealFile(const Bytes& plain, const Bytes& cert, Bytes* pEnvelope) {
  UniqueFile in = TempFileWith(plain), out(std::tmpfile());
  const int r =
      engine::EncryptFileToDerCMSEnvelope(out.get(), cert.data(), int(cert.size()), in.get());
  *pEnvelope = ReadAll(out.get());
  return r;
}

int OpenFile(const Recipient& r, const Bytes& envelope, Bytes* pPlain,
             const char* pszPassword = kPassword) {
  UniqueFile in = TempFileWith(envelope), out(std::tmpfile()), pfx = SoftCertFile(r);
  const int result = engine::DecryptDerCMSEnvelopeFile(pszPassword, out.get(), in.get(), pfx.get());
  *pPlain = ReadAll(out.get());
  return result;
}

// The envelope rebuilt by hand around any encryptedContent TLV and OIDs.
Bytes Rebuild(const EnvelopeParts& p, const Bytes& contentTlv,
              const Bytes& keyOid = Hex("2A811CCF55 01822D03"),
              const Bytes& contentOid = Hex("2A811CCF55 0168")) {
  const Bytes keyTrans =
      Tlv(0x30, Cat({Tlv(0x02, {2}), Tlv(0x80, p.skid),
                     Tlv(0x30, Cat({Tlv(0x06, keyOid), Hex("0500")})), Tlv(0x04, p.encryptedKey)}));
  const Bytes contentInfo =
      Tlv(0x30, Cat({Tlv(0x06, Hex("2A811CCF55 0601040201")),
                     Tlv(0x30, Cat({Tlv(0x06, contentOid), Tlv(0x04, p.iv)})), contentTlv}));
  return Tlv(0x30,
             Cat({Tlv(0x06, Hex("2A811CCF55 0601040203")),
                  Tlv(0xA0, Tlv(0x30, Cat({Tlv(0x02, {2}), Tlv(0x31, keyTrans), contentInfo})))}));
}

class EnvelopeFile : public WithRecipient {
 protected:
  // What the streaming decryption gets from the upper layer, taken from an
  // envelope file with the recipient's private key.
  struct Opened {
    unsigned char sessionKey[16];
    Bytes iv;
    std::unique_ptr<NodeEx> content;
  };
  static void OpenByHand(FILE* fpEnvelope, Opened* o) {
    BYTE *key = nullptr, *iv = nullptr, *c1c2c3 = nullptr, *plain = nullptr;
    int nKey = 0, nIv = 0, nC = 0, nPlain = 0;
    NodeEx* pNode = nullptr;
    ASSERT_EQ(ORLO_OK, engine::Decode_CMSEnvelopeFile(
                           fpEnvelope, {nullptr, nullptr, &key, &nKey, nullptr, nullptr, &iv, &nIv},
                           &pNode));
    o->content.reset(pNode);
    std::unique_ptr<BYTE[]> o1(key), o2(iv);
    o->iv.assign(iv, iv + nIv);
    ASSERT_EQ(ORLO_OK, engine::Decode_SM2Cipher(key, nKey, &c1c2c3, &nC));
    std::unique_ptr<BYTE[]> o3(c1c2c3);
    const auto d = R().id.PrivateKeyBytes();
    ASSERT_EQ(ORLO_OK, engine::SM2_Decrypt(d.data(), int(d.size()), c1c2c3, nC, &plain, &nPlain));
    std::unique_ptr<BYTE[]> o4(plain);
    ASSERT_EQ(16, nPlain);
    std::memcpy(o->sessionKey, plain, 16);
  }
};

TEST_F(EnvelopeFile, RoundTripsAndIsTheSameDerAsTheDataForm) {
  for (std::size_t n : {0u, 1u, 16u, 16383u, 16384u, 16385u, (3u << 20) + 7}) {
    const Bytes plain = Pattern(n);
    Bytes envelope, back;
    ASSERT_EQ(ORLO_OK, SealFile(plain, R().cert, &envelope)) << n;
    EnvelopeParts parts;
    ASSERT_EQ(ORLO_OK, DecodeParts(envelope, &parts)) << n;  // complete DER, nothing after
    EXPECT_EQ((n / 16 + 1) * 16, parts.content.size());
    EXPECT_EQ(envelope, Rebuild(parts, Tlv(0x80, parts.content)));
    ASSERT_EQ(ORLO_OK, OpenFile(R(), envelope, &back)) << n;
    EXPECT_EQ(plain, back);
    ASSERT_EQ(ORLO_OK, OpenData(R(), envelope, &back)) << n;
    EXPECT_EQ(plain, back);
  }
}

TEST_F(EnvelopeFile, ConstructedContentDecryptsPieceByPiece) {
  const Bytes plain = Pattern(40000);
  Bytes envelope, back;
  ASSERT_EQ(ORLO_OK, SealData(plain, R().cert, &envelope));
  EnvelopeParts p;
  ASSERT_EQ(ORLO_OK, DecodeParts(envelope, &p));
  // Pieces that split cipher blocks, one of them nested and one empty.
  const auto piece = [&](std::size_t from, std::size_t to) {
    return Tlv(0x04, Bytes(p.content.begin() + long(from), p.content.begin() + long(to)));
  };
  const Bytes pieces = Cat({piece(0, 5), Tlv(0x24, Cat({piece(5, 17000), piece(17000, 17000)})),
                            piece(17000, p.content.size())});
  ASSERT_EQ(ORLO_OK, OpenFile(R(), Rebuild(p, Tlv(0xA0, pieces)), &back));
  EXPECT_EQ(plain, back);
}

TEST_F(EnvelopeFile, DecryptionFailuresKeepTheirOwnCodes) {
  Bytes envelope, out;
  ASSERT_EQ(ORLO_OK, SealFile(Pattern(16), R().cert, &envelope));
  // The password is tried before the envelope is read at all.
  EXPECT_EQ(int(SIGIL_E_DECRYPT_SM2_PFX), OpenFile(R(), Bytes{1, 2, 3}, &out, "654321"));
  EXPECT_EQ(int(SIGIL_E_NO_MATCHING_SM2_PFX), OpenFile(MakeRecipient("other"), envelope, &out));

  EnvelopeParts p;
  ASSERT_EQ(ORLO_OK, DecodeParts(envelope, &p));
  const Bytes content = Tlv(0x80, p.content), rsa = Hex("2A864886F70D010101");
  EXPECT_EQ(int(SIGIL_E_INVALID_ENVELOPE), OpenFile(R(), Rebuild(p, content, rsa), &out));
  EXPECT_EQ(int(SIGIL_E_INVALID_ENVELOPE),
            OpenFile(R(), Rebuild(p, content, Hex("2A811CCF55 01822D03"), rsa), &out));
  // The identifier is compared over its own length: a longer one names
  // another certificate, a shortened or empty one still opens.
  EnvelopeParts longer = p, shorter = p, empty = p;
  longer.skid.push_back(0);
  EXPECT_EQ(int(SIGIL_E_NO_MATCHING_SM2_PFX), OpenFile(R(), Rebuild(longer, content), &out));
  shorter.skid.pop_back();
  EXPECT_EQ(ORLO_OK, OpenFile(R(), Rebuild(shorter, content), &out));
  empty.skid.clear();
  EXPECT_EQ(ORLO_OK, OpenFile(R(), Rebuild(empty, content), &out));

  Bytes tampered = envelope;
  tampered[tampered.size() - 32 + 15] ^= 0x10;  // padding 10 -> 00
  EXPECT_EQ(ORLO_FAILED, OpenFile(R(), tampered, &out));
}

TEST_F(EnvelopeFile, ContentEndingEarlyIsAReadFaultNotALoop) {
  Bytes envelope;
  ASSERT_EQ(ORLO_OK, SealFile(Pattern(50000), R().cert, &envelope));
  UniqueFile in = TempFileWith(envelope), out(std::tmpfile());
  Opened o;
  ASSERT_NO_FATAL_FAILURE(OpenByHand(in.get(), &o));
  // The file shrinks after it was decoded.
  ASSERT_EQ(0, ftruncate(fileno(in.get()), off_t(envelope.size() - 20000)));
  EXPECT_EQ(ORLO_READ_FAULT, engine::DecryptFileEnvelopeContent(
                                 o.iv.data(), in.get(), o.content.get(), o.sessionKey, out.get()));
  NodeEx beyond;
  beyond.nValueOffset = std::int64_t(envelope.size()) + 100;
  beyond.nValueLength = 32;
  EXPECT_EQ(ORLO_READ_FAULT, engine::DecryptFileEnvelopeContent(o.iv.data(), in.get(), &beyond,
                                                                o.sessionKey, out.get()));
}

TEST_F(EnvelopeFile, ContentBeyondFourGiBIsSoughtWith64BitOffsets) {
  const Bytes plain = Pattern(40000), key(16, 0x5A), iv(16, 0xA5);
  unsigned char* pbyCipher = nullptr;
  int nCipher = 0;
  ASSERT_EQ(ORLO_OK, engine::SM4_Encrypt_CBC(iv.data(), key.data(), plain.data(), int(plain.size()),
                                             &pbyCipher, &nCipher));
  std::unique_ptr<unsigned char[]> cipher(pbyCipher);
  UniqueFile sparse(std::tmpfile()), out(std::tmpfile());
  NodeEx node;
  node.nValueOffset = (std::int64_t{4} << 30) + 3;
  node.nValueLength = nCipher;
  ASSERT_EQ(0, _fseeki64(sparse.get(), node.nValueOffset, SEEK_SET));
  ASSERT_EQ(std::size_t(nCipher), std::fwrite(pbyCipher, 1, std::size_t(nCipher), sparse.get()));
  ASSERT_EQ(ORLO_OK, engine::DecryptFileEnvelopeContent(iv.data(), sparse.get(), &node, key.data(),
                                                        out.get()));
  EXPECT_EQ(plain, ReadAll(out.get()));
}

// A plain "file" that claims nClaimed bytes but holds only nHeld.
struct ClaimingStream {
  std::int64_t nClaimed, nHeld, nPosition = 0;
};
UniqueFile OpenClaiming(ClaimingStream* s) {
  cookie_io_functions_t io{};
  io.read = [](void* c, char* buf, size_t n) -> ssize_t {
    auto* s = static_cast<ClaimingStream*>(c);
    const std::int64_t k =
        std::max<std::int64_t>(0, std::min<std::int64_t>(n, s->nHeld - s->nPosition));
    std::memset(buf, 0x33, size_t(k));
    s->nPosition += k;
    return ssize_t(k);
  };
  io.seek = [](void* c, off64_t* offset, int whence) -> int {
    auto* s = static_cast<ClaimingStream*>(c);
    const std::int64_t base = whence == SEEK_END   ? s->nClaimed
                              : whence == SEEK_CUR ? s->nPosition
                                                   : 0;
    s->nPosition = base + *offset;
    *offset = s->nPosition;
    return 0;
  };
  return UniqueFile(fopencookie(s, "rb", io));
}

TEST_F(EnvelopeFile, EncryptionStopsOnShortReadsAndRefusedWrites) {
  // A file of five GiB that ends early: its header announces the full 64-bit
  // content length, then the missing bytes are a read fault.
  ClaimingStream five{std::int64_t{5} << 30, 20000};
  UniqueFile plain = OpenClaiming(&five), out(std::tmpfile());
  EXPECT_EQ(ORLO_READ_FAULT, engine::EncryptFileToDerCMSEnvelope(
                                 out.get(), R().cert.data(), int(R().cert.size()), plain.get()));
  // The header ends with encryptedContent 80 85 0140000010 (5 GiB + 16);
  // one full block of ciphertext follows before the read fault.
  const Bytes written = ReadAll(out.get());
  ASSERT_GT(written.size(), 16384u + 7u);
  EXPECT_EQ(Hex("80 85 0140000010"), Bytes(written.end() - 16384 - 7, written.end() - 16384));

  const Bytes data = Pattern(100000);
  for (std::size_t nPlain : {1u, 100000u}) {  // refused at flush time / in the loop
    char tiny[64];
    UniqueFile small(fmemopen(tiny, sizeof tiny, "wb")), in = TempFileWith(data.data(), nPlain);
    EXPECT_EQ(ORLO_WRITE_FAULT, engine::EncryptFileToDerCMSEnvelope(
                                    small.get(), R().cert.data(), int(R().cert.size()), in.get()));
  }
  UniqueFile readOnly(std::fopen("/proc/self/exe", "rb")), in = TempFileWith(data);
  EXPECT_EQ(ORLO_WRITE_FAULT, engine::EncryptFileToDerCMSEnvelope(readOnly.get(), R().cert.data(),
                                                                  int(R().cert.size()), in.get()));
  const Bytes signer = MakeRecipient("signer", testpki::kKuDigitalSignature).cert;
  EXPECT_EQ(
      int(SIGIL_E_INVALID_CERT_USAGE),
      engine::EncryptFileToDerCMSEnvelope(out.get(), signer.data(), int(signer.size()), in.get()));
}

}  // namespace
