#include "smengine/asn1/ASN1Engine.h"

#include <cinttypes>
#include <climits>
#include <cstring>
#include <new>

#include "smengine/asn1/ASN1EngineParse.h"
#include "smengine/asn1/ASN1EngineTlv.h"
#include "smengine/common/EngineResult.h"
#include "trace/Trace.h"

namespace {

constexpr const char* kSourceUnit = "ASN1Engine";

// Counts every node in the tree; the counter is never decremented.
class CountTraits {
 public:
  using NodeType = Node;
  static constexpr std::int64_t kMaxLength = INT_MAX;
  static constexpr const char* kTlvStep = "ParseASN1TLV";
  static constexpr const char* kEndStep = "GetInfiniteLength";
  static constexpr const char* kCounterStep = "Check node count";
  static constexpr const char* kPiecesStep = "Check pieces";

  explicit CountTraits(int& nCount) : m_nCount(nCount) {}
  const char* Enter() {
    return ++m_nCount <= MAX_ASN1_NODE_COUNT ? nullptr : "*pnNodeCount > MAX_ASN1_NODE_COUNT";
  }
  void Leave() {}
  void Finished(const Node& node) { PrintNode(&node); }
  bool LeavePieces(const Node&) const { return false; }

  static asn1::TlvHeader HeaderOf(const Node& node) { return asn1::HeaderOfNode(node); }
  static void Assign(Node& node, const asn1::TlvHeader& header) {
    asn1::AssignHeader(node, header);
  }
  static void SetDefiniteLength(Node& node, std::int64_t nValueLength) {
    node.nValueLength = static_cast<int>(nValueLength);
    node.nNodeLength = static_cast<int>(1 + node.nLengthOctetsSize + nValueLength);
    node.bIndefinite = 0;
  }
  static Node& AddChild(Node& parent, const asn1::TlvHeader& header) {
    auto& pChild = parent.vetNodes.emplace_back(std::make_unique<Node>());
    pChild->pFile = parent.pFile;
    pChild->pbyData = parent.pbyData;
    pChild->nFileSize = parent.nFileSize;
    pChild->nDataSize = parent.nDataSize;
    pChild->pParent = &parent;
    Assign(*pChild, header);
    return *pChild;
  }

 private:
  int& m_nCount;
};

bool IsEncodableTag(BYTE byTag) {
  switch (byTag) {
    case 0x02:
    case 0x04:
    case 0x06:
    case 0x0C:
    case 0x13:
    case 0x16:
    case 0x1E:
    case 0x30:
    case 0x31:
    case 0x80:
    case 0xA0:
      return true;
    default:
      return false;
  }
}

// A node from outside may carry any numbers; its own header must lie in its
// source before its value is walked.
bool HeaderFits(const Node& node, std::int64_t nSourceSize) {
  if (node.nValueOffset < 0 || node.nValueOffset > nSourceSize) return false;
  if (node.bIndefinite) return true;
  return node.nValueLength >= 0 && node.nValueLength <= nSourceSize - node.nValueOffset;
}

}  // namespace

void FreeNode(Node* pNode) { delete pNode; }

HRESULT CalculateASNValueLength(DWORD dwLength, BYTE** ppbyLengthOctets, DWORD* pdwSize) {
  EngineTrace trace(kSourceUnit, "CalculateASNValueLength");
  if (NULL == ppbyLengthOctets || NULL == pdwSize)
    return trace.Failed("Check parameter", E_POINTER,
                        "NULL == ppbyLengthOctets || NULL == pdwSize");
  if (0 == dwLength) return trace.Failed("Check parameter", E_FAIL, "0 == dwLength");

  BYTE byOctets[asn1::kMaxLengthOctets];
  const int nCount = asn1::WriteLengthOctets(dwLength, byOctets);
  BYTE* pbyOut = new (std::nothrow) BYTE[static_cast<std::size_t>(nCount)];
  if (!pbyOut) return trace.Failed("New memory", E_OUTOFMEMORY, "NULL == pbyLengthOctets");
  std::memcpy(pbyOut, byOctets, static_cast<std::size_t>(nCount));
  *ppbyLengthOctets = pbyOut;
  *pdwSize = static_cast<DWORD>(nCount);
  return S_OK;
}

