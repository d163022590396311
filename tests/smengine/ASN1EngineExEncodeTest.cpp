#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "resources/ResultCodes.h"
#include "smengine/Asn1TestBytes.h"
#include "smengine/asn1/ASN1EngineEx.h"
#include "smengine/common/EngineResult.h"

namespace {

using asn1test::Bytes;
using asn1test::Hex;
using asn1test::Wrap;
using NodeExPtr = std::unique_ptr<NodeEx>;

NodeExPtr Leaf(BYTE byTag, const Bytes& value) {
  auto pNode = std::make_unique<NodeEx>();
  pNode->byTag = byTag;
  EXPECT_EQ(SetNodeExValue(pNode.get(), value.data(), static_cast<std::int64_t>(value.size())),
            ORLO_OK);
  return pNode;
}

template <class... Children>
NodeExPtr Inner(BYTE byTag, Children... children) {
  auto pNode = std::make_unique<NodeEx>();
  pNode->byTag = byTag;
  const int nResults[] = {AddChildNodeEx(children.release(), pNode.get())...};
  for (const int nResult : nResults) EXPECT_EQ(nResult, ORLO_OK);
  return pNode;
}

// The encoder's answer, with the buffer it hands back (empty on failure).
struct Encoded {
  int nResult;
  Bytes der;
  bool bBufferNull;
};
Encoded Encode(const NodeEx* pNode, int* pnLevel = nullptr) {
  BYTE* pbyOut = nullptr;
  int nSize = 0;
  const int nResult = EncodeASN1ToMemory(pNode, &pbyOut, &nSize, pnLevel);
  Encoded encoded{nResult, pbyOut ? Bytes(pbyOut, pbyOut + nSize) : Bytes{}, pbyOut == nullptr};
  delete[] pbyOut;
  return encoded;
}

TEST(ASN1EngineExLength, MinimalDefiniteForms) {
  const std::pair<std::int64_t, std::string> cases[] = {
      {0, "00"},
      {1, "01"},
      {127, "7F"},
      {128, "81 80"},
      {255, "81 FF"},
      {256, "82 01 00"},
      {65535, "82 FF FF"},
      {65536, "83 01 00 00"},
      {std::int64_t{1} << 32, "85 01 00 00 00 00"},
      {INT64_MAX, "88 7F FF FF FF FF FF FF FF"}};
  for (const auto& [nLength, expected] : cases) {
    BYTE* pbyOut = nullptr;
    const int nCount = EncodeASN1Length(&pbyOut, nLength);
    ASSERT_EQ(nCount, static_cast<int>(Hex(expected).size())) << nLength;
    EXPECT_EQ(Bytes(pbyOut, pbyOut + nCount), Hex(expected)) << nLength;
    EXPECT_EQ(EncodeASN1Length(nullptr, nLength), nCount);
    delete[] pbyOut;
  }
  EXPECT_EQ(EncodeASN1Length(nullptr, -1), ORLO_FAILED);
}

TEST(ASN1EngineExEncode, AnyTagAndEmptyValues) {
  const Bytes big(300, 0x5A);
  struct Case {
    BYTE byTag;
    Bytes value;
    Bytes expected;
  };
  Bytes bigDer = Hex("04 82 01 2C");
  bigDer.insert(bigDer.end(), big.begin(), big.end());
  const Case cases[] = {{0x05, {}, Hex("05 00")},
                        {0x02, {0x01}, Hex("02 01 01")},
                        {0xFF, {0x00, 0x00}, Hex("FF 02 00 00")},
                        {0x04, big, bigDer}};
  for (const Case& c : cases) {
    BYTE* pbyOut = nullptr;
    int nSize = 0;
    ASSERT_EQ(
        ASN1Encode(&pbyOut, &nSize, c.byTag, c.value.data(), static_cast<int>(c.value.size())),
        ORLO_OK);
    EXPECT_EQ(Bytes(pbyOut, pbyOut + nSize), c.expected);
    delete[] pbyOut;
  }
  BYTE* pbyOut = nullptr;
  int nSize = 0;
  EXPECT_EQ(ASN1Encode(&pbyOut, &nSize, 0x04, nullptr, 3), ORLO_FAILED);
  EXPECT_EQ(ASN1Encode(&pbyOut, &nSize, 0x04, big.data(), -1), ORLO_FAILED);
  EXPECT_EQ(pbyOut, nullptr);
}

TEST(ASN1EngineExBuild, ParentLengthsFollowTheChildren) {
  const Bytes big(300, 0x11);
  NodeExPtr root = Inner(0x30, Leaf(0x02, {0x01}), Inner(0xA0, Leaf(0x04, big)));
  // INTEGER 3 bytes; [0] { OCTET STRING 4 + 300 } = 4 + 304.
  EXPECT_EQ(root->nValueLength, 3 + 4 + 304);
  EXPECT_EQ(root->nDataLength, 3 + 4 + 304);
  EXPECT_EQ(GetNodeExEncodedLength(root.get()), 4 + 311);
  EXPECT_EQ(root->vetNodes[1]->pParent, root.get());

  const Encoded encoded = Encode(root.get());
  ASSERT_EQ(encoded.nResult, ORLO_OK);
  Bytes expected = Hex("30 82 01 37 02 01 01 A0 82 01 30 04 82 01 2C");
  expected.insert(expected.end(), big.begin(), big.end());
  EXPECT_EQ(encoded.der, expected);

  EXPECT_EQ(Encode(Inner(0x30, Leaf(0x02, {0x01})).get()).der, Hex("30 03 02 01 01"));
}

TEST(ASN1EngineExBuild, AddChildRefusesWhatItCannotOwn) {
  NodeEx parent;
  EXPECT_EQ(AddChildNodeEx(nullptr, &parent), ORLO_OK);
  EXPECT_TRUE(parent.vetNodes.empty());

  auto pChild = Leaf(0x02, {0x01});
  EXPECT_EQ(AddChildNodeEx(pChild.get(), nullptr), ORLO_FAILED);
  NodeEx other;
  ASSERT_EQ(AddChildNodeEx(pChild.get(), &other), ORLO_OK);
  NodeEx* pOwned = pChild.release();
  EXPECT_EQ(AddChildNodeEx(pOwned, &parent), ORLO_FAILED);  // already owned by other
  EXPECT_TRUE(parent.vetNodes.empty());

  auto pIndefinite = std::make_unique<NodeEx>();
  pIndefinite->nValueLength = -1;
  EXPECT_EQ(AddChildNodeEx(pIndefinite.get(), &parent), ORLO_FAILED);
}

TEST(ASN1EngineExEncode, DepthLimitAndCounterRestored) {
  for (const int nLevels : {127, 128, 129, 300}) {
    NodeExPtr root = Leaf(0x05, {});
    for (int i = 1; i < nLevels; ++i) root = Inner(0x30, std::move(root));
    int nLevel = 0;
    const Encoded encoded = Encode(root.get(), &nLevel);
    EXPECT_EQ(encoded.nResult, nLevels <= 128 ? ORLO_OK : SIGIL_E_RECURSION_TOO_DEEP) << nLevels;
    EXPECT_EQ(encoded.bBufferNull, nLevels > 128);
    EXPECT_EQ(nLevel, 0);
    EXPECT_EQ(Encode(root.get()).nResult, encoded.nResult) << "without a counter";
    if (nLevels <= 128) {
      EXPECT_EQ(static_cast<std::int64_t>(encoded.der.size()), GetNodeExEncodedLength(root.get()));
    }
  }
}

TEST(ASN1EngineExEncode, FiftyMebibytesAtMost) {
  constexpr std::int64_t kMax = MAX_ASN1_DATA_MEMORY_SIZE;
  // A leaf that refers to source bytes, as a decoded one does: header 1 + 5.
  std::vector<BYTE> source(static_cast<std::size_t>(kMax - 6), 0x00);
  source.back() = 0x7E;
  for (const std::int64_t nValue : {kMax - 6, kMax - 5}) {
    NodeEx leaf;
    leaf.byTag = 0x04;
    leaf.pbySource = source.data();
    leaf.nSourceSize = static_cast<std::int64_t>(source.size()) + 1;  // lie by one: never read
    leaf.nValueLength = nValue;
    const Encoded encoded = Encode(&leaf);
    if (nValue == kMax - 6) {
      ASSERT_EQ(encoded.nResult, ORLO_OK);
      EXPECT_EQ(static_cast<std::int64_t>(encoded.der.size()), kMax);
      EXPECT_EQ(encoded.der.back(), 0x7E);
    } else {
      EXPECT_EQ(encoded.nResult, SIGIL_E_DATA_TOO_LONG);
      EXPECT_TRUE(encoded.bBufferNull);
    }
  }

  // Many modest built leaves; the sum is what counts.
  NodeEx root;
  root.byTag = 0x30;
  for (int i = 0; i < 900; ++i) {
    auto pLeaf = std::make_unique<NodeEx>();
    pLeaf->byTag = 0x04;
    pLeaf->nValueLength = pLeaf->nDataLength = 60000;  // announced, never allocated
    ASSERT_EQ(AddChildNodeEx(pLeaf.release(), &root), ORLO_OK);
  }
  EXPECT_EQ(Encode(&root).nResult, SIGIL_E_DATA_TOO_LONG);
}

TEST(ASN1EngineExEncode, AnnouncedContentIsLeftForTheCallerToAppend) {
  auto pContent = std::make_unique<NodeEx>();
  pContent->byTag = 0x80;
  pContent->nValueLength = 1000;  // announced; nDataLength 0 and no value
  NodeExPtr root = Inner(0x30, Leaf(0x02, {0x01}), std::move(pContent));
  const Encoded encoded = Encode(root.get());
  ASSERT_EQ(encoded.nResult, ORLO_OK);
  EXPECT_EQ(encoded.der, Hex("30 82 03 EF 02 01 01 80 82 03 E8"));
}

TEST(ASN1EngineExEncode, RefusesWhatWouldWriteOrReadOutOfBounds) {
  BYTE* pbyOut = nullptr;
  int nSize = 0;
  NodeExPtr leaf = Leaf(0x02, {0x01});
  EXPECT_EQ(EncodeASN1ToMemory(nullptr, &pbyOut, &nSize), ORLO_FAILED);
  EXPECT_EQ(EncodeASN1ToMemory(leaf.get(), nullptr, &nSize), ORLO_FAILED);
  BYTE byExisting[4] = {};
  pbyOut = byExisting;
  EXPECT_EQ(EncodeASN1ToMemory(leaf.get(), &pbyOut, &nSize), ORLO_FAILED);
  pbyOut = nullptr;
  nSize = 3;
  EXPECT_EQ(EncodeASN1ToMemory(leaf.get(), &pbyOut, &nSize), ORLO_FAILED);

  NodeEx announcedData;  // claims bytes it does not have
  announcedData.byTag = 0x04;
  announcedData.nValueLength = announcedData.nDataLength = 8;
  EXPECT_EQ(Encode(&announcedData).nResult, ORLO_FAILED);
  EXPECT_TRUE(Encode(&announcedData).bBufferNull);

  const Bytes source = Hex("01 02 03");
  NodeEx pastSource;
  pastSource.byTag = 0x04;
  pastSource.pbySource = source.data();
  pastSource.nSourceSize = 3;
  pastSource.nValueOffset = 1;
  pastSource.nValueLength = 3;
  EXPECT_EQ(Encode(&pastSource).nResult, ORLO_FAILED);
  pastSource.nValueLength = 2;
  EXPECT_EQ(Encode(&pastSource).der, Hex("04 02 02 03"));
}

TEST(ASN1EngineExDuplicate, ABuiltDuplicateOwnsItsValue) {
  NodeExPtr original = Inner(0x30, Leaf(0x04, Hex("DE AD BE EF")), Leaf(0x02, {0x01}));
  const Bytes der = Encode(original.get()).der;

  NodeEx* pCopy = nullptr;
  ASSERT_EQ(DuplicateNodeEx(original.get(), &pCopy, TRUE), ORLO_OK);
  NodeExPtr copy(pCopy);
  EXPECT_NE(copy->vetNodes[0]->pValue.get(), original->vetNodes[0]->pValue.get());
  original.reset();  // a shared buffer would now be freed
  EXPECT_EQ(Encode(copy.get()).der, der);
  EXPECT_EQ(copy->pParent, nullptr);
  for (const auto& pChild : copy->vetNodes) EXPECT_EQ(pChild->pParent, copy.get());

  NodeEx* pShallow = nullptr;
  ASSERT_EQ(DuplicateNodeEx(copy->vetNodes[0].get(), &pShallow, FALSE), ORLO_OK);
  NodeExPtr shallow(pShallow);
  EXPECT_EQ(shallow->pParent, nullptr);  // not the original's parent
  EXPECT_EQ(Encode(shallow.get()).der, Hex("04 04 DE AD BE EF"));

  EXPECT_EQ(DuplicateNodeEx(nullptr, &pShallow, TRUE), ORLO_FAILED);
}

}  // namespace
