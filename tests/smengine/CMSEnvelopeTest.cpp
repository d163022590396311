#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <numeric>
#include <string>

#include "platform/fs/Files.h"
#include "resources/ResultCodes.h"
#include "smengine/Asn1TestBytes.h"
#include "smengine/asn1/CMSEnvelopeOperations.h"
#include "smengine/common/EngineResult.h"

namespace {

using asn1test::Bytes;
using asn1test::Hex;
using asn1test::Tlv;

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) {
    out.resize(out.size() + p.size());
    std::copy(p.begin(), p.end(), out.end() - p.size());
  }
  return out;
}

Bytes Filled(size_t n, BYTE first) {
  Bytes b(n);
  std::iota(b.begin(), b.end(), first);
  return b;
}

const Bytes kIv = Filled(16, 0xA0);
const Bytes kParameter = Tlv(0x04, kIv);
const Bytes kSkid = Filled(20, 0x30);
const Bytes kKey = Filled(120, 0x01);  // stands in for an SM2Cipher DER
const Bytes kOidEnveloped = Hex("2A811CCF55 0601040203");
const Bytes kOidData = Hex("2A811CCF55 0601040201");
const Bytes kOidSm2 = Hex("2A811CCF55 01822D03");
const Bytes kOidSm4 = Hex("2A811CCF55 0168");

// The envelope written by hand; parts can be swapped to make bad shapes.
struct Parts {
  Bytes rid = Tlv(0x80, kSkid);
  Bytes keyAlgOid = Tlv(0x06, kOidSm2);
  Bytes recipientExtra;
  Bytes envelopedExtra;
  Bytes content;
  BYTE contentTag = 0x80;
};
Bytes HandMade(const Parts& p) {
  const Bytes keyTrans = Tlv(
      0x30,
      Cat({Tlv(0x02, {2}), p.rid, Tlv(0x30, Cat({p.keyAlgOid, Hex("0500")})), Tlv(0x04, kKey)}));
  const Bytes contentInfo =
      Tlv(0x30, Cat({Tlv(0x06, kOidData), Tlv(0x30, Cat({Tlv(0x06, kOidSm4), kParameter})),
                     Tlv(p.contentTag, p.content)}));
  const Bytes enveloped =
      Tlv(0x30, Cat({Tlv(0x02, {2}), p.envelopedExtra, Tlv(0x31, Cat({keyTrans, p.recipientExtra})),
                     contentInfo}));
  return Tlv(0x30, Cat({Tlv(0x06, kOidEnveloped), Tlv(0xA0, enveloped)}));
}

int Encode(const Bytes* content, std::int64_t nContentLength, Bytes* pDer) {
  BYTE* pbyDer = nullptr;
  int nLength = 0;
  const int nResult = engine::Encode_CMSEnvelope(
      kParameter.data(), static_cast<int>(kParameter.size()), kKey.data(),
      static_cast<int>(kKey.size()), kSkid.data(), static_cast<int>(kSkid.size()),
      content ? content->data() : nullptr, nContentLength, &pbyDer, &nLength);
  std::unique_ptr<BYTE[]> owned(pbyDer);
  if (nResult == ORLO_OK) pDer->assign(pbyDer, pbyDer + nLength);
  return nResult;
}

struct Decoded {
  Bytes skid, key, content, parameter;
  std::string keyAlg, contentAlg;
  bool operator==(const Decoded&) const = default;
};

struct Outs {
  BYTE *skid = nullptr, *key = nullptr, *param = nullptr;
  int nSkid = -7, nKey = -7, nParam = -7;
  char *keyAlg = nullptr, *contentAlg = nullptr;
  engine::CMSEnvelopeOutputs Get() {
    return {&skid, &nSkid, &key, &nKey, &keyAlg, &contentAlg, &param, &nParam};
  }
  void Into(Decoded* d) {
    d->skid.assign(skid, skid + nSkid);
    d->key.assign(key, key + nKey);
    d->parameter.assign(param, param + nParam);
    d->keyAlg = keyAlg;
    d->contentAlg = contentAlg;
  }
  ~Outs() {
    delete[] skid;
    delete[] key;
    delete[] param;
    delete[] keyAlg;
    delete[] contentAlg;
  }
};

