// Signing data in memory.
#include "smengine/common/EngineResult.h"
#include "smengine/signing/DataSigning.h"
#include "smengine/signing/DataSigningInternal.h"

namespace engine {

using signing::kDigestSize;
using signing::kSourceUnit;

namespace {

bool IsValidSource(const BYTE* pbySource, int nSourceSize) {
  return nSourceSize >= 0 && (NULL != pbySource || 0 == nSourceSize);
}

// The caller's output pair is checked here so that every form refuses the
// same arguments alike.
int SignDataBySoftCert(EngineTrace& trace, const char* pszPassword, const BYTE* pbySource,
                       int nSourceSize, FILE* fpSM2PFXFile, const void* pOutput,
                       const int* pnOutputSize, signing::SoftCertSignature* pSigned) {
  if (NULL == pOutput || NULL == pnOutputSize || !IsValidSource(pbySource, nSourceSize))
    return trace.Failed("check parameters.", ORLO_INVALID_PARAMETER,
                        "NULL == output || NULL == pnOutputSize || invalid source");

  int nResult = signing::OpenSoftCertKey(trace, pszPassword, fpSM2PFXFile, &pSigned->key);
  if (ORLO_OK != nResult) return nResult;

  BYTE* pbySignature = nullptr;
  int nSignatureSize = 0;
  nResult = signing::Checked(
      trace, "SignData_Raw_ByKeyPair",
      SignData_Raw_ByKeyPair(pbySource, nSourceSize, &pSigned->key.keyPair.stKeyPair, &pbySignature,
                             &nSignatureSize));
  pSigned->pbySignature.reset(pbySignature);
  return nResult;
}

}  // namespace

int SignData_Raw_ByKeyPair(const BYTE* pbySource, int nSourceSize, const SM2_KEY_PAIR* pstKeyPair,
                           BYTE** ppbySignature, int* pnSignatureSize) {
  EngineTrace trace(kSourceUnit, "SignData_Raw_ByKeyPair");
  if (NULL == pstKeyPair || NULL == ppbySignature || NULL == pnSignatureSize ||
      !IsValidSource(pbySource, nSourceSize))
    return trace.Failed("check parameters.", ORLO_INVALID_PARAMETER,
                        "NULL == pstKeyPair || NULL == ppbySignature || "
                        "NULL == pnSignatureSize || invalid source");

  BYTE byDigest[kDigestSize] = {};
  const int nResult =
      signing::Checked(trace, "CalculateSM3Hash",
                       CalculateSM3Hash(pstKeyPair->pbyPubKeyX, pstKeyPair->pbyPubKeyY, pbySource,
                                        nSourceSize, byDigest));
  if (ORLO_OK != nResult) return nResult;

  return signing::SignDigest(trace, byDigest, pstKeyPair, ppbySignature, pnSignatureSize);
}

int SignData_Raw_BySM2PFX(const char* pszPassword, const BYTE* pbySource, int nSourceSize,
                          FILE* fpSM2PFXFile, BYTE** ppbySignature, int* pnSignatureSize) {
  EngineTrace trace(kSourceUnit, "SignData_Raw_BySM2PFX");
  signing::SoftCertSignature result;
  const int nResult = SignDataBySoftCert(trace, pszPassword, pbySource, nSourceSize, fpSM2PFXFile,
                                         ppbySignature, pnSignatureSize, &result);
  if (ORLO_OK != nResult) return nResult;
  *ppbySignature = result.pbySignature.release();
  *pnSignatureSize = SM2_RAW_RS_SIZE;
  return ORLO_OK;
}

int SignData_PKCS1_BySM2PFX(const char* pszPassword, FILE* fpSM2PFXFile, const BYTE* pbySource,
                            int nSourceSize, char** ppszBase64Signature, int* pnBase64Size) {
  EngineTrace trace(kSourceUnit, "SignData_PKCS1_BySM2PFX");
  signing::SoftCertSignature result;
  const int nResult = SignDataBySoftCert(trace, pszPassword, pbySource, nSourceSize, fpSM2PFXFile,
                                         ppszBase64Signature, pnBase64Size, &result);
  if (ORLO_OK != nResult) return nResult;
  return signing::EncodePKCS1Base64(trace, result.pbySignature.get(), ppszBase64Signature,
                                    pnBase64Size);
}

int SignData_PKCS7_BySM2PFX(const char* pszPassword, const BYTE* pbySource, int nSourceSize,
                            FILE* fpSM2PFXFile, BOOL bAttached, char** ppszBase64PKCS7,
                            int* pnBase64Size) {
  EngineTrace trace(kSourceUnit, "SignData_PKCS7_BySM2PFX");
  signing::SoftCertSignature result;
  const int nResult = SignDataBySoftCert(trace, pszPassword, pbySource, nSourceSize, fpSM2PFXFile,
                                         ppszBase64PKCS7, pnBase64Size, &result);
  if (ORLO_OK != nResult) return nResult;
  return signing::EncodePKCS7Base64(trace, result.pbySignature.get(), result.key, pbySource,
                                    nSourceSize, bAttached, ppszBase64PKCS7, pnBase64Size);
}

}  // namespace engine
