#include "smengine/common/Misc.h"

#include <climits>

#include "platform/fs/Files.h"
#include "smengine/common/EngineResult.h"
#include "trace/Trace.h"

namespace {

constexpr const char* kSourceUnit = "Misc";

int MeasureStream(EngineTrace& trace, FILE* fpFile, std::int64_t* pnFileSize) {
  if (_fseeki64(fpFile, 0, SEEK_END) != 0)
    return trace.Failed("fseek(SEEK_END)", ORLO_FAILED, "0 != fseek(fpFile, 0, SEEK_END)");
  trace.Ok("fseek(SEEK_END)");

  const std::int64_t nFileSize = _ftelli64(fpFile);
  if (nFileSize < 0 || ferror(fpFile))
    return trace.Failed("ftell", ORLO_FAILED, "nFileSize < 0 || ferror(fpFile)");
  trace.Ok("ftell");

  if (_fseeki64(fpFile, 0, SEEK_SET) != 0)
    return trace.Failed("fseek(SEEK_SET)", ORLO_FAILED, "0 != fseek(fpFile, 0, SEEK_SET)");
  trace.Ok("fseek(SEEK_SET)");

  *pnFileSize = nFileSize;
  return ORLO_OK;
}

}  // namespace

int GetFileSize_Ex(FILE* fpFile, int* pnFileSize) {
  EngineTrace trace(kSourceUnit, "GetFileSize_Ex");
  if (NULL == fpFile || NULL == pnFileSize)
    return trace.Failed("Check parameter", ORLO_INVALID_PARAMETER,
                        "NULL == fpFile || NULL == pnFileSize");

  std::int64_t nFileSize = 0;
  const int nResult = MeasureStream(trace, fpFile, &nFileSize);
  if (ORLO_OK != nResult) return nResult;

  if (nFileSize > INT_MAX)
    return trace.Failed("Check file size", ORLO_FAILED, "nFileSize > INT_MAX");
  *pnFileSize = static_cast<int>(nFileSize);
  return ORLO_OK;
}

int GetFileSize_Ex64(FILE* fpFile, std::int64_t* pnFileSize) {
  EngineTrace trace(kSourceUnit, "GetFileSize_Ex64");
  if (NULL == fpFile || NULL == pnFileSize)
    return trace.Failed("Check parameter", ORLO_INVALID_PARAMETER,
                        "NULL == fpFile || NULL == pnFileSize");
  return MeasureStream(trace, fpFile, pnFileSize);
}
