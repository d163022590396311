// Verifying signatures of data in memory.
#include "smengine/common/EngineResult.h"
#include "smengine/signing/DataSigning.h"
#include "smengine/signing/DataSigningInternal.h"

namespace engine {

using signing::BytePtr;
using signing::kDigestSize;
using signing::kSourceUnit;

namespace {

int VerifyRawByCert(EngineTrace& trace, const BYTE* pbyCert, int nCertSize, const BYTE* pbySource,
                    int nSourceSize, const BYTE* pbyRawSignatureRS) {
  signing::PublicKeyXY key;
  const int nResult = signing::LoadPublicKey(trace, pbyCert, nCertSize, &key);
  if (ORLO_OK != nResult) return nResult;
  return signing::Checked(trace, "VerifySignature_Raw",
                          VerifySignature_Raw(key.pbyX.get(), key.pbyY.get(), pbySource,
                                              nSourceSize, pbyRawSignatureRS, SM2_RAW_RS_SIZE));
}

// An output pair is either asked for whole or not at all.
bool IsOutputPair(const void* pValue, const int* pnSize) {
  return (NULL == pValue) == (NULL == pnSize);
}

void HandOut(BytePtr* ppbyOwned, int nSize, BYTE** ppbyOut, int* pnOutSize) {
  if (NULL == ppbyOut) return;
  *ppbyOut = ppbyOwned->release();
  *pnOutSize = nSize;
}

// Attached: the content inside is what was signed and may be handed out.
// Detached: the caller's source is.
int VerifyDERPKCS7(EngineTrace& trace, const BYTE* pbyPKCS7, int nPKCS7Size, bool bAttached,
                   const BYTE* pbySource, int nSourceSize, BYTE** ppbySourceData,
                   int* pnSourceDataSize, BYTE** ppbyCert, int* pnCertSize) {
  if (NULL == pbyPKCS7 || !IsOutputPair(ppbySourceData, pnSourceDataSize) ||
      !IsOutputPair(ppbyCert, pnCertSize))
    return trace.Failed("check parameters.", ORLO_INVALID_PARAMETER,
                        "NULL == pbyPKCS7 || half an output pair");

  signing::SignedDataParts parts;
  int nResult = signing::ParseSignedData(trace, "ParsePKCS7Signature", pbyPKCS7, nPKCS7Size,
                                         bAttached, &parts);
  if (ORLO_OK != nResult) return nResult;

  if (bAttached) {
    pbySource = parts.pbySourceData.get();
    nSourceSize = parts.nSourceDataSize;
  }
  nResult = VerifyRawByCert(trace, parts.pbyCert.get(), parts.nCertSize, pbySource, nSourceSize,
                            parts.pbyRawSignature.get());
  if (ORLO_OK != nResult) return nResult;

  HandOut(&parts.pbySourceData, parts.nSourceDataSize, ppbySourceData, pnSourceDataSize);
  HandOut(&parts.pbyCert, parts.nCertSize, ppbyCert, pnCertSize);
  return ORLO_OK;
}

int VerifyBase64PKCS7(EngineTrace& trace, const char* pszBase64PKCS7, int nBase64PKCS7Size,
                      bool bAttached, const BYTE* pbySource, int nSourceSize) {
  BytePtr pbyPKCS7;
  int nPKCS7Size = 0;
  const int nResult = signing::DecodeBase64(trace, "Base64DecodeEx(pszBase64PKCS7)", pszBase64PKCS7,
                                            nBase64PKCS7Size, &pbyPKCS7, &nPKCS7Size);
  if (ORLO_OK != nResult) return nResult;
  return VerifyDERPKCS7(trace, pbyPKCS7.get(), nPKCS7Size, bAttached, pbySource, nSourceSize,
                        nullptr, nullptr, nullptr, nullptr);
}

}  // namespace

int VerifySignature_Raw(const BYTE* pbyPubkeyX, const BYTE* pbyPubkeyY, const BYTE* pbySource,
                        int nSourceSize, const BYTE* pbyRawSignatureRS, int nRawSignatureRSSize) {
  EngineTrace trace(kSourceUnit, "VerifySignature_Raw");
  if (NULL == pbyRawSignatureRS || SM2_RAW_RS_SIZE != nRawSignatureRSSize)
    return trace.Failed("check parameters.", ORLO_INVALID_PARAMETER,
                        "(NULL == pbyRawSignatureRS || SM2_RAW_RS_SIZE != nRawSignatureRSSize)");

  BYTE byDigest[kDigestSize] = {};
  const int nResult =
      signing::Checked(trace, "CalculateSM3Hash",
                       CalculateSM3Hash(pbyPubkeyX, pbyPubkeyY, pbySource, nSourceSize, byDigest));
  if (ORLO_OK != nResult) return nResult;

  return signing::VerifyDigest(trace, pbyPubkeyX, pbyPubkeyY, byDigest, pbyRawSignatureRS);
}

int VerifySignature_DERPKCS1_ByCert(const BYTE* pbyCert, int nCertSize, const BYTE* pbySource,
                                    int nSourceSize, const BYTE* pbySignature, int nSignatureSize) {
  EngineTrace trace(kSourceUnit, "VerifySignature_DERPKCS1_ByCert");
  if (NULL == pbyCert || NULL == pbySignature)
    return trace.Failed("check parameters.", ORLO_INVALID_PARAMETER,
                        "NULL == pbyCert || NULL == pbySignature");

  BYTE byRawSignature[SM2_RAW_RS_SIZE] = {};
  const int nResult =
      signing::RawSignatureFromPKCS1(trace, pbySignature, nSignatureSize, byRawSignature);
  if (ORLO_OK != nResult) return nResult;

  return VerifyRawByCert(trace, pbyCert, nCertSize, pbySource, nSourceSize, byRawSignature);
}

int VerifySignature_PKCS1_ByCert(const char* pszBase64PKCS1Signature, int nBase64SignatureSize,
                                 const BYTE* pbySource, int nSourceSize, const char* pszBase64Cert,
                                 int nBase64CertSize) {
  EngineTrace trace(kSourceUnit, "VerifySignature_PKCS1_ByCert");
  signing::PKCS1Inputs inputs;
  const int nResult =
      signing::DecodePKCS1Inputs(trace, pszBase64Cert, nBase64CertSize, pszBase64PKCS1Signature,
                                 nBase64SignatureSize, &inputs);
  if (ORLO_OK != nResult) return nResult;

  return VerifyRawByCert(trace, inputs.pbyCert.get(), inputs.nCertSize, pbySource, nSourceSize,
                         inputs.byRawSignature);
}

int VerifySignature_DERPKCS7Attached(const BYTE* pbyPKCS7, int nPKCS7Size, BYTE** ppbySourceData,
                                     int* pnSourceDataSize, BYTE** ppbyCert, int* pnCertSize) {
  EngineTrace trace(kSourceUnit, "VerifySignature_DERPKCS7Attached");
  return VerifyDERPKCS7(trace, pbyPKCS7, nPKCS7Size, true, nullptr, 0, ppbySourceData,
                        pnSourceDataSize, ppbyCert, pnCertSize);
}

int VerifySignature_PKCS7Attached(const char* pszBase64PKCS7, int nBase64PKCS7Size) {
  EngineTrace trace(kSourceUnit, "VerifySignature_PKCS7Attached");
  return VerifyBase64PKCS7(trace, pszBase64PKCS7, nBase64PKCS7Size, true, nullptr, 0);
}

int VerifySignature_DERPKCS7Detached(const BYTE* pbySource, int nSourceSize, const BYTE* pbyPKCS7,
                                     int nPKCS7Size, BYTE** ppbyCert, int* pnCertSize) {
  EngineTrace trace(kSourceUnit, "VerifySignature_DERPKCS7Detached");
  return VerifyDERPKCS7(trace, pbyPKCS7, nPKCS7Size, false, pbySource, nSourceSize, nullptr,
                        nullptr, ppbyCert, pnCertSize);
}

int VerifySignature_PKCS7Detached(const BYTE* pbySource, int nSourceSize,
                                  const char* pszBase64PKCS7, int nBase64PKCS7Size) {
  EngineTrace trace(kSourceUnit, "VerifySignature_PKCS7Detached");
  return VerifyBase64PKCS7(trace, pszBase64PKCS7, nBase64PKCS7Size, false, pbySource, nSourceSize);
}

}  // namespace engine
