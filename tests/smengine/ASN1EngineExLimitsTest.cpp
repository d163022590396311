// The second engine's bounds on hostile input: the node budget, and OCTET
// STRINGs in pieces left where they lie.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/fs/Files.h"
#include "smengine/Asn1TestBytes.h"
#include "smengine/asn1/ASN1EngineEx.h"
#include "smengine/common/EngineResult.h"
#include "support/TempEnvironment.h"

namespace {

using asn1test::Bytes;
using asn1test::Hex;
using asn1test::Tlv;
using NodeExPtr = std::unique_ptr<NodeEx>;

struct Closer {
  void operator()(FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, Closer>;

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

File OpenBytes(const Bytes& der) {
  const auto path = testsupport::WriteTempFile("limits.der", std::string(der.begin(), der.end()));
  return File(std::fopen(path.c_str(), "rb"));
}

// Decoded from memory and from a file, which must agree on the result.
int DecodeBoth(const Bytes& der, std::span<const int> path, NodeExPtr* fromMemory,
               NodeExPtr* fromFile, File* file) {
  NodeEx* pMemory = nullptr;
  NodeEx* pFile = nullptr;
  const int nMemory =
      DecodeASN1MemoryExLeavingPieces(der.data(), static_cast<int>(der.size()), path, &pMemory);
  fromMemory->reset(pMemory);
  *file = OpenBytes(der);
  const int nFile = DecodeASN1FileExLeavingPieces(file->get(), path, &pFile);
  fromFile->reset(pFile);
  EXPECT_EQ(nMemory, nFile);
  return nMemory;
}

// The bytes a node's pieces carry, joined.
int Joined(const NodeEx* pNode, Bytes* pOut) {
  pOut->clear();
  return ForEachOctetStringPiece(pNode, [&](std::int64_t nOffset, std::int64_t nLength) {
    const std::size_t nAt = pOut->size();
    pOut->resize(nAt + static_cast<std::size_t>(nLength));
    if (pNode->pbySource) {
      std::copy_n(pNode->pbySource + nOffset, nLength, pOut->data() + nAt);
      return ORLO_OK;
    }
    if (_fseeki64(pNode->pFile, nOffset, SEEK_SET) != 0 ||
        std::fread(pOut->data() + nAt, 1, static_cast<std::size_t>(nLength), pNode->pFile) !=
            static_cast<std::size_t>(nLength))
      return ORLO_READ_FAULT;
    return ORLO_OK;
  });
}

// SEQUENCE of nChildren NULLs: nChildren + 1 nodes.
Bytes Nulls(std::size_t nChildren) {
  Bytes body;
  body.reserve(2 * nChildren);
  for (std::size_t i = 0; i < nChildren; ++i) body.insert(body.end(), {0x05, 0x00});
  return Tlv(0x30, body);
}

TEST(ASN1EngineExLimits, NodeBudgetIsExactInMemoryAndInAFile) {
  for (const std::size_t nNodes : {std::size_t{MAX_ASN1EX_NODE_COUNT},
                                   std::size_t{MAX_ASN1EX_NODE_COUNT} + 1}) {
    NodeExPtr fromMemory, fromFile;
    File file;
    const int nResult = DecodeBoth(Nulls(nNodes - 1), {}, &fromMemory, &fromFile, &file);
    if (nNodes <= static_cast<std::size_t>(MAX_ASN1EX_NODE_COUNT)) {
      ASSERT_EQ(nResult, ORLO_OK);
      EXPECT_EQ(fromMemory->vetNodes.size(), nNodes - 1);
    } else {
      EXPECT_EQ(nResult, ORLO_FAILED);
      EXPECT_FALSE(fromMemory);
      EXPECT_FALSE(fromFile);
    }
  }
  // Counted over the whole tree, not per level.
  const Bytes nested = Tlv(0x30, Cat({Nulls(MAX_ASN1EX_NODE_COUNT / 2),
                                      Nulls(MAX_ASN1EX_NODE_COUNT / 2)}));
  NodeEx* pRoot = nullptr;
  EXPECT_EQ(DecodeASN1MemoryEx(nested.data(), static_cast<int>(nested.size()), &pRoot),
            ORLO_FAILED);
  EXPECT_EQ(pRoot, nullptr);
}

// SEQUENCE { INTEGER, [0] pieces }: the pieces at {1}.
constexpr int kPath[] = {1};
Bytes WithPieces(const Bytes& contentTlv) { return Tlv(0x30, Cat({Hex("020105"), contentTlv})); }

TEST(ASN1EngineExLimits, PiecesLeftWhereTheyLieAreOneNodeWithTheirBytes) {
  const Bytes a = Hex("04 03 616263"), b = Hex("04 00"), c = Hex("04 02 6465");
  const Bytes expected = Hex("6162636465");
  struct Case {
    const char* name;
    Bytes tlv;
  };
  const Case cases[] = {
      {"definite", Tlv(0xA0, Cat({a, b, c}))},
      {"indefinite", Cat({Hex("A0 80"), a, b, c, Hex("0000")})},
      {"nested definite", Tlv(0xA0, Cat({a, Tlv(0x24, Cat({b, c}))}))},
      {"nested indefinite", Cat({Hex("A0 80"), a, Hex("24 80"), b, c, Hex("0000 0000")})},
      {"primitive", Tlv(0x80, expected)},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    const Bytes der = WithPieces(k.tlv);
    NodeExPtr fromMemory, fromFile;
    File file;
    ASSERT_EQ(DecodeBoth(der, kPath, &fromMemory, &fromFile, &file), ORLO_OK);
    for (const NodeExPtr* root : {&fromMemory, &fromFile}) {
      ASSERT_EQ((*root)->vetNodes.size(), 2u);
      const NodeEx& pieces = *(*root)->vetNodes[1];
      EXPECT_TRUE(pieces.vetNodes.empty());
      EXPECT_EQ(pieces.bIndefinite, 0);
      EXPECT_EQ(pieces.nNodeLength, static_cast<std::int64_t>(k.tlv.size()));
      EXPECT_EQ((*root)->nNodeLength, static_cast<std::int64_t>(der.size()));
      Bytes joined;
      ASSERT_EQ(Joined(&pieces, &joined), ORLO_OK);
      EXPECT_EQ(joined, expected);
    }
    // The same bytes through the children of a full decode.
    NodeEx* pFull = nullptr;
    ASSERT_EQ(DecodeASN1MemoryEx(der.data(), static_cast<int>(der.size()), &pFull), ORLO_OK);
    NodeExPtr full(pFull);
    Bytes joined;
    ASSERT_EQ(Joined(full->vetNodes[1].get(), &joined), ORLO_OK);
    EXPECT_EQ(joined, expected);
  }
}

TEST(ASN1EngineExLimits, MillionsOfPiecesCostOneNode) {
  Bytes pieces = {0xA0, 0x80};
  for (int i = 0; i < 1 << 20; ++i) pieces.insert(pieces.end(), {0x04, 0x01, BYTE(i)});
  pieces.insert(pieces.end(), {0x00, 0x00});
  const Bytes der = WithPieces(pieces);
  NodeExPtr fromMemory, fromFile;
  File file;
  ASSERT_EQ(DecodeBoth(der, kPath, &fromMemory, &fromFile, &file), ORLO_OK);
  Bytes joined;
  ASSERT_EQ(Joined(fromFile->vetNodes[1].get(), &joined), ORLO_OK);
  ASSERT_EQ(joined.size(), std::size_t{1} << 20);
  EXPECT_EQ(joined[258], 2);
  // Decoded into nodes they would pass the budget.
  NodeEx* pFull = nullptr;
  EXPECT_EQ(DecodeASN1MemoryEx(der.data(), static_cast<int>(der.size()), &pFull), ORLO_FAILED);
}

TEST(ASN1EngineExLimits, PiecesThatAreNoOctetStringsOrDoNotEndFail) {
  Bytes deep;
  for (int i = 0; i < 70; ++i) deep.insert(deep.end(), {0x24, 0x80});
  for (int i = 0; i < 70; ++i) deep.insert(deep.end(), {0x00, 0x00});
  const Bytes bad[] = {
      Tlv(0xA0, Hex("02 01 05")),                    // an INTEGER among the pieces
      Tlv(0xA0, Hex("04 01 41 00 00")),              // end-of-contents in a definite value
      Hex("A0 80 04 01 41"),                         // no end-of-contents
      Hex("A0 80 04 80 41 00 00 00 00"),             // primitive piece of indefinite length
      Tlv(0xA0, Hex("04 05 41")),                    // piece longer than its parent
      Cat({Hex("A0 80"), deep, Hex("00 00")}),       // nested past the piece depth
      Tlv(0xA0, Hex("24 02 04 01 41")),              // nested piece runs past its parent
  };
  for (std::size_t i = 0; i < std::size(bad); ++i) {
    NodeExPtr fromMemory, fromFile;
    File file;
    EXPECT_EQ(DecodeBoth(WithPieces(bad[i]), kPath, &fromMemory, &fromFile, &file), ORLO_FAILED)
        << "case " << i;
  }
  // Elsewhere than at the path the same bytes are ordinary nodes.
  const Bytes notPieces = Tlv(0x30, Cat({Tlv(0xA0, Hex("02 01 05")), Hex("05 00")}));
  NodeExPtr fromMemory, fromFile;
  File file;
  ASSERT_EQ(DecodeBoth(notPieces, kPath, &fromMemory, &fromFile, &file), ORLO_OK);
  EXPECT_EQ(fromMemory->vetNodes[0]->vetNodes.size(), 1u);
  // A node whose pieces are no OCTET STRINGs gives no bytes either.
  Bytes joined;
  EXPECT_EQ(Joined(fromMemory->vetNodes[0].get(), &joined), ORLO_FAILED);
}

TEST(ASN1EngineExLimits, APieceCallbackStopsTheWalkWithItsOwnResult) {
  const Bytes der = WithPieces(Tlv(0xA0, Hex("04 01 41 04 01 42 04 01 43")));
  NodeExPtr fromMemory, fromFile;
  File file;
  ASSERT_EQ(DecodeBoth(der, kPath, &fromMemory, &fromFile, &file), ORLO_OK);
  int nCalls = 0;
  EXPECT_EQ(ForEachOctetStringPiece(fromFile->vetNodes[1].get(),
                                    [&](std::int64_t, std::int64_t) {
                                      return ++nCalls == 2 ? ORLO_READ_FAULT : ORLO_OK;
                                    }),
            ORLO_READ_FAULT);
  EXPECT_EQ(nCalls, 2);
  EXPECT_EQ(ForEachOctetStringPiece(nullptr, [](std::int64_t, std::int64_t) { return ORLO_OK; }),
            ORLO_FAILED);
}

}  // namespace