int DecodeMemory(const Bytes& der, Decoded* d) {
  Outs outs;
  BYTE* pbyContent = nullptr;
  int nContent = 0;
  const int nResult = engine::Decode_CMSEnvelopeData(der.data(), static_cast<int>(der.size()),
                                                     outs.Get(), &pbyContent, &nContent);
  std::unique_ptr<BYTE[]> owned(pbyContent);
  if (nResult != ORLO_OK) {
    EXPECT_EQ(nullptr, outs.skid);
    EXPECT_EQ(nullptr, pbyContent);
    return nResult;
  }
  outs.Into(d);
  d->content.assign(pbyContent, pbyContent + nContent);
  return nResult;
}

UniqueFile FileWith(const Bytes& bytes) {
  UniqueFile f(std::tmpfile());
  if (f && !bytes.empty()) {
    std::fwrite(bytes.data(), 1, bytes.size(), f.get());
    std::fflush(f.get());
  }
  return f;
}

// Decodes from a file positioned at nStartPosition and checks it stays there.
int DecodeFile(const Bytes& der, Decoded* d, long nStartPosition = 3) {
  UniqueFile f = FileWith(der);
  EXPECT_TRUE(f);
  EXPECT_EQ(0, _fseeki64(f.get(), nStartPosition, SEEK_SET));
  Outs outs;
  NodeEx* pRaw = nullptr;
  const int nResult = engine::Decode_CMSEnvelopeFile(f.get(), outs.Get(), &pRaw);
  std::unique_ptr<NodeEx> pContent(pRaw);
  EXPECT_EQ(nStartPosition, _ftelli64(f.get())) << "result " << nResult;
  if (nResult != ORLO_OK) {
    EXPECT_EQ(nullptr, pRaw);
    return nResult;
  }
  outs.Into(d);
  // The content's pieces are read where they lie, as the decryption reads them.
  EXPECT_EQ(f.get(), pContent->pFile);
  EXPECT_TRUE(pContent->vetNodes.empty());
  d->content.clear();
  EXPECT_EQ(ORLO_OK, ForEachOctetStringPiece(
                         pContent.get(), [&](std::int64_t nOffset, std::int64_t nLength) {
                           const size_t nAt = d->content.size();
                           d->content.resize(nAt + static_cast<size_t>(nLength));
                           if (_fseeki64(f.get(), nOffset, SEEK_SET) != 0 ||
                               std::fread(d->content.data() + nAt, 1, static_cast<size_t>(nLength),
                                          f.get()) != static_cast<size_t>(nLength))
                             return ORLO_READ_FAULT;
                           return ORLO_OK;
                         }));
  return nResult;
}

Decoded Expected(const Bytes& content) {
  return {kSkid, kKey, content, kIv, "1.2.156.10197.1.301.3", "1.2.156.10197.1.104"};
}

TEST(CMSEnvelope, EncodesTheDesignedTreeAndDecodesItFromMemoryAndFile) {
  const Bytes content = Filled(300, 7);
  Bytes der;
  ASSERT_EQ(ORLO_OK, Encode(&content, 300, &der));
  Parts parts;
  parts.content = content;
  EXPECT_EQ(HandMade(parts), der);

  Decoded fromMemory, fromFile;
  ASSERT_EQ(ORLO_OK, DecodeMemory(der, &fromMemory));
  EXPECT_EQ(Expected(content), fromMemory);
  ASSERT_EQ(ORLO_OK, DecodeFile(der, &fromFile));
  EXPECT_EQ(fromMemory, fromFile);

  // Re-encoding what was decoded gives the same bytes.
  Bytes again;
  BYTE* pbyDer = nullptr;
  int nLength = 0;
  const Bytes param = Tlv(0x04, fromMemory.parameter);
  ASSERT_EQ(ORLO_OK, engine::Encode_CMSEnvelope(
                         param.data(), static_cast<int>(param.size()), fromMemory.key.data(),
                         static_cast<int>(fromMemory.key.size()), fromMemory.skid.data(),
                         static_cast<int>(fromMemory.skid.size()), fromMemory.content.data(),
                         static_cast<int>(fromMemory.content.size()), &pbyDer, &nLength));
  std::unique_ptr<BYTE[]> owned(pbyDer);
  EXPECT_EQ(der, Bytes(pbyDer, pbyDer + nLength));
}

