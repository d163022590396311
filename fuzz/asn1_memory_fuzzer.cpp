// Drives the first engine's decoder with arbitrary bytes: it must either
// refuse them or give a tree that stays inside them and within 255 nodes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "smengine/asn1/ASN1Engine.h"
#include "smengine/common/EngineResult.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

int CheckNode(const Node& node, std::int64_t nBegin, std::int64_t nEnd) {
  Check(node.bIndefinite == 0 && node.nValueLength >= 0);
  Check(node.nValueOffset - 1 - node.nLengthOctetsSize >= nBegin);
  Check(node.nValueOffset + node.nValueLength <= nEnd);
  Check(node.nNodeLength == 1 + node.nLengthOctetsSize + node.nValueLength);
  PrintNode(&node);
  int nCount = 1;
  std::int64_t nNext = node.nValueOffset;
  for (const auto& pChild : node.vetNodes) {
    Check(pChild->pParent == &node);
    nCount += CheckNode(*pChild, nNext, node.nValueOffset + node.nValueLength);
    nNext = pChild->nValueOffset + pChild->nValueLength;
  }
  return nCount;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > (1u << 20)) return 0;
  // A copy of exactly the input's size, so a read past it is caught.
  const std::vector<BYTE> der(data, data + size);
  Node* pRoot = nullptr;
  const int nResult = DecodeASN1Memory(&pRoot, der.data(), static_cast<int>(der.size()));
  std::unique_ptr<Node> root(pRoot);
  Check((nResult == ORLO_OK) == (root != nullptr));
  if (root)
    Check(CheckNode(*root, 0, static_cast<std::int64_t>(der.size())) <= MAX_ASN1_NODE_COUNT);
  return 0;
}
