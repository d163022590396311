#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "smengine/Asn1TestBytes.h"
#include "smengine/asn1/ASN1EngineEx.h"
#include "smengine/common/EngineResult.h"
#include "support/TempEnvironment.h"

namespace {

using asn1test::Bytes;
using asn1test::Hex;
using asn1test::Wrap;
using NodeExPtr = std::unique_ptr<NodeEx>;

struct Closer {
  void operator()(FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, Closer>;

int DecodeMemory(const Bytes& der, NodeExPtr& root) {
  NodeEx* pRoot = nullptr;
  const int nResult = DecodeASN1MemoryEx(der.data(), static_cast<int>(der.size()), &pRoot);
  root.reset(pRoot);
  return nResult;
}

File OpenBytes(const Bytes& der) {
  const auto path = testsupport::WriteTempFile("der.bin", std::string(der.begin(), der.end()));
  return File(std::fopen(path.c_str(), "rb"));
}

int DecodeFile(FILE* fp, NodeExPtr& root) {
  NodeEx* pRoot = nullptr;
  const int nResult = DecodeASN1FileEx(fp, &pRoot);
  root.reset(pRoot);
  return nResult;
}

Bytes Encode(const NodeEx* pNode) {
  BYTE* pbyOut = nullptr;
  int nSize = 0;
  EXPECT_EQ(EncodeASN1ToMemory(pNode, &pbyOut, &nSize), ORLO_OK);
  Bytes der(pbyOut, pbyOut + (pbyOut ? nSize : 0));
  delete[] pbyOut;
  return der;
}

// Everything but the source pointers.
void ExpectSameTree(const NodeEx& a, const NodeEx& b) {
  EXPECT_EQ(a.byTag, b.byTag);
  EXPECT_EQ(a.nValueOffset, b.nValueOffset);
  EXPECT_EQ(a.nLengthOctetsSize, b.nLengthOctetsSize);
  EXPECT_EQ(a.nValueLength, b.nValueLength);
  EXPECT_EQ(a.nNodeLength, b.nNodeLength);
  EXPECT_EQ(a.nSourceSize, b.nSourceSize);
  EXPECT_EQ(a.bIndefinite, b.bIndefinite);
  ASSERT_EQ(a.vetNodes.size(), b.vetNodes.size());
  for (std::size_t i = 0; i < a.vetNodes.size(); ++i)
    ExpectSameTree(*a.vetNodes[i], *b.vetNodes[i]);
}

// A certificate-like mix: long forms, nested indefinite, empty SET, context tags.
Bytes Sample() {
  Bytes body = Wrap(0x06, Hex("2A 81 1C CF 55 01 82 2D"));
  const Bytes integer = Wrap(0x02, Bytes(200, 0x42));
  body.insert(body.end(), integer.begin(), integer.end());
  const Bytes tagged = Hex("A0 80 30 80 04 01 41 00 00 31 00 00 00");
  body.insert(body.end(), tagged.begin(), tagged.end());
  const Bytes octets = Hex("04 03 30 01 00");
  body.insert(body.end(), octets.begin(), octets.end());
  return Wrap(0x30, body);
}

Bytes Definite() {
  Bytes body = Wrap(0x06, Hex("2A 81 1C CF 55 01 68 02"));
  const Bytes set = Wrap(0x31, Wrap(0x30, Wrap(0x02, Bytes(130, 0x80))));
  body.insert(body.end(), set.begin(), set.end());
  const Bytes tagged = Wrap(0xA0, Wrap(0x04, Bytes(3, 0x01)));
  body.insert(body.end(), tagged.begin(), tagged.end());
  return Wrap(0x30, body);
}

TEST(ASN1EngineExDecode, ShapesOfDecodedTrees) {
  struct Case {
    const char* hex;
    std::int64_t nValueLength;
    std::int64_t nNodeLength;
    std::size_t nChildren;
  };
  const Case cases[] = {
      {"30 80 02 01 05 00 00", 5, 7, 1},
      {"04 03 30 01 00", 3, 5, 0},  // an OCTET STRING is never looked into
      {"A0 03 02 01 07", 3, 5, 1},
      {"85 01 07", 1, 3, 0},
      {"90 01 07", 1, 3, 0},              // primitive context tag: no children
      {"24 80 04 01 41 00 00", 5, 7, 1},  // constructed OCTET STRING: children
      {"30 80 00 00", 2, 4, 0},
      {"30 80 30 80 02 01 01 00 00 02 01 02 00 00", 12, 14, 2},
      {"04 80 41 42 00 00", 4, 6, 0},
      {"30 81 03 02 01 01", 3, 6, 1},  // non-minimal lengths are read as BER
      {"30 84 00 00 00 03 02 01 01", 3, 9, 1},
      {"30 03 02 01 01 FF FF", 3, 5, 1},  // bytes after the root are not looked at
      {"05 00", 0, 2, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.hex);
    const Bytes der = Hex(c.hex);
    NodeExPtr root;
    ASSERT_EQ(DecodeMemory(der, root), ORLO_OK);
    EXPECT_EQ(root->nValueLength, c.nValueLength);
    EXPECT_EQ(root->nNodeLength, c.nNodeLength);
    EXPECT_EQ(root->bIndefinite, 0);
    EXPECT_EQ(root->nDataLength, 0);
    EXPECT_EQ(root->pbySource, der.data());
    EXPECT_EQ(root->nSourceSize, static_cast<std::int64_t>(der.size()));
    ASSERT_EQ(root->vetNodes.size(), c.nChildren);
    for (const auto& pChild : root->vetNodes) EXPECT_EQ(pChild->pParent, root.get());
  }
}

TEST(ASN1EngineExDecode, MalformedEncodingsFail) {
  for (const char* hex : {
           "", "30", "30 80",
           "30 03 02 02 01",  // child past its parent
           "30 05 02 01 01",  // value past the buffer
           "30 80 02 01 05",  // no end-of-contents
           "30 80 02 01 05 00",
           "30 80 30 80 02 01 01 00 00",     // inner closed, outer not
           "30 05 A0 80 02 01 07 00 00",     // indefinite child past a definite parent
           "04 80 41 42 00",                 // primitive without its terminator
           "04 85 01 00 00 00 01 07",        // 4 GiB + 1, not 1
           "04 88 FF FF FF FF FF FF FF FF",  // does not fit at all
           "04 84 FF FF FF",                 // length octets cut short
           "1F 01 00",                       // high tag number
       }) {
    SCOPED_TRACE(hex);
    const Bytes der = Hex(hex);
    NodeExPtr root;
    EXPECT_EQ(DecodeMemory(der, root), ORLO_FAILED);
    EXPECT_FALSE(root);
    File file = OpenBytes(der);
    EXPECT_EQ(DecodeFile(file.get(), root), ORLO_FAILED);
    EXPECT_FALSE(root);
  }
  NodeEx* pRoot = nullptr;
  EXPECT_EQ(DecodeASN1MemoryEx(nullptr, 3, &pRoot), ORLO_FAILED);
  EXPECT_EQ(DecodeASN1MemoryEx(Hex("05 00").data(), -1, &pRoot), ORLO_FAILED);
  EXPECT_EQ(DecodeASN1FileEx(nullptr, &pRoot), ORLO_FAILED);
}

TEST(ASN1EngineExDecode, DepthBelow128Levels) {
  for (const bool bIndefinite : {false, true}) {
    for (const int nLevels : {127, 128}) {
      Bytes der;
      if (bIndefinite) {
        for (int i = 0; i < nLevels; ++i) der.insert(der.end(), {0x30, 0x80});
        for (int i = 0; i < nLevels; ++i) der.insert(der.end(), {0x00, 0x00});
      } else {
        der = Hex("30 00");
        for (int i = 1; i < nLevels; ++i) der = Wrap(0x30, der);
      }
      NodeExPtr root;
      EXPECT_EQ(DecodeMemory(der, root), nLevels < 128 ? ORLO_OK : ORLO_FAILED)
          << nLevels << (bIndefinite ? " indefinite" : " definite");
    }
  }
}

TEST(ASN1EngineExDecode, EveryTruncationFailsInMemoryAndInAFile) {
  for (const Bytes& der : {Sample(), Definite(), Hex("30 80 30 80 02 01 01 00 00 00 00")}) {
    NodeExPtr root;
    ASSERT_EQ(DecodeMemory(der, root), ORLO_OK);
    for (std::size_t n = 0; n < der.size(); ++n) {
      const Bytes prefix(der.begin(), der.begin() + static_cast<std::ptrdiff_t>(n));
      EXPECT_EQ(DecodeMemory(prefix, root), ORLO_FAILED) << n;
      File file = OpenBytes(prefix);
      ASSERT_TRUE(file);
      EXPECT_EQ(DecodeFile(file.get(), root), ORLO_FAILED) << n;
    }
  }
}

TEST(ASN1EngineExDecode, FileAndMemoryGiveTheSameTreeAndTheSameBytesBack) {
  for (const Bytes& der : {Sample(), Definite()}) {
    NodeExPtr fromMemory;
    ASSERT_EQ(DecodeMemory(der, fromMemory), ORLO_OK);
    File file = OpenBytes(der);
    NodeExPtr fromFile;
    ASSERT_EQ(DecodeFile(file.get(), fromFile), ORLO_OK);
    EXPECT_EQ(fromFile->pFile, file.get());
    ExpectSameTree(*fromMemory, *fromFile);
  }
  // Definite DER comes back unchanged, from either source.
  const Bytes der = Definite();
  NodeExPtr root;
  ASSERT_EQ(DecodeMemory(der, root), ORLO_OK);
  EXPECT_EQ(Encode(root.get()), der);
  File file = OpenBytes(der);
  ASSERT_EQ(DecodeFile(file.get(), root), ORLO_OK);
  EXPECT_EQ(Encode(root.get()), der);
}

TEST(ASN1EngineExDecode, FilesOfFourGibibytesAndMoreAreLocatedNotRead) {
  // SEQUENCE { OCTET STRING } filling a sparse file just over 4 GiB.
  const std::int64_t nFileSize = (std::int64_t{1} << 32) + 21;
  const std::int64_t nRoot = nFileSize - 7, nLeaf = nFileSize - 14;
  auto Length5 = [](std::int64_t n) {
    return Bytes{0x85,
                 static_cast<BYTE>(n >> 32),
                 static_cast<BYTE>(n >> 24),
                 static_cast<BYTE>(n >> 16),
                 static_cast<BYTE>(n >> 8),
                 static_cast<BYTE>(n)};
  };
  Bytes header{0x30};
  for (BYTE b : Length5(nRoot)) header.push_back(b);
  header.push_back(0x04);
  for (BYTE b : Length5(nLeaf)) header.push_back(b);
  const auto path =
      testsupport::WriteTempFile("big.der", std::string(header.begin(), header.end()));
  if (::truncate(path.c_str(), nFileSize) != 0) GTEST_SKIP() << "no sparse files here";

  File file(std::fopen(path.c_str(), "rb"));
  NodeExPtr root;
  ASSERT_EQ(DecodeFile(file.get(), root), ORLO_OK);
  EXPECT_EQ(root->nSourceSize, nFileSize);
  EXPECT_EQ(root->nValueLength, nRoot);
  ASSERT_EQ(root->vetNodes.size(), 1u);
  EXPECT_EQ(root->vetNodes[0]->nValueOffset, 14);
  EXPECT_EQ(root->vetNodes[0]->nValueLength, nLeaf);
  EXPECT_EQ(root->vetNodes[0]->nNodeLength, nRoot);
  root.reset();
  file.reset();

  // One byte short: the announced value runs past the end.
  if (::truncate(path.c_str(), nFileSize - 1) != 0) FAIL();
  file.reset(std::fopen(path.c_str(), "rb"));
  EXPECT_EQ(DecodeFile(file.get(), root), ORLO_FAILED);
  std::remove(path.c_str());
}

TEST(ASN1EngineExDuplicate, ADecodedDuplicateOutlivesItsOriginal) {
  const Bytes der = Sample();
  NodeExPtr original;
  ASSERT_EQ(DecodeMemory(der, original), ORLO_OK);
  NodeEx* pCopy = nullptr;
  ASSERT_EQ(DuplicateNodeEx(original->vetNodes[2].get(), &pCopy, TRUE), ORLO_OK);
  NodeExPtr copy(pCopy);
  NodeExPtr fresh;
  ASSERT_EQ(DecodeMemory(der, fresh), ORLO_OK);
  original.reset();
  EXPECT_EQ(copy->pParent, nullptr);
  ExpectSameTree(*copy, *fresh->vetNodes[2]);
  EXPECT_EQ(copy->vetNodes[0]->pParent, copy.get());
}

}  // namespace
