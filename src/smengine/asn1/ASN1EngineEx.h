// The second ASN.1 engine: TLV trees that are decoded from memory or from a
// file, and trees built bottom-up and encoded to DER. Results are ORLO_OK,
// -1, or 0xA0071101 / 0xA0071102 from the encoder.
//
// A decoded node records where its value lies in the source and copies
// nothing, so the source buffer or file must outlive the tree. Lengths and
// offsets are 64-bit: a file of 4 GiB or more holds valid DER.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "platform/base/WinTypes.h"

inline constexpr int MAX_RECURSIVE_DEEP_LEVEL = 128;
inline constexpr std::int64_t MAX_ASN1_DATA_MEMORY_SIZE = 0x3200000;  // 50 MiB
// Nodes one decode may make, the root included. A node costs about 150
// bytes, so a tree never passes 10 MiB however small its elements are. What
// we read stays far below: a SignedData with its signer's certificate is
// about 120 nodes, each further certificate about 100, an envelope about 25
// plus 7 a recipient named by key identifier (about 35 by issuer and serial
// number), and an OCTET STRING left in pieces (see below) is one node.
inline constexpr int MAX_ASN1EX_NODE_COUNT = 65536;

struct NodeEx {
  FILE* pFile = nullptr;            // source of a decoded file node
  const BYTE* pbySource = nullptr;  // source of a decoded memory node
  std::int64_t nValueOffset = 0;    // first value byte in the source
  BYTE byTag = 0;                   // the identifier octet, whole
  int nLengthOctetsSize = 0;
  std::int64_t nValueLength = 0;   // -1 while still indefinite
  std::int64_t nDataLength = 0;    // value bytes this node writes when built; 0 when decoded
  std::unique_ptr<BYTE[]> pValue;  // value of a built leaf, nDataLength bytes
  std::int64_t nNodeLength = 0;    // whole TLV, -1 while indefinite
  std::int64_t nSourceSize = 0;
  short bIndefinite = 0;
  NodeEx* pParent = nullptr;  // not owned
  std::vector<std::unique_ptr<NodeEx>> vetNodes;

  NodeEx() = default;
  NodeEx(const NodeEx&) = delete;
  NodeEx& operator=(const NodeEx&) = delete;
};

// Releases a whole tree (the same as delete); null is ignored.
void FreeNodeEx(NodeEx* pNode);

// Number of DER length octets for nLength; with a non-null ppbyLengthOctets
// also a new[] buffer holding them. -1 for a negative length or no memory.
int EncodeASN1Length(BYTE** ppbyLengthOctets, std::int64_t nLength);

// One TLV in a new[] buffer. Any tag; an empty value gives tag 00.
int ASN1Encode(BYTE** ppbyEncodedData, int* pnEncodedDataLength, BYTE byTag, const BYTE* pbyValue,
               int nValueLength);

// 1 + length octets of nValueLength + nDataLength; -1 for a null node or a
// negative length.
std::int64_t GetNodeExEncodedLength(const NodeEx* pNode);

// Copies the bytes into pValue and sets nValueLength = nDataLength = nLength.
int SetNodeExValue(NodeEx* pNode, const BYTE* pbyValue, std::int64_t nLength);

// The parent takes ownership of the child and grows its lengths by the
// child's. The child's own lengths must be final. A null child is ignored;
// a null parent or a child that already has a parent gives -1 (and the
// caller keeps the child).
int AddChildNodeEx(NodeEx* pChildNode, NodeEx* pParentNode);

// DER of the whole tree in a new[] buffer. Pass a null buffer, an offset of
// 0 and, optionally, a depth counter (0). Values come from pValue, else from
// the node's source, else nothing (a node that only announces its length).
// On failure the buffer is released and set to null.
int EncodeASN1ToMemory(const NodeEx* pNode, BYTE** ppEncodedData, int* pnEncodedDataSize,
                       int* pnCurrentDeepLevel = nullptr);

// Decode the TLV at the start of the source. Bytes after the root are not
// looked at. On failure *ppRootNode is null; a tree deeper than
// MAX_RECURSIVE_DEEP_LEVEL or of more than MAX_ASN1EX_NODE_COUNT nodes fails
// like any other encoding that does not decode.
int DecodeASN1MemoryEx(const BYTE* pbySource, int nSourceSize, NodeEx** ppRootNode);
int DecodeASN1FileEx(FILE* fpSource, NodeEx** ppRootNode);

// The same, but the node at piecesPath (child indices from the root: {1, 0}
// is the first child of the root's second child), when it is constructed,
// is an OCTET STRING whose pieces stay where they lie: the node gets its
// length (the end-of-contents included, when indefinite) and no children,
// and its pieces are only checked. A bulk value split in millions of pieces
// costs one node; ForEachOctetStringPiece reads them.
int DecodeASN1MemoryExLeavingPieces(const BYTE* pbySource, int nSourceSize,
                                    std::span<const int> piecesPath, NodeEx** ppRootNode);
int DecodeASN1FileExLeavingPieces(FILE* fpSource, std::span<const int> piecesPath,
                                  NodeEx** ppRootNode);

// The value of a decoded OCTET STRING node as runs of its source: onPiece
// gets (offset, length) of its own value when it is primitive, else of each
// primitive piece in order, from its children or, for a node decoded without
// them, read from its source. ORLO_OK; ORLO_FAILED for pieces that are no
// OCTET STRINGs or do not walk; or the first other result of onPiece.
using OctetStringPieceFn = std::function<int(std::int64_t nOffset, std::int64_t nLength)>;
int ForEachOctetStringPiece(const NodeEx* pNode, const OctetStringPieceFn& onPiece);

// A copy of the node (and with bDeep of its subtree). The copy is the root of
// its own tree: its pParent is null. A built node's pValue is copied too.
int DuplicateNodeEx(const NodeEx* pExistingNode, NodeEx** ppNewNode, BOOL bDeep);
