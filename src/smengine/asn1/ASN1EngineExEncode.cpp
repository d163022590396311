// DER of a NodeEx tree into one buffer sized before anything is written.
#include <cstring>
#include <new>

#include "platform/fs/Files.h"
#include "resources/ResultCodes.h"
#include "smengine/asn1/ASN1EngineEx.h"
#include "smengine/asn1/ASN1EngineTlv.h"
#include "smengine/common/EngineResult.h"
#include "trace/Trace.h"

namespace {

constexpr const char* kSourceUnit = "ASN1EngineEx";
constexpr const char* kFunction = "EncodeASN1ToMemory";

enum class ValueFrom { Nothing, Built, Memory, File };

// Which value a leaf writes. Sizing and writing both ask here, so the buffer
// always matches what is written.
ValueFrom ValueSourceOf(const NodeEx& node) {
  if (node.nDataLength > 0) return ValueFrom::Built;
  if (node.nValueLength > 0 && node.pbySource) return ValueFrom::Memory;
  if (node.nValueLength > 0 && node.pFile) return ValueFrom::File;
  return ValueFrom::Nothing;
}

std::int64_t ValueBytesOf(const NodeEx& node) {
  switch (ValueSourceOf(node)) {
    case ValueFrom::Built:
      return node.nDataLength;
    case ValueFrom::Memory:
    case ValueFrom::File:
      return node.nValueLength;
    case ValueFrom::Nothing:
      break;
  }
  return 0;
}

struct Measure {
  std::int64_t nBytes = 0;
  bool bTooDeep = false;
  bool bMalformed = false;
};

// Stops adding once past the limit, so neither time nor the sum runs away on
// a huge tree; does not descend below the depth limit.
void MeasureNode(const NodeEx& node, int nLevel, Measure& measure) {
  if (measure.nBytes > MAX_ASN1_DATA_MEMORY_SIZE || measure.bMalformed) return;
  if (++nLevel > MAX_RECURSIVE_DEEP_LEVEL) {
    measure.bTooDeep = true;
    return;
  }
  const int nLengthOctets = asn1::LengthOctetsCount(node.nValueLength);
  if (nLengthOctets < 0 || node.nDataLength < 0) {
    measure.bMalformed = true;
    return;
  }
  measure.nBytes += 1 + nLengthOctets;
  if (node.vetNodes.empty()) {
    measure.nBytes += ValueBytesOf(node);
    return;
  }
  for (const auto& pChild : node.vetNodes) {
    if (!pChild) {
      measure.bMalformed = true;
      return;
    }
    MeasureNode(*pChild, nLevel, measure);
  }
}

// Appends inside the buffer it was given and nowhere else.
class Writer {
 public:
  Writer(BYTE* pbyBuffer, std::int64_t nCapacity)
      : m_pbyBuffer(pbyBuffer), m_nCapacity(nCapacity) {}

  std::int64_t Offset() const { return m_nOffset; }
  BYTE* Reserve(std::int64_t nCount) {
    if (nCount < 0 || nCount > m_nCapacity - m_nOffset) return nullptr;
    BYTE* pbyAt = m_pbyBuffer + m_nOffset;
    m_nOffset += nCount;
    return pbyAt;
  }
  bool Put(const BYTE* pbyData, std::int64_t nCount) {
    BYTE* pbyAt = Reserve(nCount);
    if (!pbyAt) return false;
    if (nCount > 0) std::memcpy(pbyAt, pbyData, static_cast<std::size_t>(nCount));
    return true;
  }

 private:
  BYTE* m_pbyBuffer;
  std::int64_t m_nCapacity;
  std::int64_t m_nOffset = 0;
};

class DepthGuard {
 public:
  explicit DepthGuard(int& nLevel) : m_nLevel(nLevel) { ++m_nLevel; }
  ~DepthGuard() { --m_nLevel; }
  DepthGuard(const DepthGuard&) = delete;
  DepthGuard& operator=(const DepthGuard&) = delete;

