// Verifying signatures of files.
#include "smengine/common/EngineResult.h"
#include "smengine/signing/DataSigning.h"
#include "smengine/signing/DataSigningInternal.h"

namespace engine {

using signing::BytePtr;
using signing::kDigestSize;
using signing::kSourceUnit;

namespace {

int VerifyFileRawByCert(EngineTrace& trace, const BYTE* pbyCert, int nCertSize, FILE* fpSourceFile,
                        const BYTE* pbyRawSignatureRS) {
  signing::PublicKeyXY key;
  const int nResult = signing::LoadPublicKey(trace, pbyCert, nCertSize, &key);
  if (ORLO_OK != nResult) return nResult;
  return signing::Checked(trace, "VerifyFileSignature_Raw",
                          VerifyFileSignature_Raw(fpSourceFile, key.pbyX.get(), key.pbyY.get(),
                                                  pbyRawSignatureRS, SM2_RAW_RS_SIZE));
}

int CheckFileHandle(EngineTrace& trace, FILE* fpSourceFile) {
  if (NULL == fpSourceFile)
    return trace.Failed("Check file handle", ORLO_INVALID_PARAMETER, "NULL == fpSourceFile");
  return ORLO_OK;
}

}  // namespace

int VerifyFileSignature_Raw(FILE* fpSourceFile, const BYTE* pbyPubkeyX, const BYTE* pbyPubkeyY,
                            const BYTE* pbyRawSignatureRS, int nRawSignatureRSSize) {
  EngineTrace trace(kSourceUnit, "VerifyFileSignature_Raw");
  int nResult = CheckFileHandle(trace, fpSourceFile);
  if (ORLO_OK != nResult) return nResult;
  if (NULL == pbyRawSignatureRS || SM2_RAW_RS_SIZE != nRawSignatureRSSize)
    return trace.Failed("check parameters.", ORLO_INVALID_PARAMETER,
                        "(NULL == pbyRawSignatureRS || SM2_RAW_RS_SIZE != nRawSignatureRSSize)");

  BYTE byDigest[kDigestSize] = {};
  nResult =
      signing::Checked(trace, "CalculateSM3FileHashEx",
                       CalculateSM3FileHashEx(pbyPubkeyX, pbyPubkeyY, fpSourceFile, byDigest));
  if (ORLO_OK != nResult) return nResult;

  return signing::VerifyDigest(trace, pbyPubkeyX, pbyPubkeyY, byDigest, pbyRawSignatureRS);
}

int VerifyFileSignature_PKCS1_ByCert(const char* pszBase64Cert, int nBase64CertSize,
                                     const char* pszBase64PKCS1Signature, int nBase64SignatureSize,
                                     FILE* fpSourceFile) {
  EngineTrace trace(kSourceUnit, "VerifyFileSignature_PKCS1_ByCert");
  int nResult = CheckFileHandle(trace, fpSourceFile);
  if (ORLO_OK != nResult) return nResult;

  signing::PKCS1Inputs inputs;
  nResult = signing::DecodePKCS1Inputs(trace, pszBase64Cert, nBase64CertSize,
                                       pszBase64PKCS1Signature, nBase64SignatureSize, &inputs);
  if (ORLO_OK != nResult) return nResult;

  return VerifyFileRawByCert(trace, inputs.pbyCert.get(), inputs.nCertSize, fpSourceFile,
                             inputs.byRawSignature);
}

int SM2_VerifyFileSignature_PKCS7Detached(const char* pszBase64PKCS7, int nBase64PKCS7Size,
                                          FILE* fpSourceFile) {
  EngineTrace trace(kSourceUnit, "SM2_VerifyFileSignature_PKCS7Detached");
  int nResult = CheckFileHandle(trace, fpSourceFile);
  if (ORLO_OK != nResult) return nResult;

  BytePtr pbyPKCS7;
  int nPKCS7Size = 0;
  nResult = signing::DecodeBase64(trace, "Base64DecodeEx(pszBase64PKCS7)", pszBase64PKCS7,
                                  nBase64PKCS7Size, &pbyPKCS7, &nPKCS7Size);
  if (ORLO_OK != nResult) return nResult;

  signing::SignedDataParts parts;
  nResult = signing::ParseSignedData(trace, "ParseSM2PKCS7Signature", pbyPKCS7.get(), nPKCS7Size,
                                     false, &parts);
  if (ORLO_OK != nResult) return nResult;

  return VerifyFileRawByCert(trace, parts.pbyCert.get(), parts.nCertSize, fpSourceFile,
                             parts.pbyRawSignature.get());
}

}  // namespace engine
