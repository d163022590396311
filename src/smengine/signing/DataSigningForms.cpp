// The encodings signatures travel in: Base64 text, the "PKCS#1" value and
// PKCS#7 SignedData.
#include <climits>
#include <cstring>
#include <utility>

#include "resources/ResultCodes.h"
#include "smengine/common/Base64Utility.h"
#include "smengine/common/EngineResult.h"
#include "smengine/signing/DataSigningInternal.h"
#include "smengine/signing/PKCS7SignedDataOperations.h"

namespace engine::signing {

namespace {

constexpr int kInvalidPKCS7 = static_cast<int>(SIGIL_E_INVALID_PKCS7);
constexpr int kMinSM2Q1Size = 66;
constexpr int kMaxSM2Q1Size = 72;

}  // namespace

int EncodeBase64(EngineTrace& trace, const BYTE* pbyData, int nDataSize, char** ppszBase64,
                 int* pnBase64Size) {
  int nBase64Size = 0;
  char* pszBase64 = nullptr;
  const int nResult = Checked(trace, "Base64EncodeEx",
                              Base64EncodeEx(&nBase64Size, pbyData, nDataSize, &pszBase64));
  if (ORLO_OK != nResult) return nResult;
  *ppszBase64 = pszBase64;
  *pnBase64Size = nBase64Size;
  return ORLO_OK;
}

int EncodePKCS1Base64(EngineTrace& trace, const BYTE* pbyRawSignatureRS, char** ppszBase64,
                      int* pnBase64Size) {
  BYTE* pbyRawQ1 = nullptr;
  int nQ1Size = 0;
  const int nResult = Checked(trace, "Encode_SM2Q1",
                              Encode_SM2Q1(&pbyRawQ1, pbyRawSignatureRS,
                                           pbyRawSignatureRS + SM2_RAW_RS_SIZE / 2, &nQ1Size));
  BytePtr pbyQ1(pbyRawQ1);
  if (ORLO_OK != nResult) return nResult;
  return EncodeBase64(trace, pbyQ1.get(), nQ1Size, ppszBase64, pnBase64Size);
}

int EncodePKCS7Base64(EngineTrace& trace, const BYTE* pbyRawSignatureRS, const SoftCertKey& key,
                      const BYTE* pbySource, int nSourceSize, BOOL bAttached, char** ppszBase64,
                      int* pnBase64Size) {
  BYTE* pbyRawPKCS7 = nullptr;
  int nPKCS7Size = 0;
  const int nResult = Checked(
      trace, "Encode_PKCS7Signature",
      Encode_PKCS7Signature(pbyRawSignatureRS, &pbyRawPKCS7, key.pbyCert.get(), key.nCertSize,
                            pbySource, nSourceSize, bAttached, SM2_RAW_RS_SIZE, &nPKCS7Size));
  BytePtr pbyPKCS7(pbyRawPKCS7);
  if (ORLO_OK != nResult) return nResult;
  return EncodeBase64(trace, pbyPKCS7.get(), nPKCS7Size, ppszBase64, pnBase64Size);
}

int DecodeBase64(EngineTrace& trace, const char* pszStep, const char* pszBase64, int nBase64Size,
                 BytePtr* ppbyData, int* pnDataSize) {
  if (NULL == pszBase64) return trace.Failed(pszStep, ORLO_INVALID_PARAMETER, "NULL == pszBase64");
  BYTE* pbyRaw = nullptr;
  unsigned int nDecodedSize = 0;
  const int nResult = Base64DecodeEx(&pbyRaw, &nDecodedSize, pszBase64, nBase64Size);
  BytePtr pbyData(pbyRaw);
  if (ORLO_OK != nResult) return trace.Failed(pszStep, nResult, "ORLO_OK != nResult");
  // Decoding shrinks the text, whose length was an int.
  if (nDecodedSize > static_cast<unsigned int>(INT_MAX))
    return trace.Failed(pszStep, ORLO_FAILED, "nDecodedSize > INT_MAX");
  trace.Ok(pszStep);
  *ppbyData = std::move(pbyData);
  *pnDataSize = static_cast<int>(nDecodedSize);
  return ORLO_OK;
}

int RawSignatureFromPKCS1(EngineTrace& trace, const BYTE* pbySignature, int nSignatureSize,
                          BYTE* pbyRawSignatureRS) {
  if (SM2_RAW_RS_SIZE == nSignatureSize) {
    std::memcpy(pbyRawSignatureRS, pbySignature, SM2_RAW_RS_SIZE);
    return ORLO_OK;
  }
  if (nSignatureSize < kMinSM2Q1Size || nSignatureSize > kMaxSM2Q1Size)
    return trace.Failed("Invalid SM2 PKCS#1 signature size.", static_cast<int>(NTE_BAD_SIGNATURE),
                        "nSignatureSize != 64 && (nSignatureSize < 66 || nSignatureSize > 72)");

  BYTE* pbyRaw = nullptr;
  int nRawSize = 0;
  const int nResult = Decode_SM2Q1(pbySignature, &pbyRaw, nSignatureSize, &nRawSize);
  BytePtr pbyRawSignature(pbyRaw);
  if (ORLO_OK != nResult) return trace.Failed("Decode_SM2Q1", nResult, "ORLO_OK != nResult");
  if (SM2_RAW_RS_SIZE != nRawSize)
    return trace.Failed("Decode_SM2Q1", ORLO_FAILED, "SM2_RAW_RS_SIZE != nRawSignatureSize");
  trace.Ok("Decode_SM2Q1");
  std::memcpy(pbyRawSignatureRS, pbyRawSignature.get(), SM2_RAW_RS_SIZE);
  return ORLO_OK;
}

int DecodePKCS1Inputs(EngineTrace& trace, const char* pszBase64Cert, int nBase64CertSize,
                      const char* pszBase64PKCS1Signature, int nBase64SignatureSize,
                      PKCS1Inputs* pInputs) {
  int nResult = DecodeBase64(trace, "Base64DecodeEx(pszBase64Cert)", pszBase64Cert, nBase64CertSize,
                             &pInputs->pbyCert, &pInputs->nCertSize);
  if (ORLO_OK != nResult) return nResult;

  BytePtr pbySignature;
  int nSignatureSize = 0;
  nResult = DecodeBase64(trace, "Base64DecodeEx(pszBase64PKCS1Signature)", pszBase64PKCS1Signature,
                         nBase64SignatureSize, &pbySignature, &nSignatureSize);
  if (ORLO_OK != nResult) return nResult;

  return RawSignatureFromPKCS1(trace, pbySignature.get(), nSignatureSize, pInputs->byRawSignature);
}

int ParseSignedData(EngineTrace& trace, const char* pszParseStep, const BYTE* pbyPKCS7,
                    int nPKCS7Size, bool bAttached, SignedDataParts* pParts) {
  BYTE* pbyRawCert = nullptr;
  BYTE* pbyRawSignature = nullptr;
  BYTE* pbyRawSource = nullptr;
  SignedDataParts parts;
  int nResult =
      ParsePKCS7Signature(&pbyRawCert, &parts.nCertSize, pbyPKCS7, nPKCS7Size, &pbyRawSignature,
                          &parts.nRawSignatureSize, &pbyRawSource, &parts.nSourceDataSize);
  parts.pbyCert.reset(pbyRawCert);
  parts.pbyRawSignature.reset(pbyRawSignature);
  parts.pbySourceData.reset(pbyRawSource);
  if (ORLO_OK != nResult) return trace.Failed(pszParseStep, nResult, "ORLO_OK != nResult");
  trace.Ok(pszParseStep);

  // Detached and attached signatures answer different questions (is this
  // content what was signed / what was signed), so one is never accepted
  // in place of the other.
  if (bAttached) {
    if (NULL == parts.pbySourceData || 0 == parts.nSourceDataSize)
      return trace.Failed("Check P7 is source attached?", kInvalidPKCS7,
                          "NULL == pbySourceData || 0 == nSourceDataSize");
    trace.Ok("Check P7 is source attached?");
  } else {
    if (NULL != parts.pbySourceData || 0 != parts.nSourceDataSize)
      return trace.Failed("Check P7 is source detached?", kInvalidPKCS7,
                          "NULL != pbyP7SourceData||0 != nP7SourceDataSize");
    trace.Ok("Check P7 is source detached?");
  }

  // Without the signer's certificate there is no key to verify with.
  if (NULL == parts.pbyCert || parts.nCertSize <= 0)
    return trace.Failed("Check P7 signer certificate", kInvalidPKCS7,
                        "NULL == pbyCert || nCertSize <= 0");
  if (NULL == parts.pbyRawSignature || SM2_RAW_RS_SIZE != parts.nRawSignatureSize)
    return trace.Failed("Check P7 signature", ORLO_FAILED,
                        "NULL == pbyRawSignature || SM2_RAW_RS_SIZE != nRawSignatureSize");

  *pParts = std::move(parts);
  return ORLO_OK;
}

}  // namespace engine::signing
