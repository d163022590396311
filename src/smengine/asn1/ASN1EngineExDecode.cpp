// Decoding into NodeEx trees, from memory or from a file of any size.
#include <algorithm>
#include <cstdint>
#include <new>
#include <span>

#include "smengine/asn1/ASN1EngineEx.h"
#include "smengine/asn1/ASN1EngineParse.h"
#include "smengine/common/EngineResult.h"
#include "smengine/common/Misc.h"
#include "trace/Trace.h"

namespace {

constexpr const char* kSourceUnit = "ASN1EngineEx";

// Counts the depth (1 at the root, must stay below MAX_RECURSIVE_DEEP_LEVEL)
// and every node made, and knows the one node whose pieces stay unexpanded.
class DecodeTraits {
 public:
  using NodeType = NodeEx;
  static constexpr std::int64_t kMaxLength = INT64_MAX;
  static constexpr const char* kTlvStep = "ParseASN1TLVEx";
  static constexpr const char* kEndStep = "GetInfiniteLengthEx";
  static constexpr const char* kCounterStep = "Check recursive deep level and node count";
  static constexpr const char* kPiecesStep = "Check OCTET STRING pieces";

  explicit DecodeTraits(std::span<const int> piecesPath) : m_piecesPath(piecesPath) {}

  const char* Enter() {
    if (++m_nNodes > MAX_ASN1EX_NODE_COUNT) return "nNodeCount > MAX_ASN1EX_NODE_COUNT";
    if (++m_nLevel >= MAX_RECURSIVE_DEEP_LEVEL)
      return "nCurrentDeepLevel >= MAX_RECURSIVE_DEEP_LEVEL";
    return nullptr;
  }
  void Leave() { --m_nLevel; }
  void Finished(const NodeEx&) {}

  // While a node is parsed it is the newest child at every level above it,
  // so its path is read off the sizes of its ancestors' child lists.
  bool LeavePieces(const NodeEx& node) const {
    if (m_piecesPath.empty() || static_cast<std::size_t>(m_nLevel - 1) != m_piecesPath.size())
      return false;
    const NodeEx* pNode = &node;
    for (std::size_t i = m_piecesPath.size(); i-- > 0; pNode = pNode->pParent) {
      if (pNode->pParent == nullptr ||
          pNode->pParent->vetNodes.size() != static_cast<std::size_t>(m_piecesPath[i]) + 1)
        return false;
    }
    return true;
  }

  static asn1::TlvHeader HeaderOf(const NodeEx& node) { return asn1::HeaderOfNode(node); }
  static void Assign(NodeEx& node, const asn1::TlvHeader& header) {
    asn1::AssignHeader(node, header);
  }
  static void SetDefiniteLength(NodeEx& node, std::int64_t nValueLength) {
    node.nValueLength = nValueLength;
    node.nNodeLength = 1 + node.nLengthOctetsSize + nValueLength;
    node.bIndefinite = 0;
  }
  NodeEx& AddChild(NodeEx& parent, const asn1::TlvHeader& header) {
    auto& pChild = parent.vetNodes.emplace_back(std::make_unique<NodeEx>());
    pChild->pFile = parent.pFile;
    pChild->pbySource = parent.pbySource;
    pChild->nSourceSize = parent.nSourceSize;
    pChild->pParent = &parent;
    Assign(*pChild, header);
    return *pChild;
  }

