// Building trees and the small encoders: length octets, one TLV, node sizes.
#include <climits>
#include <cstring>
#include <new>

#include "smengine/asn1/ASN1EngineEx.h"
#include "smengine/asn1/ASN1EngineTlv.h"
#include "smengine/common/EngineResult.h"
#include "trace/Trace.h"

namespace {
constexpr const char* kSourceUnit = "ASN1EngineEx";
}  // namespace

void FreeNodeEx(NodeEx* pNode) { delete pNode; }

int EncodeASN1Length(BYTE** ppbyLengthOctets, std::int64_t nLength) {
  EngineTrace trace(kSourceUnit, "EncodeASN1Length");
  BYTE byOctets[asn1::kMaxLengthOctets];
  const int nCount = asn1::WriteLengthOctets(nLength, byOctets);
  if (nCount < 0) return trace.Failed("Check parameter", ORLO_FAILED, "nLength < 0");
  if (!ppbyLengthOctets) return nCount;

  BYTE* pbyOut = new (std::nothrow) BYTE[static_cast<std::size_t>(nCount)];
  if (!pbyOut) return trace.Failed("New memory", ORLO_FAILED, "NULL == pbyLengthOctets");
  std::memcpy(pbyOut, byOctets, static_cast<std::size_t>(nCount));
  *ppbyLengthOctets = pbyOut;
  return nCount;
}

int ASN1Encode(BYTE** ppbyEncodedData, int* pnEncodedDataLength, BYTE byTag, const BYTE* pbyValue,
               int nValueLength) {
  EngineTrace trace(kSourceUnit, "ASN1Encode");
  if (!ppbyEncodedData || !pnEncodedDataLength || nValueLength < 0 ||
      (nValueLength > 0 && !pbyValue))
    return trace.Failed("Check parameter", ORLO_FAILED,
                        "NULL == ppbyEncodedData || NULL == pnEncodedDataLength || "
                        "nValueLength < 0 || (nValueLength > 0 && NULL == pbyValue)");

  BYTE byLength[asn1::kMaxLengthOctets];
  const int nLengthOfLength = asn1::WriteLengthOctets(nValueLength, byLength);
  if (-1 == nLengthOfLength)
    return trace.Failed("EncodeASN1Length", ORLO_FAILED, "-1 == nLengthOfLength");
  const std::int64_t nTotal = std::int64_t{1} + nLengthOfLength + nValueLength;
  if (nTotal > INT_MAX) return trace.Failed("Check size", ORLO_FAILED, "nTotal > INT_MAX");

  BYTE* pbyEncodedData = new (std::nothrow) BYTE[static_cast<std::size_t>(nTotal)];
  if (!pbyEncodedData) return trace.Failed("New memory", ORLO_FAILED, "!pbyEncodedData");
  pbyEncodedData[0] = byTag;
  std::memcpy(pbyEncodedData + 1, byLength, static_cast<std::size_t>(nLengthOfLength));
  if (nValueLength > 0)
    std::memcpy(pbyEncodedData + 1 + nLengthOfLength, pbyValue,
                static_cast<std::size_t>(nValueLength));
  *ppbyEncodedData = pbyEncodedData;
  *pnEncodedDataLength = static_cast<int>(nTotal);
  return ORLO_OK;
}

std::int64_t GetNodeExEncodedLength(const NodeEx* pNode) {
  if (!pNode) return -1;
  const int nLengthOctets = asn1::LengthOctetsCount(pNode->nValueLength);
  if (nLengthOctets < 0 || pNode->nDataLength < 0) return -1;
  return 1 + nLengthOctets + pNode->nDataLength;
}

int SetNodeExValue(NodeEx* pNode, const BYTE* pbyValue, std::int64_t nLength) {
  EngineTrace trace(kSourceUnit, "SetNodeExValue");
  if (!pNode || nLength < 0 || nLength > MAX_ASN1_DATA_MEMORY_SIZE || (nLength > 0 && !pbyValue))
    return trace.Failed("Check parameter", ORLO_FAILED,
                        "NULL == pNode || nLength out of range || NULL == pbyValue");
  std::unique_ptr<BYTE[]> pValue(new (std::nothrow) BYTE[static_cast<std::size_t>(nLength)]);
  if (!pValue) return trace.Failed("New memory", ORLO_FAILED, "NULL == pValue");
  if (nLength > 0) std::memcpy(pValue.get(), pbyValue, static_cast<std::size_t>(nLength));
  pNode->pValue = std::move(pValue);
  pNode->nValueLength = nLength;
  pNode->nDataLength = nLength;
  return ORLO_OK;
}

int AddChildNodeEx(NodeEx* pChildNode, NodeEx* pParentNode) {
  EngineTrace trace(kSourceUnit, "AddChildNodeEx");
  if (!pChildNode) return ORLO_OK;
  if (!pParentNode || pChildNode->pParent || pChildNode == pParentNode)
    return trace.Failed("Check parameter", ORLO_FAILED,
                        "NULL == pParentNode || NULL != pChildNode->pParent");

  const int nLengthOctets = asn1::LengthOctetsCount(pChildNode->nValueLength);
  if (nLengthOctets < 0 || pChildNode->nDataLength < 0)
    return trace.Failed("Check child lengths", ORLO_FAILED,
                        "pChildNode->nValueLength < 0 || pChildNode->nDataLength < 0");
  try {
    pParentNode->vetNodes.emplace_back(pChildNode);
  } catch (const std::bad_alloc&) {  // nothing was taken: the caller still owns the child
    return trace.Failed("vector::push_back", ORLO_FAILED, "std::bad_alloc");
  }
  pChildNode->pParent = pParentNode;
  pParentNode->nValueLength += 1 + nLengthOctets + pChildNode->nValueLength;
  pParentNode->nDataLength += 1 + nLengthOctets + pChildNode->nDataLength;
  return ORLO_OK;
}
