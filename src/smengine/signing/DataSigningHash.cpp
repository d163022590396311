// e = SM3(Z || M) over memory and over streams.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>

#include "gmcrypto/sm2/Sm2.h"
#include "gmcrypto/sm3/Sm3.h"
#include "smengine/common/EngineResult.h"
#include "smengine/common/Misc.h"
#include "smengine/signing/DataSigning.h"
#include "smengine/signing/DataSigningInternal.h"

namespace engine {

using signing::BytePtr;
using signing::kDigestSize;
using signing::kSourceUnit;

namespace {

// Starts the digest with Z of the key. Any key is hashed as its two 32-byte
// coordinates, leading zero bytes included, exactly as Z defines them.
int StartDigest(EngineTrace& trace, const BYTE* pbyPubkeyX, const BYTE* pbyPubkeyY,
                gmcrypto::SM3_CTX* pCtx) {
  if (1 != gmcrypto::SM3_Init(pCtx)) return trace.Failed("SM3_Init", ORLO_FAILED, "nResult != 1");
  trace.Ok("SM3_Init");

  BYTE byZ[kDigestSize] = {};
  if (1 != gmcrypto::_SM2_CalculateDefaultZValue(pbyPubkeyX, pbyPubkeyY, byZ))
    return trace.Failed("_SM2_CalculateDefaultZValue", ORLO_FAILED, "nResult != 1");
  trace.Ok("_SM2_CalculateDefaultZValue");

  if (1 != gmcrypto::SM3_Update(pCtx, byZ, sizeof byZ))
    return trace.Failed("SM3_Update(Z)", ORLO_FAILED, "nResult != 1");
  trace.Ok("SM3_Update(Z)");
  return ORLO_OK;
}

int FinishDigest(EngineTrace& trace, gmcrypto::SM3_CTX* pCtx, BYTE* pbyHash) {
  BYTE byDigest[kDigestSize] = {};
  if (1 != gmcrypto::SM3_Final(byDigest, pCtx))
    return trace.Failed("SM3_Final", ORLO_FAILED, "nResult != 1");
  trace.Ok("SM3_Final");
  std::memcpy(pbyHash, byDigest, sizeof byDigest);
  return ORLO_OK;
}

// Reads exactly nBytesToRead bytes. A short read is a read fault, never a
// reason to try again: the file changed under us or the device failed.
int ReadExactly(EngineTrace& trace, const char* pszStep, const char* pszReason, FILE* fpSourceFile,
                BYTE* pbyBuffer, std::size_t nBytesToRead) {
  const std::size_t nOnceReadSize = std::fread(pbyBuffer, 1, nBytesToRead, fpSourceFile);
  trace.Note("Once read file size: %lld\n", static_cast<long long>(nOnceReadSize));
  if (nOnceReadSize != nBytesToRead || ferror(fpSourceFile) != 0)
    return trace.Failed(pszStep, ORLO_READ_FAULT, pszReason);
  return ORLO_OK;
}

}  // namespace

int CalculateSM3Hash(const BYTE* pbyPubkeyX, const BYTE* pbyPubkeyY, const BYTE* pbySource,
                     int nSourceSize, BYTE* pbyHash) {
  EngineTrace trace(kSourceUnit, "CalculateSM3Hash");
  if (NULL == pbyPubkeyX || NULL == pbyPubkeyY || NULL == pbyHash || nSourceSize < 0 ||
      (NULL == pbySource && nSourceSize > 0))
    return trace.Failed("Check parameters", ORLO_INVALID_PARAMETER,
                        "NULL == pbyPubkeyX || NULL == pbyPubkeyY || NULL == pbyHash || "
                        "nSourceSize < 0 || (NULL == pbySource && nSourceSize > 0)");

  gmcrypto::SM3_CTX ctx;
  int nResult = StartDigest(trace, pbyPubkeyX, pbyPubkeyY, &ctx);
  if (ORLO_OK != nResult) return nResult;

  if (nSourceSize > 0 &&
      1 != gmcrypto::SM3_Update(&ctx, pbySource, static_cast<std::size_t>(nSourceSize)))
    return trace.Failed("SM3_Update(Source)", ORLO_FAILED, "nResult != 1");
  trace.Ok("SM3_Update(Source)");

  return FinishDigest(trace, &ctx, pbyHash);
}

int CalculateSM3FileHash(const BYTE* pbyPubkeyX, const BYTE* pbyPubkeyY, FILE* fpSourceFile,
                         std::int64_t nFileSize, BYTE* pbyHash) {
  EngineTrace trace(kSourceUnit, "CalculateSM3FileHash");
  if (NULL == pbyPubkeyX || NULL == pbyPubkeyY || NULL == fpSourceFile || NULL == pbyHash ||
      nFileSize < 0)
    return trace.Failed("Check parameters", ORLO_INVALID_PARAMETER,
                        "NULL == pbyPubkeyX || NULL == pbyPubkeyY || NULL == fpSourceFile || "
                        "NULL == pbyHash || nFileSize < 0");

  BytePtr pbyBlock(new (std::nothrow) BYTE[SM2_SIGN_BLOCK_SIZE]);
  if (!pbyBlock) return trace.Failed("New buffer", ORLO_FAILED, "!pbyBlock");

  gmcrypto::SM3_CTX ctx;
  int nResult = StartDigest(trace, pbyPubkeyX, pbyPubkeyY, &ctx);
  if (ORLO_OK != nResult) return nResult;

  // Whole blocks while they last, then the rest in one read.
  for (std::int64_t nRemaining = nFileSize; nRemaining > 0;) {
    const bool bWholeBlock = nRemaining >= SM2_SIGN_BLOCK_SIZE;
    const std::size_t nBytesToRead =
        bWholeBlock ? SM2_SIGN_BLOCK_SIZE : static_cast<std::size_t>(nRemaining);
    nResult =
        ReadExactly(trace, bWholeBlock ? "fread(file block)" : "fread(final block)",
                    bWholeBlock ? "ulOnceReadSize != BLOCK_SIZE || ferror(fpSourceFile) != 0"
                                : "ulOnceReadSize != ulBytesToRead || ferror(fpSourceFile) != 0",
                    fpSourceFile, pbyBlock.get(), nBytesToRead);
    if (ORLO_OK != nResult) return nResult;
    if (1 != gmcrypto::SM3_Update(&ctx, pbyBlock.get(), nBytesToRead))
      return trace.Failed(bWholeBlock ? "SM3_Update(file block)" : "SM3_Update(final block)",
                          ORLO_FAILED, "nResult != 1");
    nRemaining -= static_cast<std::int64_t>(nBytesToRead);
  }
  trace.Note("Total read file size: %lld\n", static_cast<long long>(nFileSize));
  trace.Ok("SM3_Update(Source)");

  return FinishDigest(trace, &ctx, pbyHash);
}

int CalculateSM3FileHashEx(const BYTE* pbyPubkeyX, const BYTE* pbyPubkeyY, FILE* fpSourceFile,
                           BYTE* pbyHash) {
  EngineTrace trace(kSourceUnit, "CalculateSM3FileHashEx");
  if (NULL == fpSourceFile)
    return trace.Failed("Check parameters", ORLO_INVALID_PARAMETER, "NULL == fpSourceFile");

  std::int64_t nFileSize = 0;
  const int nResult =
      signing::Checked(trace, "GetFileSize_Ex64", GetFileSize_Ex64(fpSourceFile, &nFileSize));
  if (ORLO_OK != nResult) return nResult;

  return signing::Checked(
      trace, "CalculateSM3FileHash",
      CalculateSM3FileHash(pbyPubkeyX, pbyPubkeyY, fpSourceFile, nFileSize, pbyHash));
}

}  // namespace engine
