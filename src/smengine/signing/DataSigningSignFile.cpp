// Signing files, read in blocks so that their size is no concern.
#include "smengine/common/EngineResult.h"
#include "smengine/signing/DataSigning.h"
#include "smengine/signing/DataSigningInternal.h"

namespace engine {

using signing::kDigestSize;
using signing::kSourceUnit;

namespace {

// The caller's output pair is checked here so that every form refuses the
// same arguments alike.
int SignFileBySoftCert(EngineTrace& trace, const char* pszPassword, FILE* fpSourceFile,
                       FILE* fpSM2PFXFile, const void* pOutput, const int* pnOutputSize,
                       signing::SoftCertSignature* pSigned) {
  if (NULL == fpSourceFile)
    return trace.Failed("check parameters.", ORLO_INVALID_PARAMETER, "NULL == fpSourceFile");
  if (NULL == fpSM2PFXFile)
    return trace.Failed("check parameters.", ORLO_INVALID_PARAMETER, "NULL == pfSM2PFXFile");
  if (NULL == pOutput || NULL == pnOutputSize)
    return trace.Failed("check parameters.", ORLO_INVALID_PARAMETER,
                        "NULL == output || NULL == pnOutputSize");

  int nResult = signing::OpenSoftCertKey(trace, pszPassword, fpSM2PFXFile, &pSigned->key);
  if (ORLO_OK != nResult) return nResult;

  BYTE* pbySignature = nullptr;
  int nSignatureSize = 0;
  nResult = signing::Checked(trace, "SignFile_Raw_ByKeyPair",
                             SignFile_Raw_ByKeyPair(fpSourceFile, &pSigned->key.keyPair.stKeyPair,
                                                    &pbySignature, &nSignatureSize));
  pSigned->pbySignature.reset(pbySignature);
  return nResult;
}

}  // namespace

int SignFile_Raw_ByKeyPair(FILE* fpSourceFile, const SM2_KEY_PAIR* pstKeyPair, BYTE** ppbySignature,
                           int* pnSignatureSize) {
  EngineTrace trace(kSourceUnit, "SignFile_Raw_ByKeyPair");
  if (NULL == fpSourceFile)
    return trace.Failed("check parameters.", ORLO_INVALID_PARAMETER, "NULL == fpSourceFile");
  if (NULL == pstKeyPair || NULL == ppbySignature || NULL == pnSignatureSize)
    return trace.Failed("check parameters.", ORLO_INVALID_PARAMETER,
                        "NULL == pstKeyPair || NULL == ppbySignature || NULL == pnSignatureSize");

  BYTE byDigest[kDigestSize] = {};
  const int nResult =
      signing::Checked(trace, "CalculateSM3FileHashEx",
                       CalculateSM3FileHashEx(pstKeyPair->pbyPubKeyX, pstKeyPair->pbyPubKeyY,
                                              fpSourceFile, byDigest));
  if (ORLO_OK != nResult) return nResult;

  return signing::SignDigest(trace, byDigest, pstKeyPair, ppbySignature, pnSignatureSize);
}

int SignFile_Raw_BySM2PFX(const char* pszPassword, FILE* fpSourceFile, FILE* fpSM2PFXFile,
                          BYTE** ppbySignature, int* pnSignatureSize) {
  EngineTrace trace(kSourceUnit, "SignFile_Raw_BySM2PFX");
  signing::SoftCertSignature result;
  const int nResult = SignFileBySoftCert(trace, pszPassword, fpSourceFile, fpSM2PFXFile,
                                         ppbySignature, pnSignatureSize, &result);
  if (ORLO_OK != nResult) return nResult;
  *ppbySignature = result.pbySignature.release();
  *pnSignatureSize = SM2_RAW_RS_SIZE;
  return ORLO_OK;
}

int SignFile_PKCS1_BySM2PFX(const char* pszPassword, FILE* fpSM2PFXFile, FILE* fpSourceFile,
                            char** ppszBase64Signature, int* pnBase64Size) {
  EngineTrace trace(kSourceUnit, "SignFile_PKCS1_BySM2PFX");
  signing::SoftCertSignature result;
  const int nResult = SignFileBySoftCert(trace, pszPassword, fpSourceFile, fpSM2PFXFile,
                                         ppszBase64Signature, pnBase64Size, &result);
  if (ORLO_OK != nResult) return nResult;
  return signing::EncodePKCS1Base64(trace, result.pbySignature.get(), ppszBase64Signature,
                                    pnBase64Size);
}

int SignFile_PKCS7Detached_BySM2PFX(const char* pszPassword, char** ppszBase64PKCS7,
                                    FILE* fpSourceFile, FILE* fpSM2PFXFile, int* pnBase64Size) {
  EngineTrace trace(kSourceUnit, "SignFile_PKCS7Detached_BySM2PFX");
  signing::SoftCertSignature result;
  const int nResult = SignFileBySoftCert(trace, pszPassword, fpSourceFile, fpSM2PFXFile,
                                         ppszBase64PKCS7, pnBase64Size, &result);
  if (ORLO_OK != nResult) return nResult;
  return signing::EncodePKCS7Base64(trace, result.pbySignature.get(), result.key, nullptr, 0, FALSE,
                                    ppszBase64PKCS7, pnBase64Size);
}

}  // namespace engine
