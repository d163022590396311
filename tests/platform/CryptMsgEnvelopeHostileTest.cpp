// EnvelopedData messages made to cost memory: thousands of recipients,
// content in millions of pieces, deep nesting, lengths that never end. Each
// is streamed through the decoder in a child process whose peak memory is
// measured.
#include "CryptMsgEnvelopeTestSupport.h"
#include "platform/base/BerReader.h"
#include "platform/base/CryptErrors.h"
#include "platform/msg/CryptMsgEnvelopeHeader.h"
#include "smengine/ChildMemory.h"

using namespace envtest;
using csptest::Rsa;
using platform::msg::detail::kMaxRecipients;

namespace {

constexpr long kMiB = 1024;  // in KiB

Bytes Pattern(std::size_t size) {
  Bytes out(size);
  for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<BYTE>((i * 29 + 3) >> 2);
  return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes Tlv(BYTE tag, const Bytes& contents) {
  Bytes out = {tag};
  std::size_t n = contents.size();
  if (n < 0x80) {
    out.push_back(static_cast<BYTE>(n));
  } else {
    Bytes octets;
    for (; n != 0; n >>= 8) octets.insert(octets.begin(), static_cast<BYTE>(n));
    out.push_back(static_cast<BYTE>(0x80 | octets.size()));
    out.insert(out.end(), octets.begin(), octets.end());
  }
  out.insert(out.end(), contents.begin(), contents.end());
  return out;
}

Bytes Repeated(const Bytes& unit, std::size_t times) {
  Bytes out;
  out.reserve(unit.size() * times);
  for (std::size_t i = 0; i < times; ++i) out.insert(out.end(), unit.begin(), unit.end());
  return out;
}

// The parts of one of our envelopes a hostile one is made around.
struct Parts {
  Bytes version, recipients;            // TLV; the SET's contents
  Bytes innerType, algorithm, content;  // TLVs; the ciphertext
};

Parts Take(const Bytes& der) {
  using platform::ber::BerElement;
  using platform::ber::BerReader;
  Parts parts;
  BerElement contentInfo, type, wrapper, enveloped, version, set, eci, inner, algorithm, content;
  BerReader outer(der);
  EXPECT_EQ(S_OK, outer.Expect(0x30, &contentInfo));
  BerReader ci(contentInfo.contents);
  EXPECT_EQ(S_OK, ci.Expect(0x06, &type));
  EXPECT_EQ(S_OK, ci.Expect(0xA0, &wrapper));
  BerReader w(wrapper.contents);
  EXPECT_EQ(S_OK, w.Expect(0x30, &enveloped));
  BerReader e(enveloped.contents);
  EXPECT_EQ(S_OK, e.Expect(0x02, &version));
  EXPECT_EQ(S_OK, e.Expect(0x31, &set));
  EXPECT_EQ(S_OK, e.Expect(0x30, &eci));
  BerReader c(eci.contents);
  EXPECT_EQ(S_OK, c.Expect(0x06, &inner));
  EXPECT_EQ(S_OK, c.Expect(0x30, &algorithm));
  EXPECT_EQ(S_OK, c.Expect(0x80, &content));
  parts.version.assign(version.whole.begin(), version.whole.end());
  parts.recipients.assign(set.contents.begin(), set.contents.end());
  parts.innerType.assign(inner.whole.begin(), inner.whole.end());
  parts.algorithm.assign(algorithm.whole.begin(), algorithm.whole.end());
  parts.content.assign(content.contents.begin(), content.contents.end());
  return parts;
}

// ContentInfo { envelopedData, [0] { version, SET { recipients },
// { type, algorithm, contentTlv } } }, the outer levels of indefinite length.
Bytes Assemble(const Parts& p, const Bytes& recipients, const Bytes& contentTlv) {
  const Bytes oid = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x03};
  return Cat({{0x30, 0x80}, oid, {0xA0, 0x80, 0x30, 0x80}, p.version, Tlv(0x31, recipients),
              {0x30, 0x80}, p.innerType, p.algorithm, contentTlv,
              {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}});
}

// Streams `blob` in 64 KiB updates, decrypting as soon as the header allows,
// and compares what comes out with `expected` as it comes: nothing is kept.
HRESULT StreamAndCompare(const Bytes& blob, HCRYPTPROV prov, DWORD index, const Bytes& expected) {
  struct Check {
    const Bytes* expected;
    std::size_t at = 0;
    bool same = true;
    static BOOL Output(const void* arg, BYTE* data, DWORD size, BOOL) {
      auto* self = static_cast<Check*>(const_cast<void*>(arg));
      if (self->at + size > self->expected->size() ||
          !std::equal(data, data + size, self->expected->begin() + long(self->at)))
        self->same = false;
      self->at += size;
      return TRUE;
    }
  } check{&expected};
  CMSG_STREAM_INFO stream{CMSG_INDEFINITE_LENGTH, &Check::Output, &check};
  UniqueMsg msg(CryptMsgOpenToDecode(PKCS_7_ASN_ENCODING, 0, 0, 0, nullptr, &stream));
  bool decrypting = false;
  constexpr std::size_t kUpdate = 64 * 1024;
  for (std::size_t at = 0; at < blob.size(); at += kUpdate) {
    const std::size_t take = std::min(kUpdate, blob.size() - at);
    const BOOL final = at + take == blob.size();
    if (!CryptMsgUpdate(msg.get(), blob.data() + at, static_cast<DWORD>(take), final))
      return LastHr();
    if (!decrypting) {
      CMSG_CTRL_DECRYPT_PARA para{sizeof para, prov, AT_KEYEXCHANGE, index};
      decrypting = CryptMsgControl(msg.get(), 0, CMSG_CTRL_DECRYPT, &para) != FALSE;
      if (!decrypting && LastHr() != CRYPT_E_STREAM_MSG_NOT_READY) return LastHr();
    }
  }
  if (!decrypting) return CRYPT_E_STREAM_MSG_NOT_READY;
  return check.same && check.at == expected.size() ? S_OK : NTE_BAD_DATA;
}

class HostileEnvelope : public ::testing::Test {
 protected:
  void SetUp() override {
    content_ = Pattern(4 << 20);
    auto der = Encrypt(content_, szOID_RSA_DES_EDE3_CBC, {&Rsa(0)});
    ASSERT_TRUE(der);
    parts_ = Take(*der);
    ASSERT_FALSE(parts_.content.empty());
  }
  Bytes Primitive() const { return Tlv(0x80, parts_.content); }