 private:
  int& m_nLevel;
};

int WriteValue(EngineTrace& trace, const NodeEx& node, Writer& writer) {
  switch (ValueSourceOf(node)) {
    case ValueFrom::Built:
      if (!node.pValue)
        return trace.Failed("Write value", ORLO_FAILED, "0 != nDataLength && NULL == pValue");
      if (!writer.Put(node.pValue.get(), node.nDataLength))
        return trace.Failed("Write value", ORLO_FAILED, "value past the buffer");
      return ORLO_OK;
    case ValueFrom::Memory:
    case ValueFrom::File: {
      if (node.nValueOffset < 0 || node.nValueLength > node.nSourceSize - node.nValueOffset)
        return trace.Failed("Read source", ORLO_FAILED,
                            "nValueOffset + nValueLength > nSourceSize");
      BYTE* pbyAt = writer.Reserve(node.nValueLength);
      if (!pbyAt) return trace.Failed("Write value", ORLO_FAILED, "value past the buffer");
      const asn1::Source source = node.pbySource
                                      ? asn1::Source::Memory(node.pbySource, node.nSourceSize)
                                      : asn1::Source::File(node.pFile, node.nSourceSize);
      if (!source.Read(node.nValueOffset, pbyAt, static_cast<std::size_t>(node.nValueLength)))
        return trace.Failed("Read source", ORLO_FAILED, "read of the value failed");
      return ORLO_OK;
    }
    case ValueFrom::Nothing:
      break;
  }
  return ORLO_OK;  // a node that only announces its length
}

int WriteNode(const NodeEx& node, Writer& writer, int& nLevel) {
  EngineTrace trace(kSourceUnit, kFunction);
  DepthGuard depth(nLevel);
  if (nLevel > MAX_RECURSIVE_DEEP_LEVEL)
    return trace.Failed("Check recursive deep level", SIGIL_E_RECURSION_TOO_DEEP,
                        "*pnCurrentDeepLevel > MAX_RECURSIVE_DEEP_LEVEL");

  BYTE byHeader[1 + asn1::kMaxLengthOctets];
  byHeader[0] = node.byTag;
  const int nLengthOctetsSize = asn1::WriteLengthOctets(node.nValueLength, byHeader + 1);
  if (-1 == nLengthOctetsSize)
    return trace.Failed("EncodeASN1Length", ORLO_FAILED, "-1 == nLengthOctetsSize");
  if (!writer.Put(byHeader, 1 + nLengthOctetsSize))
    return trace.Failed("Write header", ORLO_FAILED, "header past the buffer");

  if (node.vetNodes.empty()) return WriteValue(trace, node, writer);
  for (const auto& pChild : node.vetNodes) {
    const int nResult = WriteNode(*pChild, writer, nLevel);
    if (ORLO_OK != nResult) return trace.Failed("EncodeASN1Memory", nResult, "ORLO_OK != nResult");
  }
  return ORLO_OK;
}

}  // namespace

int EncodeASN1ToMemory(const NodeEx* pNode, BYTE** ppEncodedData, int* pnEncodedDataSize,
                       int* pnCurrentDeepLevel) {
  EngineTrace trace(kSourceUnit, kFunction);
  if (NULL == pNode || NULL == ppEncodedData || NULL == pnEncodedDataSize)
    return trace.Failed("Check parameter", ORLO_FAILED,
                        "NULL == pNode || NULL == ppEncodedData || NULL == pnEncodedDataSize");
  // Writing into a buffer of unknown size at an unknown offset could only
  // overrun it, so the tree always goes into a buffer made here.
  if (NULL != *ppEncodedData || 0 != *pnEncodedDataSize)
    return trace.Failed("Check parameter", ORLO_FAILED,
                        "NULL != *ppEncodedData || 0 != *pnEncodedDataSize");

  int nLocalLevel = 0;
  int& nLevel = pnCurrentDeepLevel ? *pnCurrentDeepLevel : nLocalLevel;
  if (nLevel < 0) return trace.Failed("Check parameter", ORLO_FAILED, "*pnCurrentDeepLevel < 0");

  Measure measure;
  MeasureNode(*pNode, nLevel, measure);
  const std::int64_t nCurrentRequiredLength = measure.nBytes;
  if (MAX_ASN1_DATA_MEMORY_SIZE < nCurrentRequiredLength)
    return trace.Failed("Check ASN.1 data size", SIGIL_E_DATA_TOO_LONG,
                        "MAX_ASN1_DATA_MEMORY_SIZE < nCurrentRequiredLength");
  if (measure.bTooDeep)
    return trace.Failed("Check recursive deep level", SIGIL_E_RECURSION_TOO_DEEP,
                        "*pnCurrentDeepLevel > MAX_RECURSIVE_DEEP_LEVEL");
  if (measure.bMalformed)
    return trace.Failed("Check parameter", ORLO_FAILED, "negative length or null child");

  std::unique_ptr<BYTE[]> pbyBuffer(new (std::nothrow)
                                        BYTE[static_cast<std::size_t>(nCurrentRequiredLength)]());
  if (!pbyBuffer) return trace.Failed("New memory", ORLO_FAILED, "NULL == *ppEncodedData");

  Writer writer(pbyBuffer.get(), nCurrentRequiredLength);
  const int nResult = WriteNode(*pNode, writer, nLevel);
  if (ORLO_OK != nResult) return trace.Failed("EncodeASN1Memory", nResult, "ORLO_OK != nResult");
  if (writer.Offset() != nCurrentRequiredLength)
    return trace.Failed("EncodeASN1Memory", ORLO_FAILED, "nOffset != nCurrentRequiredLength");

  *ppEncodedData = pbyBuffer.release();
  *pnEncodedDataSize = static_cast<int>(nCurrentRequiredLength);
  trace.Ok("EncodeASN1Memory");
  return ORLO_OK;
}