TEST(CMSEnvelope, WithoutContentStopsWhereTheCiphertextBegins) {
  const Bytes content = Filled(8000, 3);
  Bytes withContent, header;
  ASSERT_EQ(ORLO_OK, Encode(&content, 8000, &withContent));
  ASSERT_EQ(ORLO_OK, Encode(nullptr, 8000, &header));
  ASSERT_EQ(withContent.size(), header.size() + content.size());
  Bytes joined = Cat({header, content});
  EXPECT_EQ(withContent, joined);
  Decoded d;
  ASSERT_EQ(ORLO_OK, DecodeMemory(joined, &d));
  EXPECT_EQ(content, d.content);
  // Without the appended bytes the header alone is not an envelope.
  EXPECT_EQ(ORLO_FAILED, DecodeMemory(header, &d));
}

TEST(CMSEnvelope, AnnouncedContentOfFiveGiBHasFullLengthHeaders) {
  const std::int64_t nFive = std::int64_t{5} << 30;
  Bytes header;
  ASSERT_EQ(ORLO_OK, Encode(nullptr, nFive, &header));
  // encryptedContent: 80 85 01 40 00 00 00, and nothing after it.
  ASSERT_GE(header.size(), 7u);
  EXPECT_EQ(Hex("80 85 0140000000"), Bytes(header.end() - 7, header.end()));
  // The root announces everything that follows its own header.
  ASSERT_EQ(0x85, header[1]);
  std::int64_t nRoot = 0;
  for (int i = 0; i < 5; ++i) nRoot = (nRoot << 8) | header[2 + i];
  EXPECT_EQ(static_cast<std::int64_t>(header.size()) - 7 + nFive, nRoot);
}

TEST(CMSEnvelope, ConstructedContentYieldsItsOctetString) {
  const Bytes content = Filled(40, 9);
  Parts parts;
  parts.contentTag = 0xA0;
  parts.content = Tlv(0x04, content);
  const Bytes der = HandMade(parts);
  Decoded fromMemory, fromFile;
  ASSERT_EQ(ORLO_OK, DecodeMemory(der, &fromMemory));
  EXPECT_EQ(Expected(content), fromMemory);
  ASSERT_EQ(ORLO_OK, DecodeFile(der, &fromFile));
  EXPECT_EQ(fromMemory, fromFile);
}

TEST(CMSEnvelope, BadShapesFailFromMemoryAndFileWithThePositionKept) {
  Parts twoRecipients;
  twoRecipients.recipientExtra = Tlv(0x30, Hex("020102"));
  Parts issuerSerialRid;
  issuerSerialRid.rid = Tlv(0xA1, Tlv(0x30, Hex("020101")));
  Parts originatorInfo;
  originatorInfo.envelopedExtra = Tlv(0xA0, Hex("0400"));
  for (const Parts* p : {&twoRecipients, &issuerSerialRid, &originatorInfo}) {
    const Bytes der = HandMade(*p);
    Decoded d;
    EXPECT_EQ(SIGIL_E_INVALID_ENVELOPE, DecodeMemory(der, &d));
    EXPECT_EQ(SIGIL_E_INVALID_ENVELOPE, DecodeFile(der, &d));
  }
  // An OID node that is no OID fails in the library's parser.
  Parts notOid;
  notOid.keyAlgOid = Tlv(0x04, kOidSm2);
  Decoded d;
  EXPECT_EQ(ORLO_FAILED, DecodeMemory(HandMade(notOid), &d));
  EXPECT_EQ(ORLO_FAILED, DecodeFile(HandMade(notOid), &d));
  // Another OID is reported, not judged.
  Parts otherOid;
  otherOid.keyAlgOid = Tlv(0x06, Hex("2A864886F70D010101"));
  ASSERT_EQ(ORLO_OK, DecodeMemory(HandMade(otherOid), &d));
  EXPECT_EQ("1.2.840.113549.1.1.1", d.keyAlg);
  EXPECT_EQ(SIGIL_E_INVALID_ENVELOPE, DecodeMemory(Tlv(0x30, Tlv(0x06, kOidEnveloped)), &d));
  EXPECT_EQ(ORLO_FAILED, DecodeFile(Bytes{}, &d, 0));
}