 private:
  std::span<const int> m_piecesPath;
  int m_nLevel = 0;
  int m_nNodes = 0;
};

int DecodeSource(EngineTrace& trace, const asn1::Source& source, FILE* fpFile,
                 const BYTE* pbySource, std::span<const int> piecesPath, NodeEx** ppRootNode) {
  asn1::TlvHeader header;
  if (const char* pszReason = asn1::ReadTlv(source, 0, source.Size(), INT64_MAX, &header))
    return trace.Failed("ParseASN1TLVEx", ORLO_FAILED,
                        asn1::Reason(pszReason, 0, source.Size()).szText);

  std::unique_ptr<NodeEx> pRoot(new (std::nothrow) NodeEx);
  if (!pRoot) return trace.Failed("New NodeEx", ORLO_FAILED, "NULL == pRootNode");
  pRoot->pFile = fpFile;
  pRoot->pbySource = pbySource;
  pRoot->nSourceSize = source.Size();
  DecodeTraits::Assign(*pRoot, header);

  DecodeTraits traits(piecesPath);
  int nResult = ORLO_FAILED;
  try {
    nResult = asn1::ParseTree(traits, trace, *pRoot, source, source.Size());
  } catch (const std::bad_alloc&) {
    return trace.Failed("ParseNodeEx", ORLO_FAILED, "std::bad_alloc");
  }
  // A half-parsed tree is of no use to anyone; it goes here, not to the caller.
  if (ORLO_OK != nResult) return trace.Failed("ParseNodeEx", nResult, "ORLO_OK != nResult");
  *ppRootNode = pRoot.release();
  trace.Ok("ParseNodeEx");
  return ORLO_OK;
}

std::unique_ptr<NodeEx> CopyNode(const NodeEx& existing, NodeEx* pParent, bool bDeep) {
  std::unique_ptr<NodeEx> pNew(new (std::nothrow) NodeEx);
  if (!pNew) return nullptr;
  pNew->pFile = existing.pFile;
  pNew->pbySource = existing.pbySource;
  pNew->nValueOffset = existing.nValueOffset;
  pNew->byTag = existing.byTag;
  pNew->nLengthOctetsSize = existing.nLengthOctetsSize;
  pNew->nValueLength = existing.nValueLength;
  pNew->nDataLength = existing.nDataLength;
  pNew->nNodeLength = existing.nNodeLength;
  pNew->nSourceSize = existing.nSourceSize;
  pNew->bIndefinite = existing.bIndefinite;
  pNew->pParent = pParent;
  if (existing.pValue) {
    // Its own copy: the original may be released first.
    const std::size_t nSize =
        existing.nDataLength > 0 ? static_cast<std::size_t>(existing.nDataLength) : 0;
    pNew->pValue.reset(new (std::nothrow) BYTE[nSize]);
    if (!pNew->pValue) return nullptr;
    std::copy_n(existing.pValue.get(), nSize, pNew->pValue.get());
  }
  if (!bDeep) return pNew;
  pNew->vetNodes.reserve(existing.vetNodes.size());
  for (const auto& pChild : existing.vetNodes) {
    if (!pChild) return nullptr;
    auto pCopy = CopyNode(*pChild, pNew.get(), true);
    if (!pCopy) return nullptr;
    pNew->vetNodes.push_back(std::move(pCopy));
  }
  return pNew;
}

}  // namespace

int DecodeASN1MemoryExLeavingPieces(const BYTE* pbySource, int nSourceSize,
                                    std::span<const int> piecesPath, NodeEx** ppRootNode) {
  EngineTrace trace(kSourceUnit, "DecodeASN1MemoryEx");
  if (NULL == ppRootNode || NULL == pbySource || nSourceSize < 0)
    return trace.Failed("Check parameter", ORLO_FAILED,
                        "NULL == ppRootNode || NULL == pbySource || nSourceSize < 0");
  *ppRootNode = nullptr;
  return DecodeSource(trace, asn1::Source::Memory(pbySource, nSourceSize), nullptr, pbySource,
                      piecesPath, ppRootNode);
}

int DecodeASN1FileExLeavingPieces(FILE* fpSource, std::span<const int> piecesPath,
                                  NodeEx** ppRootNode) {
  EngineTrace trace(kSourceUnit, "DecodeASN1FileEx");
  if (NULL == ppRootNode || NULL == fpSource)
    return trace.Failed("Check parameter", ORLO_FAILED, "NULL == ppRootNode || NULL == fpSource");
  *ppRootNode = nullptr;

  std::int64_t nFileSize = 0;
  const int nResult = GetFileSize_Ex64(fpSource, &nFileSize);
  if (ORLO_OK != nResult)
    return trace.Failed("GetFileSize_Ex64", ORLO_FAILED, "ORLO_OK != nResult");
  return DecodeSource(trace, asn1::Source::File(fpSource, nFileSize), fpSource, nullptr,
                      piecesPath, ppRootNode);
}