HRESULT ASN1Encode(BYTE byTag, const BYTE* pbyValue, DWORD dwValueLength, BYTE** ppbyEncoded,
                   DWORD* pdwEncodedSize) {
  EngineTrace trace(kSourceUnit, "ASN1Encode");
  if (NULL == ppbyEncoded || NULL == pdwEncodedSize || (dwValueLength > 0 && NULL == pbyValue))
    return trace.Failed("Check parameter", E_POINTER,
                        "NULL == ppbyEncoded || NULL == pdwEncodedSize || NULL == pbyValue");
  if (!IsEncodableTag(byTag)) return trace.Failed("Check tag", E_FAIL, "unsupported byTag");

  BYTE* pbyLength = nullptr;
  DWORD dwLengthSize = 0;
  const HRESULT hResult = CalculateASNValueLength(dwValueLength, &pbyLength, &dwLengthSize);
  if (FAILED(hResult)) return trace.Failed("CalculateASNValueLength", hResult, "FAILED(hResult)");
  std::unique_ptr<BYTE[]> pLength(pbyLength);

  const std::uint64_t nTotal = std::uint64_t{1} + dwLengthSize + dwValueLength;
  if (nTotal > UINT32_MAX) return trace.Failed("Check size", E_FAIL, "nTotal > UINT32_MAX");
  BYTE* pbyOut = new (std::nothrow) BYTE[static_cast<std::size_t>(nTotal)];
  if (!pbyOut) return trace.Failed("New memory", E_OUTOFMEMORY, "NULL == pbyEncoded");
  pbyOut[0] = byTag;
  std::memcpy(pbyOut + 1, pLength.get(), dwLengthSize);
  std::memcpy(pbyOut + 1 + dwLengthSize, pbyValue, dwValueLength);
  *ppbyEncoded = pbyOut;
  *pdwEncodedSize = static_cast<DWORD>(nTotal);
  return S_OK;
}

int ParseNode(Node* pNode, int* pnNodeCount) {
  EngineTrace trace(kSourceUnit, "ParseNode");
  if (NULL == pNode || NULL == pnNodeCount || (NULL == pNode->pbyData && NULL == pNode->pFile) ||
      pNode->nDataSize < 0 || pNode->nFileSize < 0)
    return trace.Failed("Check parameter", ORLO_FAILED, "NULL == pNode || NULL == pnNodeCount");
  const asn1::Source source = pNode->pbyData
                                  ? asn1::Source::Memory(pNode->pbyData, pNode->nDataSize)
                                  : asn1::Source::File(pNode->pFile, pNode->nFileSize);
  if (!HeaderFits(*pNode, source.Size()))
    return trace.Failed("Check node", ORLO_FAILED, "nValueOffset + nValueLength > source size");

  CountTraits traits(*pnNodeCount);
  try {
    return asn1::ParseTree(traits, trace, *pNode, source, source.Size());
  } catch (const std::bad_alloc&) {
    return trace.Failed("ParseNode", ORLO_FAILED, "std::bad_alloc");
  }
}

int DecodeASN1Memory(Node** ppRootNode, const BYTE* pbyData, int nDataSize) {
  EngineTrace trace(kSourceUnit, "DecodeASN1Memory");
  if (NULL == ppRootNode) return trace.Failed("Check parameter", ORLO_FAILED, "NULL == ppRootNode");
  *ppRootNode = nullptr;

  const asn1::Source source =
      asn1::Source::Memory(pbyData, pbyData && nDataSize > 0 ? nDataSize : 0);
  asn1::TlvHeader header;
  if (const char* pszReason = asn1::ReadTlv(source, 0, source.Size(), INT_MAX, &header))
    return trace.Failed("ParseASN1TLV", ASN1_DECODE_ROOT_FAILED, pszReason);

  std::unique_ptr<Node> pRoot(new (std::nothrow) Node);
  if (!pRoot) return trace.Failed("New Node", ORLO_FAILED, "NULL == pRootNode");
  pRoot->pbyData = pbyData;
  pRoot->nDataSize = nDataSize;
  CountTraits::Assign(*pRoot, header);

  int nNodeCount = 0;
  const int nResult = ParseNode(pRoot.get(), &nNodeCount);
  if (ORLO_OK != nResult) return trace.Failed("ParseNode", nResult, "ORLO_OK != nResult");
  *ppRootNode = pRoot.release();
  trace.Ok("ParseNode");
  return ORLO_OK;
}

void PrintNode(const Node* pNode) {
  if (!pNode || !IsTraceOn(TRACE_FLAG_INFO)) return;
  char szStep[96];
  std::snprintf(szStep, sizeof szStep, "Tag:0x%02X ValueLength:%d ValueOffset:%" PRId64,
                pNode->byTag, pNode->nValueLength, pNode->nValueOffset);
  EngineTrace(kSourceUnit, "PrintNode").Ok(szStep);
}
