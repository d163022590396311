// The second engine's decoders that leave one OCTET STRING in pieces where
// it lies. The first octet gives the path's length (1 to 4), the second its
// child indices (two bits each); the rest is the DER. Memory and file must agree, node for node and piece for
// piece, and a definite tree must give back the bytes it came from.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/fs/Files.h"
#include "smengine/asn1/ASN1EngineEx.h"
#include "smengine/common/EngineResult.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

using Bytes = std::vector<BYTE>;

void CheckSame(const NodeEx& a, const NodeEx& b) {
  Check(a.byTag == b.byTag && a.nValueOffset == b.nValueOffset &&
        a.nValueLength == b.nValueLength && a.nNodeLength == b.nNodeLength &&
        a.vetNodes.size() == b.vetNodes.size());
  for (std::size_t i = 0; i < a.vetNodes.size(); ++i) CheckSame(*a.vetNodes[i], *b.vetNodes[i]);
}

const NodeEx* Follow(const NodeEx* pNode, const std::vector<int>& path) {
  for (int index : path) {
    if (pNode == nullptr || static_cast<std::size_t>(index) >= pNode->vetNodes.size())
      return nullptr;
    pNode = pNode->vetNodes[static_cast<std::size_t>(index)].get();
  }
  return pNode;
}

// The pieces' bytes, read from memory (der) whatever the node's source.
int Joined(const NodeEx* pNode, const Bytes& der, Bytes* out) {
  out->clear();
  return ForEachOctetStringPiece(pNode, [&](std::int64_t nOffset, std::int64_t nLength) {
    Check(nOffset >= 0 && nLength >= 0 && nOffset + nLength <= std::int64_t(der.size()));
    out->insert(out->end(), der.begin() + nOffset, der.begin() + nOffset + nLength);
    return ORLO_OK;
  });
}

Bytes Encoded(const NodeEx* pNode) {
  BYTE* pbyOut = nullptr;
  int nOut = 0;
  Check(EncodeASN1ToMemory(pNode, &pbyOut, &nOut) == ORLO_OK);
  Bytes out(pbyOut, pbyOut + nOut);
  delete[] pbyOut;
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2 || size > (1u << 20)) return 0;
  std::vector<int> path;
  for (int i = 0; i <= (data[0] & 3); ++i) path.push_back((data[1] >> (2 * i)) & 3);
  const Bytes der(data + 2, data + size);

  NodeEx* pMemory = nullptr;
  const int nMemory = DecodeASN1MemoryExLeavingPieces(der.data(), static_cast<int>(der.size()),
                                                      path, &pMemory);
  std::unique_ptr<NodeEx> fromMemory(pMemory);
  UniqueFile file(std::tmpfile());
  Check(file != nullptr);
  if (!der.empty()) Check(std::fwrite(der.data(), 1, der.size(), file.get()) == der.size());
  std::fflush(file.get());
  NodeEx* pFile = nullptr;
  const int nFile = DecodeASN1FileExLeavingPieces(file.get(), path, &pFile);
  std::unique_ptr<NodeEx> fromFile(pFile);
  Check(nMemory == nFile && (fromMemory != nullptr) == (fromFile != nullptr));
  if (!fromMemory) return 0;
  CheckSame(*fromMemory, *fromFile);

  const NodeEx* pLeft = Follow(fromMemory.get(), path);
  if (pLeft != nullptr && (pLeft->byTag & 0x20) != 0) {
    Check(pLeft->vetNodes.empty());
    Bytes inMemory, inFile;
    const int nFromMemory = Joined(pLeft, der, &inMemory);
    // Checked at decode time: the pieces walk.
    Check(nFromMemory == ORLO_OK);
    Check(Joined(Follow(fromFile.get(), path), der, &inFile) == ORLO_OK);
    Check(inMemory == inFile);
    Check(static_cast<std::int64_t>(inMemory.size()) <= pLeft->nValueLength);
  }

  // A full decode that succeeds holds the same pieces as children.
  NodeEx* pFull = nullptr;
  if (DecodeASN1MemoryEx(der.data(), static_cast<int>(der.size()), &pFull) != ORLO_OK) return 0;
  std::unique_ptr<NodeEx> full(pFull);
  const NodeEx* pChildren = Follow(full.get(), path);
  if (pLeft != nullptr && pChildren != nullptr && (pLeft->byTag & 0x20) != 0) {
    Bytes left, children;
    Check(Joined(pLeft, der, &left) == ORLO_OK);
    if (Joined(pChildren, der, &children) == ORLO_OK) Check(left == children);
  }
  // Definite DER comes back unchanged either way.
  const Bytes again = Encoded(full.get());
  if (again.size() == der.size() && again == der) Check(Encoded(fromMemory.get()) == der);
  return 0;
}