int DecodeASN1MemoryEx(const BYTE* pbySource, int nSourceSize, NodeEx** ppRootNode) {
  return DecodeASN1MemoryExLeavingPieces(pbySource, nSourceSize, {}, ppRootNode);
}

int DecodeASN1FileEx(FILE* fpSource, NodeEx** ppRootNode) {
  return DecodeASN1FileExLeavingPieces(fpSource, {}, ppRootNode);
}

namespace {

bool IsOctetStringTag(BYTE byTag) { return (byTag & 0xDF) == 0x04; }

int ChildPieces(EngineTrace& trace, const NodeEx& node, int nDepthLeft,
                const OctetStringPieceFn& onPiece) {
  if (nDepthLeft <= 0)
    return trace.Failed("Check pieces", ORLO_FAILED, "pieces nested deeper than kMaxPieceDepth");
  for (const auto& pChild : node.vetNodes) {
    if (!pChild || !IsOctetStringTag(pChild->byTag))
      return trace.Failed("Check pieces", ORLO_FAILED, "piece is no OCTET STRING");
    int nResult = ORLO_OK;
    if (!asn1::IsConstructedTag(pChild->byTag))
      nResult = onPiece(pChild->nValueOffset, pChild->nValueLength);
    else if (!pChild->vetNodes.empty())
      nResult = ChildPieces(trace, *pChild, nDepthLeft - 1, onPiece);
    else if (pChild->nValueLength != 0)
      return trace.Failed("Check pieces", ORLO_FAILED, "constructed piece without its pieces");
    if (ORLO_OK != nResult) return nResult;
  }
  return ORLO_OK;
}

}  // namespace

int ForEachOctetStringPiece(const NodeEx* pNode, const OctetStringPieceFn& onPiece) {
  EngineTrace trace(kSourceUnit, "ForEachOctetStringPiece");
  if (NULL == pNode || !onPiece || pNode->nValueLength < 0 || pNode->nValueOffset < 0)
    return trace.Failed("Check parameter", ORLO_FAILED,
                        "NULL == pNode || nValueLength < 0 || nValueOffset < 0");
  if (!asn1::IsConstructedTag(pNode->byTag)) return onPiece(pNode->nValueOffset, pNode->nValueLength);
  if (!pNode->vetNodes.empty())
    return ChildPieces(trace, *pNode, asn1::kMaxPieceDepth, onPiece);
  if (pNode->nValueLength == 0) return ORLO_OK;

  const asn1::Source source =
      pNode->pbySource ? asn1::Source::Memory(pNode->pbySource, pNode->nSourceSize)
                       : asn1::Source::File(pNode->pFile, pNode->pFile ? pNode->nSourceSize : 0);
  std::int64_t nEnd = 0;
  const char* pszReason = "";
  const int nResult = asn1::WalkOctetStringPieces(
      source, pNode->nValueOffset, pNode->nValueOffset + pNode->nValueLength,
      asn1::PiecesEnd::kEither, onPiece, &nEnd, &pszReason);
  if (ORLO_FAILED == nResult)
    return trace.Failed("WalkOctetStringPieces", ORLO_FAILED,
                        asn1::Reason(pszReason, pNode->nValueOffset, pNode->nValueLength).szText);
  return nResult;
}

int DuplicateNodeEx(const NodeEx* pExistingNode, NodeEx** ppNewNode, BOOL bDeep) {
  EngineTrace trace(kSourceUnit, "DuplicateNodeEx");
  if (NULL == pExistingNode || NULL == ppNewNode)
    return trace.Failed("Check parameter", ORLO_FAILED,
                        "NULL == pExistingNode || NULL == ppNewNode");
  std::unique_ptr<NodeEx> pNew;
  try {
    pNew = CopyNode(*pExistingNode, nullptr, bDeep != FALSE);
  } catch (const std::bad_alloc&) {
    pNew.reset();
  }
  if (!pNew) return trace.Failed("DuplicateNodeEx", ORLO_FAILED, "NULL == pNewNode");
  *ppNewNode = pNew.release();
  return ORLO_OK;
}
