// Reading a soft-certificate file: small Base64 text, measured before it is
// read so that a huge file named as one costs nothing.
#include <climits>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>

#include "resources/ResultCodes.h"
#include "smengine/common/Base64Utility.h"
#include "smengine/common/EngineResult.h"
#include "smengine/common/Misc.h"
#include "smengine/softcert/SMFileCertOperations.h"
#include "smengine/softcert/SMFileCertOperationsInternal.h"
#include "trace/Trace.h"

namespace engine {

int ReadSM2PFXFile(FILE* fpSM2PFXFile, unsigned char** ppbySM2PFX, int* pnSM2PFXSize) {
  EngineTrace trace(sm2pfx::kSourceUnit, "ReadSM2PFXFile");
  if (fpSM2PFXFile == nullptr || ppbySM2PFX == nullptr || pnSM2PFXSize == nullptr)
    return trace.Failed("Check parameter", ORLO_INVALID_PARAMETER,
                        "NULL == fpSM2PFXFile || NULL == ppbySM2PFX || NULL == pnSM2PFXSize");

  std::int64_t nFileSize = 0;
  int nResult = GetFileSize_Ex64(fpSM2PFXFile, &nFileSize);
  if (ORLO_OK != nResult) return trace.Failed("GetFileSize_Ex64", nResult, "ORLO_OK != nResult");
  if (nFileSize > SM2_SOFT_CERT_MAX_FILE_SIZE)
    return trace.Failed("Check file size", static_cast<int>(SIGIL_E_FILE_TOO_LARGE),
                        "nFileSize > SM2_SOFT_CERT_MAX_FILE_SIZE");
  trace.Ok("GetFileSize_Ex64");

  const std::size_t nTextSize = static_cast<std::size_t>(nFileSize);
  const std::unique_ptr<char[]> pszText(new (std::nothrow) char[nTextSize + 1]());
  if (!pszText) return trace.Failed("New buffer", ORLO_FAILED, "!pszBase64SM2PFX");
  // A short count with no error flag means the file shrank since it was
  // measured: just as unreadable.
  const std::size_t nRead = std::fread(pszText.get(), 1, nTextSize, fpSM2PFXFile);
  if (ferror(fpSM2PFXFile) || nRead != nTextSize)
    return trace.Failed("fread", ORLO_READ_FAULT, "ferror(fpSM2PFXFile) || nRead != nFileSize");
  trace.Ok("fread");

  unsigned char* pbyDer = nullptr;
  unsigned int nDerSize = 0;
  nResult = Base64DecodeEx(&pbyDer, &nDerSize, pszText.get(), static_cast<int>(nTextSize));
  std::unique_ptr<unsigned char[]> pDer(pbyDer);
  if (ORLO_OK != nResult) return trace.Failed("Base64DecodeEx", nResult, "ORLO_OK != nResult");
  trace.Ok("Base64DecodeEx");
  *ppbySM2PFX = pDer.release();
  *pnSM2PFXSize = static_cast<int>(nDerSize);
  return ORLO_OK;
}

}  // namespace engine
