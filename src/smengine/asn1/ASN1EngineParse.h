// The tree walk both decoders share. The engines differ only in their node
// record and in what their counters limit (nodes in the tree, depth), so
// those come from a traits object:
//   NodeType; kMaxLength; kTlvStep, kEndStep, kCounterStep, kPiecesStep;
//   const char* Enter();  // null, or why this node is one too many
//   void Leave(); void Finished(const NodeType&);
//   bool LeavePieces(const NodeType&);  // a constructed node kept unexpanded
//   static TlvHeader HeaderOf(const NodeType&);
//   static void SetDefiniteLength(NodeType&, std::int64_t nValueLength);
//   NodeType& AddChild(NodeType& parent, const TlvHeader&);  // may throw bad_alloc
// A node the traits keep unexpanded must be an OCTET STRING in pieces: they
// are checked and measured where they lie, and no node is made for them.
#pragma once

#include <cinttypes>
#include <cstdio>

#include "smengine/asn1/ASN1EngineTlv.h"
#include "smengine/common/EngineResult.h"
#include "trace/Trace.h"

namespace asn1 {

// The failing condition followed by the numbers it compared.
struct Reason {
  char szText[160];
  Reason(const char* pszCondition, std::int64_t nFirst, std::int64_t nSecond) {
    std::snprintf(szText, sizeof szText, "%s [%" PRId64 ", %" PRId64 "]", pszCondition, nFirst,
                  nSecond);
  }
};

// Both node records carry the same header fields; only their widths differ
// (every length fits: the engines' length caps are below both widths).
template <class NodeType>
TlvHeader HeaderOfNode(const NodeType& node) {
  TlvHeader header;
  header.byTag = node.byTag;
  header.nLengthOctetsSize = node.nLengthOctetsSize;
  header.nValueOffset = node.nValueOffset;
  header.nValueLength = node.nValueLength;
  header.bIndefinite = node.bIndefinite != 0;
  return header;
}

template <class NodeType>
void AssignHeader(NodeType& node, const TlvHeader& header) {
  node.byTag = header.byTag;
  node.nLengthOctetsSize = header.nLengthOctetsSize;
  node.nValueOffset = static_cast<decltype(node.nValueOffset)>(header.nValueOffset);
  node.nValueLength = static_cast<decltype(node.nValueLength)>(header.nValueLength);
  node.bIndefinite = header.bIndefinite ? 1 : 0;
  node.nNodeLength = static_cast<decltype(node.nNodeLength)>(header.NodeLength());
}

// Parses the value of a node whose own header is already read. nLimit is the
// end of the enclosing value (the source size for a root): an indefinite
// node may extend up to it, never past it.
template <class Traits>
int ParseTree(Traits& traits, EngineTrace& trace, typename Traits::NodeType& node,
              const Source& source, std::int64_t nLimit) {
  if (const char* pszRefused = traits.Enter())
    return trace.Failed(Traits::kCounterStep, ORLO_FAILED, pszRefused);

  const TlvHeader header = Traits::HeaderOf(node);
  if (IsConstructedTag(header.byTag) && traits.LeavePieces(node)) {
    const std::int64_t nEnd =
        header.bIndefinite ? nLimit : header.nValueOffset + header.nValueLength;
    std::int64_t nPiecesEnd = 0;
    const char* pszReason = "";
    if (ORLO_OK != WalkOctetStringPieces(
                       source, header.nValueOffset, nEnd,
                       header.bIndefinite ? PiecesEnd::kEndOfContents : PiecesEnd::kExact,
                       [](std::int64_t, std::int64_t) { return ORLO_OK; }, &nPiecesEnd,
                       &pszReason))
      return trace.Failed(Traits::kPiecesStep, ORLO_FAILED,
                          Reason(pszReason, header.nValueOffset, nEnd).szText);
    if (header.bIndefinite) Traits::SetDefiniteLength(node, nPiecesEnd - header.nValueOffset);
  } else if (!IsConstructedTag(header.byTag)) {
    if (header.bIndefinite) {
      const std::int64_t nEnd = FindEndOfContents(source, header.nValueOffset, nLimit);
      if (nEnd < 0)
        return trace.Failed(Traits::kEndStep, ORLO_FAILED,
                            Reason("no 00 00 before nLimit", header.nValueOffset, nLimit).szText);
      Traits::SetDefiniteLength(node, nEnd - header.nValueOffset);
    }
  } else if (header.bIndefinite || header.nValueLength != 0) {
    const std::int64_t nEnd =
        header.bIndefinite ? nLimit : header.nValueOffset + header.nValueLength;
    std::int64_t nConsumed = 0;
    for (;;) {
      const std::int64_t nPosition = header.nValueOffset + nConsumed;
      if (header.bIndefinite) {
        // Checked before each child, so an empty indefinite value works too.
        if (IsEndOfContents(source, nPosition, nEnd)) {
          Traits::SetDefiniteLength(node, nConsumed + 2);
          break;
        }
        if (nPosition >= nEnd)
          return trace.Failed(Traits::kEndStep, ORLO_FAILED,
                              Reason("no end-of-contents before nLimit", nPosition, nEnd).szText);
      } else if (nConsumed >= header.nValueLength) {
        break;
      }

      TlvHeader child;
      if (const char* pszReason = ReadTlv(source, nPosition, nEnd, Traits::kMaxLength, &child))
        return trace.Failed(Traits::kTlvStep, ORLO_FAILED,
                            Reason(pszReason, nPosition, nEnd).szText);
      auto& childNode = traits.AddChild(node, child);
      const int nResult = ParseTree(traits, trace, childNode, source, nEnd);
      if (ORLO_OK != nResult) return nResult;
      nConsumed += Traits::HeaderOf(childNode).NodeLength();
    }
  }
  traits.Finished(node);
  traits.Leave();
  return ORLO_OK;
}

}  // namespace asn1