  Bytes content_;
  Parts parts_;
};

TEST_F(HostileEnvelope, RecipientsAreCountedUpToTheirLimit) {
  KeyHolder holder(Rsa(0));
  // Entries of the other RecipientInfo kinds are counted but never opened.
  const Bytes other = {0xA1, 0x00};
  const Bytes full = Assemble(parts_, Cat({Repeated(other, kMaxRecipients - 1), parts_.recipients}),
                              Primitive());
  Opened opened = Decrypt(full, {holder.store()});
  ASSERT_TRUE(opened.ok) << std::hex << opened.error;
  EXPECT_EQ(content_, opened.content);
  const Bytes over =
      Assemble(parts_, Cat({Repeated(other, kMaxRecipients), parts_.recipients}), Primitive());
  opened = Decrypt(over, {holder.store()});
  EXPECT_FALSE(opened.ok);
  EXPECT_EQ(CRYPT_E_ASN1_LARGE, opened.error);
}

TEST_F(HostileEnvelope, ThousandsOfRealRecipientsStillOpenForTheLastOne) {
  KeyHolder holder(Rsa(0));
  // Our recipient entry with its encrypted key changed, 3000 times, then
  // ours: a header of almost 1 MiB, and only the last entry opens it.
  const Bytes foreign = [&] {
    Bytes entry = parts_.recipients;
    for (std::size_t i = entry.size() - 40; i < entry.size(); ++i) entry[i] ^= 0x5A;
    return entry;
  }();
  ASSERT_GT(foreign.size(), 250u);
  const std::size_t nOthers = 3000;
  const Bytes blob =
      Assemble(parts_, Cat({Repeated(foreign, nOthers), parts_.recipients}), Primitive());
  ASSERT_LT(blob.size() - parts_.content.size(), std::size_t{1} << 20);
  const HCRYPTPROV prov = holder.Provider();
  childmemory::ExpectBounded("rsa_3000_recipients", 16 * kMiB, S_OK, [&] {
    return StreamAndCompare(blob, prov, static_cast<DWORD>(nOthers), content_);
  });
}

TEST_F(HostileEnvelope, HostileStreamsFailOrOpenInBoundedMemory) {
  KeyHolder holder(Rsa(0));
  const HCRYPTPROV prov = holder.Provider();

  // A header of a million tiny recipient entries: 75 MiB of bookkeeping
  // before the count was bounded.
  const Bytes tiny = Assemble(parts_, Repeated({0xA1, 0x00}, (1 << 19) - 64), Primitive());
  childmemory::ExpectBounded("rsa_tiny_recipients", 8 * kMiB, CRYPT_E_ASN1_LARGE,
                             [&] { return StreamAndCompare(tiny, prov, 0, content_); });

  // The ciphertext in one-octet pieces, nested once: 12 MiB, four million pieces.
  Bytes pieces = {0xA0, 0x80, 0x24, 0x80};
  pieces.reserve(parts_.content.size() * 3 + 8);
  for (BYTE b : parts_.content) pieces.insert(pieces.end(), {0x04, 0x01, b});
  pieces.insert(pieces.end(), {0x00, 0x00, 0x00, 0x00});
  const Bytes split = Assemble(parts_, parts_.recipients, pieces);
  const auto outcome = childmemory::ExpectBounded(
      "rsa_pieces", 8 * kMiB, S_OK, [&] { return StreamAndCompare(split, prov, 0, content_); });
  // Linear work, not quadratic: seconds, not minutes. Sanitized builds run
  // several times slower and share the machine, so only the plain build
  // holds the time to account.
  if (childmemory::kMeasured) {
    EXPECT_LT(outcome.seconds, 20.0);
  }

  // Pieces nested without end, and a content that announces more than ever
  // comes.
  const Bytes deep = Assemble(parts_, parts_.recipients,
                              Cat({{0xA0, 0x80}, Repeated({0x24, 0x80}, 6 << 20)}));
  childmemory::ExpectBounded("rsa_deep", 8 * kMiB, CRYPT_E_ASN1_LARGE,
                             [&] { return StreamAndCompare(deep, prov, 0, content_); });
  Bytes endless = Assemble(parts_, parts_.recipients,
                           Cat({{0x80, 0x88, 0x0F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
                                parts_.content}));
  childmemory::ExpectBounded("rsa_endless", 8 * kMiB, CRYPT_E_STREAM_INSUFFICIENT_DATA,
                             [&] { return StreamAndCompare(endless, prov, 0, content_); });
}

}  // namespace
