// Drives the second engine's memory decoder with arbitrary bytes; a tree it
// accepts must stay inside them, and a definite one must encode back to the
// very bytes it came from.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "smengine/asn1/ASN1EngineEx.h"
#include "smengine/common/EngineResult.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

// Returns whether the subtree was written in definite form throughout.
bool CheckNode(const NodeEx& node, const std::vector<BYTE>& der, int nDepth) {
  Check(nDepth < MAX_RECURSIVE_DEEP_LEVEL);
  Check(node.bIndefinite == 0 && node.nValueLength >= 0 && node.nDataLength == 0);
  Check(node.nValueOffset + node.nValueLength <= static_cast<std::int64_t>(der.size()));
  Check(node.nNodeLength == 1 + node.nLengthOctetsSize + node.nValueLength);
  const std::int64_t nHeader = node.nValueOffset - node.nLengthOctetsSize;
  bool bDefinite = der[static_cast<std::size_t>(nHeader)] != 0x80;
  std::int64_t nChildren = 0;
  for (const auto& pChild : node.vetNodes) {
    Check(pChild->pParent == &node);
    bDefinite = CheckNode(*pChild, der, nDepth + 1) && bDefinite;
    nChildren += pChild->nNodeLength;
  }
  if (!node.vetNodes.empty() && bDefinite) Check(nChildren == node.nValueLength);
  return bDefinite;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > (1u << 20)) return 0;
  const std::vector<BYTE> der(data, data + size);
  NodeEx* pRoot = nullptr;
  const int nResult = DecodeASN1MemoryEx(der.data(), static_cast<int>(der.size()), &pRoot);
  std::unique_ptr<NodeEx> root(pRoot);
  Check((nResult == ORLO_OK) == (root != nullptr));
  if (!root || !CheckNode(*root, der, 0)) return 0;

  BYTE* pbyOut = nullptr;
  int nOut = 0;
  Check(EncodeASN1ToMemory(root.get(), &pbyOut, &nOut) == ORLO_OK);
  std::unique_ptr<BYTE[]> out(pbyOut);
  // Long forms need not be minimal on the way in; they are on the way out.
  if (nOut == root->nNodeLength)
    Check(std::memcmp(out.get(), der.data(), static_cast<std::size_t>(nOut)) == 0);
  else
    Check(nOut < root->nNodeLength);

  NodeEx* pCopy = nullptr;
  Check(DuplicateNodeEx(root.get(), &pCopy, TRUE) == ORLO_OK);
  root.reset();
  std::unique_ptr<NodeEx> copy(pCopy);
  BYTE* pbyAgain = nullptr;
  int nAgain = 0;
  Check(EncodeASN1ToMemory(copy.get(), &pbyAgain, &nAgain) == ORLO_OK);
  std::unique_ptr<BYTE[]> again(pbyAgain);
  Check(nAgain == nOut && std::memcmp(again.get(), out.get(), static_cast<std::size_t>(nOut)) == 0);
  return 0;
}
