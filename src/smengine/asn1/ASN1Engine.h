// The first ASN.1 engine: decoding DER in memory into a tree of Node records
// (at most 255 nodes), and wrapping one value in a tag and length.
// A decoded node copies nothing: the source must outlive the tree.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "platform/base/WinTypes.h"

// DecodeASN1Memory's answer when not even the root TLV can be read: the
// customer form of "ASN1 decode failed." (positive, not an HRESULT failure).
inline constexpr int ASN1_DECODE_ROOT_FAILED = 0x20001041;
inline constexpr int MAX_ASN1_NODE_COUNT = 255;

struct Node {
  FILE* pFile = nullptr;          // source of a file node
  const BYTE* pbyData = nullptr;  // source of a memory node
  BYTE byTag = 0;                 // the identifier octet, whole
  int nLengthOctetsSize = 0;
  int nValueLength = 0;           // -1 while still indefinite
  std::int64_t nValueOffset = 0;  // first value byte in the source
  int nNodeLength = 0;            // whole TLV, -1 while indefinite
  short bIndefinite = 0;
  int nFileSize = 0;        // limit of a file source
  int nDataSize = 0;        // limit of a memory source
  Node* pParent = nullptr;  // not owned
  std::vector<std::unique_ptr<Node>> vetNodes;

  Node() = default;
  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;
};

// Releases a whole tree (the same as delete); null is ignored.
void FreeNode(Node* pNode);

// DER length octets in a new[] buffer. E_FAIL for a length of 0,
// E_POINTER for null outputs, E_OUTOFMEMORY.
HRESULT CalculateASNValueLength(DWORD dwLength, BYTE** ppbyLengthOctets, DWORD* pdwSize);

// Tag, length and value in a new[] buffer. Only the tags 02 04 06 0C 13 16 1E
// 30 31 80 A0 are accepted, and the value must not be empty (E_FAIL).
HRESULT ASN1Encode(BYTE byTag, const BYTE* pbyValue, DWORD dwValueLength, BYTE** ppbyEncoded,
                   DWORD* pdwEncodedSize);

// ORLO_OK and a new tree; ASN1_DECODE_ROOT_FAILED when the root TLV cannot be
// read; -1 when the rest cannot (also past 255 nodes). On failure *ppRootNode
// is null.
int DecodeASN1Memory(Node** ppRootNode, const BYTE* pbyData, int nDataSize);

// Parses the value of a node whose header fields are set, adding children.
// *pnNodeCount counts every node parsed and is never lowered; reaching 256
// fails. -1 on failure (the children added so far stay with the node).
int ParseNode(Node* pNode, int* pnNodeCount);

// One trace line for the node: tag, value length and value offset.
void PrintNode(const Node* pNode);
