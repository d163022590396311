#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "smengine/Asn1TestBytes.h"
#include "smengine/asn1/ASN1Engine.h"
#include "smengine/common/EngineResult.h"

namespace {

using asn1test::Bytes;
using asn1test::Hex;
using asn1test::Wrap;

struct NodeFree {
  void operator()(Node* p) const { FreeNode(p); }
};
using NodePtr = std::unique_ptr<Node, NodeFree>;

int Decode(const Bytes& der, NodePtr& root) {
  Node* pRoot = reinterpret_cast<Node*>(1);  // must be overwritten either way
  const int nResult = DecodeASN1Memory(&pRoot, der.data(), static_cast<int>(der.size()));
  root.reset(pRoot);
  return nResult;
}

TEST(ASN1EngineLength, LengthOctetsInMinimalFormAndZeroRefused) {
  const std::pair<DWORD, std::string> cases[] = {{1, "01"},
                                                 {127, "7F"},
                                                 {128, "81 80"},
                                                 {255, "81 FF"},
                                                 {256, "82 01 00"},
                                                 {65535, "82 FF FF"},
                                                 {65536, "83 01 00 00"},
                                                 {0xFFFFFFFFu, "84 FF FF FF FF"}};
  for (const auto& [dwLength, expected] : cases) {
    BYTE* pbyOut = nullptr;
    DWORD dwSize = 0;
    ASSERT_EQ(CalculateASNValueLength(dwLength, &pbyOut, &dwSize), S_OK) << dwLength;
    EXPECT_EQ(Bytes(pbyOut, pbyOut + dwSize), Hex(expected)) << dwLength;
    delete[] pbyOut;
  }
  BYTE* pbyOut = nullptr;
  DWORD dwSize = 0;
  EXPECT_EQ(CalculateASNValueLength(0, &pbyOut, &dwSize), E_FAIL);
  EXPECT_EQ(pbyOut, nullptr);
}

TEST(ASN1EngineEncode, OnlyTheListedTagsAndNonEmptyValues) {
  const BYTE byValue[] = {0x01};
  for (int nTag = 0; nTag <= 0xFF; ++nTag) {
    const BYTE byTag = static_cast<BYTE>(nTag);
    const bool bListed = byTag == 0x02 || byTag == 0x04 || byTag == 0x06 || byTag == 0x0C ||
                         byTag == 0x13 || byTag == 0x16 || byTag == 0x1E || byTag == 0x30 ||
                         byTag == 0x31 || byTag == 0x80 || byTag == 0xA0;
    BYTE* pbyOut = nullptr;
    DWORD dwSize = 0;
    const HRESULT hResult = ASN1Encode(byTag, byValue, 1, &pbyOut, &dwSize);
    if (bListed) {
      ASSERT_EQ(hResult, S_OK) << nTag;
      EXPECT_EQ(Bytes(pbyOut, pbyOut + dwSize), (Bytes{byTag, 0x01, 0x01}));
    } else {
      EXPECT_EQ(hResult, E_FAIL) << nTag;
    }
    delete[] pbyOut;

    pbyOut = nullptr;
    EXPECT_EQ(ASN1Encode(byTag, byValue, 0, &pbyOut, &dwSize), E_FAIL) << nTag;
    EXPECT_EQ(pbyOut, nullptr);
  }

  const Bytes value(200, 0xAB);
  BYTE* pbyOut = nullptr;
  DWORD dwSize = 0;
  ASSERT_EQ(ASN1Encode(0x04, value.data(), 200, &pbyOut, &dwSize), S_OK);
  EXPECT_EQ(Bytes(pbyOut, pbyOut + dwSize), Wrap(0x04, value));
  delete[] pbyOut;
  EXPECT_EQ(ASN1Encode(0x04, nullptr, 5, &pbyOut, &dwSize), E_POINTER);
}

TEST(ASN1EngineDecode, ShapesOfDecodedTrees) {
  struct Case {
    const char* hex;
    BYTE byTag;
    int nValueLength;
    int nNodeLength;
    std::size_t nChildren;
  };
  const Case cases[] = {
      {"30 03 02 01 01", 0x30, 3, 5, 1},    {"30 80 02 01 05 00 00", 0x30, 5, 7, 1},
      {"04 03 30 01 00", 0x04, 3, 5, 0},    {"A0 03 02 01 07", 0xA0, 3, 5, 1},
      {"85 01 07", 0x85, 1, 3, 0},          {"30 00", 0x30, 0, 2, 0},
      {"30 80 00 00", 0x30, 2, 4, 0},       {"04 80 41 42 00 00", 0x04, 4, 6, 0},
      {"30 81 03 02 01 01", 0x30, 3, 6, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.hex);
    const Bytes der = Hex(c.hex);
    NodePtr root;
    ASSERT_EQ(Decode(der, root), ORLO_OK);
    ASSERT_TRUE(root);
    EXPECT_EQ(root->byTag, c.byTag);
    EXPECT_EQ(root->nValueLength, c.nValueLength);
    EXPECT_EQ(root->nNodeLength, c.nNodeLength);
    EXPECT_EQ(root->bIndefinite, 0);
    EXPECT_EQ(root->nDataSize, static_cast<int>(der.size()));
    ASSERT_EQ(root->vetNodes.size(), c.nChildren);
    for (const auto& pChild : root->vetNodes) EXPECT_EQ(pChild->pParent, root.get());
  }
}

TEST(ASN1EngineDecode, RootFailureAndParseFailureAreTold) {
  for (const char* hex : {"", "30", "30 05 02 01 01", "1F 01 00", "04 85 01 00 00 00 01 07"}) {
    SCOPED_TRACE(hex);
    NodePtr root;
    EXPECT_EQ(Decode(Hex(hex), root), ASN1_DECODE_ROOT_FAILED);
    EXPECT_FALSE(root);
  }
  for (const char* hex : {"30 03 02 02 01", "30 80 02 01 05", "30 80 02 01 05 00", "04 80 41 00"}) {
    SCOPED_TRACE(hex);
    NodePtr root;
    EXPECT_EQ(Decode(Hex(hex), root), ORLO_FAILED);
    EXPECT_FALSE(root);
  }
  Node* pRoot = nullptr;
  EXPECT_EQ(DecodeASN1Memory(&pRoot, nullptr, 5), ASN1_DECODE_ROOT_FAILED);
  EXPECT_EQ(DecodeASN1Memory(nullptr, Hex("05 00").data(), 2), ORLO_FAILED);
}

TEST(ASN1EngineDecode, AtMost255NodesHoweverShallowButDepthIsFree) {
  auto Flat = [](int nChildren) {
    Bytes value;
    for (int i = 0; i < nChildren; ++i) value.insert(value.end(), {0x05, 0x00});
    return Wrap(0x30, value);
  };
  NodePtr root;
  EXPECT_EQ(Decode(Flat(254), root), ORLO_OK);  // 255 nodes
  EXPECT_EQ(Decode(Flat(255), root), ORLO_FAILED);
  EXPECT_FALSE(root);

  Bytes deep = Hex("30 00");
  for (int i = 1; i < 255; ++i) deep = Wrap(0x30, deep);
  EXPECT_EQ(Decode(deep, root), ORLO_OK);
  deep = Wrap(0x30, deep);
  EXPECT_EQ(Decode(deep, root), ORLO_FAILED);
}

TEST(ASN1EngineDecode, EveryTruncationFails) {
  const Bytes der = Hex("30 0E 06 03 2A 03 04 A0 80 04 01 41 00 00 31 00");
  NodePtr root;
  ASSERT_EQ(Decode(der, root), ORLO_OK);
  ASSERT_EQ(root->vetNodes.size(), 3u);
  for (std::size_t n = 0; n < der.size(); ++n) {
    // An exact-size copy, so a read past the end is caught.
    const Bytes prefix(der.begin(), der.begin() + static_cast<std::ptrdiff_t>(n));
    EXPECT_NE(Decode(prefix, root), ORLO_OK) << n;
    EXPECT_FALSE(root);
  }
}

TEST(ASN1EngineParseNode, RefusesANodeWhoseHeaderLiesOutsideItsSource) {
  const Bytes der = Hex("30 03 02 01 01");
  Node node;
  node.pbyData = der.data();
  node.nDataSize = static_cast<int>(der.size());
  node.byTag = 0x30;
  node.nLengthOctetsSize = 1;
  node.nValueOffset = 2;
  node.nValueLength = 4;  // one past the end
  int nCount = 0;
  EXPECT_EQ(ParseNode(&node, &nCount), ORLO_FAILED);
  node.nValueLength = 3;
  EXPECT_EQ(ParseNode(&node, &nCount), ORLO_OK);
  EXPECT_EQ(nCount, 2);
  EXPECT_EQ(node.vetNodes.size(), 1u);
  PrintNode(nullptr);
}

}  // namespace