TEST(CMSEnvelope, EveryTruncationFailsFromMemoryAndFile) {
  const Bytes content = Filled(33, 1);
  Bytes der;
  ASSERT_EQ(ORLO_OK, Encode(&content, 33, &der));
  for (size_t n = 1; n < der.size(); ++n) {
    const Bytes cut(der.begin(), der.begin() + n);
    Decoded d;
    EXPECT_NE(ORLO_OK, DecodeMemory(cut, &d)) << n;
    EXPECT_NE(ORLO_OK, DecodeFile(cut, &d, static_cast<long>(n / 2))) << n;
  }
}

TEST(CMSEnvelope, OutputsAreOptionalAndBadArgumentsAreRefused) {
  const Bytes content = Filled(16, 1);
  Bytes der;
  ASSERT_EQ(ORLO_OK, Encode(&content, 16, &der));
  EXPECT_EQ(ORLO_OK, engine::Decode_CMSEnvelopeData(der.data(), static_cast<int>(der.size()), {},
                                                    nullptr, nullptr));
  EXPECT_EQ(ORLO_INVALID_PARAMETER, engine::Decode_CMSEnvelopeFile(nullptr, {}, nullptr));
  BYTE* pbyDer = nullptr;
  int nLength = 0;
  EXPECT_NE(ORLO_OK, engine::Encode_CMSEnvelope(kParameter.data(), 18, kKey.data(), 120, nullptr, 0,
                                                content.data(), 16, &pbyDer, &nLength));
  EXPECT_EQ(nullptr, pbyDer);
}

TEST(CMSEnvelope, HelpersBuildOidsAndTheSm3AlgorithmIdentifier) {
  BYTE* pbyOut = nullptr;
  int nLength = 0;
  ASSERT_EQ(ORLO_OK, engine::Encode_ObjectIdentifier(engine::kOidSM4CBC, 1, &pbyOut, &nLength));
  EXPECT_EQ(Tlv(0x06, kOidSm4), Bytes(pbyOut, pbyOut + nLength));
  delete[] pbyOut;
  pbyOut = nullptr;
  EXPECT_EQ(ORLO_FAILED, engine::Encode_ObjectIdentifier("not.an.oid", 0, &pbyOut, &nLength));
  EXPECT_EQ(nullptr, pbyOut);

  const BYTE null2[2] = {0x05, 0x00};
  NodeEx* pRaw = nullptr;
  ASSERT_EQ(ORLO_OK, engine::ConstructNode_AlgorithmIdentifier(null2, &pRaw));
  std::unique_ptr<NodeEx> pNode(pRaw);
  nLength = 0;
  ASSERT_EQ(ORLO_OK, EncodeASN1ToMemory(pNode.get(), &pbyOut, &nLength));
  EXPECT_EQ(Tlv(0x30, Cat({Tlv(0x06, Hex("2A811CCF55 01 8311")), Hex("0500")})),
            Bytes(pbyOut, pbyOut + nLength));
  delete[] pbyOut;
}

}  // namespace
