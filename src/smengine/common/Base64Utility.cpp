#include "smengine/common/Base64Utility.h"

#include <memory>
#include <new>

#include "resources/ResultCodes.h"
#include "smengine/common/Base64.h"
#include "smengine/common/EngineResult.h"
#include "trace/Trace.h"

namespace engine {
namespace {
constexpr const char* kSourceUnit = "Base64Utility";
}  // namespace

int Base64EncodeEx(int* pnLen, const unsigned char* pSrc, int nSrcLen, char** ppBase64EncodedStr) {
  EngineTrace trace(kSourceUnit, "Base64EncodeEx");

  if (ppBase64EncodedStr == nullptr)
    return trace.Failed("Check parameter", ORLO_INVALID_PARAMETER, "NULL == ppBase64EncodedStr");
  trace.Ok("Check parameter");

  const int nBase64Length = Base64EncodeGetRequiredLength(nSrcLen, ATL_BASE64_FLAG_NOCRLF);
  if (nBase64Length <= 0)
    return trace.Failed("Base64EncodeGetRequiredLength", SIGIL_E_BASE64_ENCODE,
                        "nBase64Length <= 0");
  trace.Ok("Base64EncodeGetRequiredLength");

  std::unique_ptr<char[]> pBase64EncodedStr(
      new (std::nothrow) char[std::size_t(nBase64Length) + 1]());
  if (!pBase64EncodedStr) return trace.Failed("New buffer", ORLO_FAILED, "!pBase64EncodedStr");
  trace.Ok("New buffer");

  int nEncodedLength = nBase64Length;
  const bool bSuccess =
      Base64Encode(pSrc, nSrcLen, pBase64EncodedStr.get(), &nEncodedLength, ATL_BASE64_FLAG_NOCRLF);
  if (false == bSuccess)
    return trace.Failed("Base64Encode", SIGIL_E_BASE64_ENCODE, "false == bSuccess");
  trace.Ok("Base64Encode");

  *ppBase64EncodedStr = pBase64EncodedStr.release();
  if (pnLen != nullptr) *pnLen = nEncodedLength;
  return ORLO_OK;
}

int Base64DecodeEx(unsigned char** ppDecodedData, unsigned int* pnDecodedSize, const char* pSrc,
                   int nSrcLen) {
  EngineTrace trace(kSourceUnit, "Base64DecodeEx");

  const int nDecodeDataSize = nSrcLen;
  if (nDecodeDataSize <= 0)
    return trace.Failed("Check parameter", SIGIL_E_BASE64_DECODE, "nDecodeDataSize <= 0");
  if (ppDecodedData == nullptr || pnDecodedSize == nullptr)
    return trace.Failed("Check parameter", ORLO_INVALID_PARAMETER,
                        "NULL == ppDecodedData || NULL == pnDecodedSize");
  trace.Ok("Check parameter");

  // Decoding only shrinks, so the text's length always suffices.
  std::unique_ptr<unsigned char[]> pDecodedData(
      new (std::nothrow) unsigned char[nDecodeDataSize]());
  if (!pDecodedData) return trace.Failed("New buffer", ORLO_FAILED, "!pDecodedData");
  trace.Ok("New buffer");

  int nDecodedLength = nDecodeDataSize;
  const bool bSuccess = Base64Decode(pSrc, nSrcLen, pDecodedData.get(), &nDecodedLength);
  if (false == bSuccess)
    return trace.Failed("Base64Decode", SIGIL_E_BASE64_DECODE, "false == bSuccess");
  trace.Ok("Base64Decode");

  *ppDecodedData = pDecodedData.release();
  *pnDecodedSize = static_cast<unsigned int>(nDecodedLength);
  return ORLO_OK;
}

}  // namespace engine
