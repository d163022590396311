// Raw PKCS #1 signatures by the CSP that holds the certificate's key, and
// the PKCS #7 outputs built on them.
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <string>

#include "platform/csp/Csp.h"
#include "platform/csp/CspHandles.h"
#include "platform/csp/CspHash.h"
#include "platform/base/LastError.h"
#include "platform/base/LastErrorResult.h"
#include "smengine/common/TextUtility.h"
#include "trace/Trace.h"
#include "winsvc/CertificateInfo.h"
#include "winsvc/CryptoApiSigning.h"
#include "winsvc/SigningPieces.h"

namespace {

constexpr LPCWSTR kSourceUnit = u"CryptoApiSign";
// One line of Base64, as the page scripts expect it.
constexpr DWORD kBase64NoLineBreaks = 2;

using FeedHash = std::function<HRESULT(StepTrace&, HCRYPTHASH)>;

// Acquires the certificate's key, hashes what `feed` gives, signs with the
// key and hands the signature out big-endian.
HRESULT HashAndSignWithCertificateKey(StepTrace& trace, PCCERT_CONTEXT pCertContext, ALG_ID algId,
                                      const FeedHash& feed, BYTE** ppbySignature,
                                      DWORD* pdwSignatureLen) {
  trace.Step(u"Check parameter");
  if (pCertContext == nullptr) return trace.Failed(E_INVALIDARG, u"NULL == pCertContext");
  if (ppbySignature == nullptr || pdwSignatureLen == nullptr)
    return trace.Failed(E_INVALIDARG, u"NULL == ppbySignature || NULL == pdwSignatureLen");

  AcquiredCryptProv provider;
  DWORD dwKeySpec = 0;
  HRESULT hResult = AcquireCertificateKey(trace, pCertContext, provider, &dwKeySpec,
                                          u"FALSE == CryptAcquireCertificatePrivateKey");
  if (FAILED(hResult)) return hResult;

  // For the trace only.
  {
    BYTE* pbyName = nullptr;
    DWORD dwNameLen = 0;
    if (SUCCEEDED(GetProviderInfo(provider.Get(), PP_NAME, &pbyName, &dwNameLen))) {
      std::unique_ptr<BYTE[]> owned(pbyName);
      const auto* pszName = reinterpret_cast<const char*>(pbyName);
      const std::string strName(pszName, strnlen(pszName, dwNameLen));
      TraceValue(kTraceGuidWinsvc, "ProviderName", strName.c_str());
    }
  }

  trace.Step(u"CryptCreateHash");
  signing::UniqueCryptHash hash;
  SetLastError(ERROR_SUCCESS);
  if (!CryptCreateHash(provider.Get(), algId, 0, 0, hash.Out()))
    return trace.Failed(FailureFromLastError(), u"FALSE == CryptCreateHash");
  trace.Passed();

  hResult = feed(trace, hash.Get());
  if (FAILED(hResult)) return hResult;

  trace.Step(u"CryptSignHash");
  DWORD dwSignatureLen = 0;
  SetLastError(ERROR_SUCCESS);
  if (!CryptSignHashW(hash.Get(), dwKeySpec, nullptr, 0, nullptr, &dwSignatureLen))
    return trace.Failed(FailureFromLastError(), u"FALSE == CryptSignHash");
  if (dwSignatureLen == 0) return trace.Failed(E_FAIL, u"0 == dwSignatureLen");
  std::unique_ptr<BYTE[]> pbySignature(new (std::nothrow) BYTE[dwSignatureLen]());
  if (!pbySignature) return trace.Failed(E_OUTOFMEMORY, u"NULL == pbySignature");
  SetLastError(ERROR_SUCCESS);
  if (!CryptSignHashW(hash.Get(), dwKeySpec, nullptr, 0, pbySignature.get(), &dwSignatureLen))
    return trace.Failed(FailureFromLastError(), u"FALSE == CryptSignHash");
  trace.Passed();

  SwapByteOrder(pbySignature.get(), dwSignatureLen);
  *ppbySignature = pbySignature.release();
  *pdwSignatureLen = dwSignatureLen;
  return S_OK;
}

// What the PKCS #7 output carries besides the signature.
struct Pkcs7Content {
  DWORD dwDataLen = 0;
  BOOL bFile = FALSE;
  BOOL bAttach = FALSE;
  const BYTE* pbyData = nullptr;
  LPCWSTR lpwFilePath = nullptr;
};

// Makes the raw signature (a new[] array) the PKCS #7 output is built on.
using MakeSignature = std::function<HRESULT(BYTE**, DWORD*)>;

// The PKCS #7 output over the signature `sign` makes, traced as signStep.
// The algorithm is checked before anything else: an unknown one must not
// reach the key.
HRESULT SignIntoPKCS7(StepTrace& trace, PCCERT_CONTEXT pCertContext, ALG_ID algId, LPCWSTR signStep,
                      LPCWSTR signReason, const MakeSignature& sign, const Pkcs7Content& content,
                      BSTR* pbstrOutput) {
  trace.Step(u"GetAlgorithmIdentifiers");
  LPCSTR pszDigestOid = nullptr;
  LPCSTR pszSignatureOid = nullptr;
  if (!GetAlgorithmIdentifiers(algId, &pszDigestOid, &pszSignatureOid))
    return trace.Failed(NTE_BAD_ALGID, u"FALSE == GetAlgorithmIdentifiers");
  trace.Step(u"Check parameter");
  if (pbstrOutput == nullptr) return trace.Failed(E_INVALIDARG, u"NULL == pbstrOutput");

  trace.Step(signStep);
  BYTE* pbyRaw = nullptr;
  DWORD dwSignatureLen = 0;
  HRESULT hResult = sign(&pbyRaw, &dwSignatureLen);
  if (FAILED(hResult)) return trace.Failed(hResult, signReason);
  std::unique_ptr<BYTE[]> pbySignature(pbyRaw);
  trace.Passed();

  trace.Step(u"EncapsulatePKCS7");
  BSTR bstrOutput = nullptr;
  DWORD dwOutputLen = 0;
  hResult =
      EncapsulatePKCS7(pCertContext, pszDigestOid, pszSignatureOid, content.dwDataLen,
                       pbySignature.get(), dwSignatureLen, &bstrOutput, &dwOutputLen, content.bFile,
                       content.bAttach, kBase64NoLineBreaks, content.pbyData, content.lpwFilePath);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(EncapsulatePKCS7)");
  trace.Passed();
  *pbstrOutput = bstrOutput;
  return S_OK;
}

}  // namespace

HRESULT CalculateHashandSign(PCCERT_CONTEXT pCertContext, const BYTE* pbyData, DWORD dwDataLen,
                             ALG_ID algId, BYTE** ppbySignature, DWORD* pdwSignatureLen) {
  TraceHelper helper("CalculateHashandSign");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"CalculateHashandSign");
  TraceValue(kTraceGuidWinsvc, "algId", static_cast<std::uint32_t>(algId));
  TraceValue(kTraceGuidWinsvc, "dwDataLen", static_cast<std::uint32_t>(dwDataLen));
  if (pbyData == nullptr && dwDataLen > 0) {
    trace.Step(u"Check parameter");
    return trace.Failed(E_INVALIDARG, u"NULL == pbyData");
  }
  return HashAndSignWithCertificateKey(
      trace, pCertContext, algId,
      [&](StepTrace& t, HCRYPTHASH hHash) {
        return signing::HashDataInPieces(t, hHash, pbyData, dwDataLen);
      },
      ppbySignature, pdwSignatureLen);
}

HRESULT CalculateFileHashandSign(PCCERT_CONTEXT pCertContext, LPCWSTR lpwFilePath, ALG_ID algId,
                                 BYTE** ppbySignature, DWORD* pdwSignatureLen) {
  TraceHelper helper("CalculateFileHashandSign");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"CalculateFileHashandSign");
  TraceValue(kTraceGuidWinsvc, "algId", static_cast<std::uint32_t>(algId));
  TraceValue(kTraceGuidWinsvc, "lpwFilePath", lpwFilePath);
  if (lpwFilePath == nullptr) {
    trace.Step(u"Check parameter");
    return trace.Failed(E_INVALIDARG, u"NULL == lpwFilePath");
  }
  return HashAndSignWithCertificateKey(
      trace, pCertContext, algId,
      [&](StepTrace& t, HCRYPTHASH hHash) {
        return signing::HashFileInPieces(t, hHash, lpwFilePath);
      },
      ppbySignature, pdwSignatureLen);
}

HRESULT CalculateFileHash(LPCWSTR lpwFilePath, HCRYPTHASH hHash) {
  TraceHelper helper("CalculateFileHash");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"CalculateFileHash");
  TraceValue(kTraceGuidWinsvc, "lpwFilePath", lpwFilePath);
  trace.Step(u"Check parameter");
  if (lpwFilePath == nullptr) return trace.Failed(E_INVALIDARG, u"NULL == lpwFilePath");
  return signing::HashFileInPieces(trace, hHash, lpwFilePath);
}

HRESULT SignBinaryData(BSTR* pbstrOutput, const BYTE* pbyData, PCCERT_CONTEXT pCertContext,
                       DWORD dwDataLen, ALG_ID algId, BOOL bAttach) {
  TraceHelper helper("SignBinaryData");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"SignBinaryData");
  TraceValue(kTraceGuidWinsvc, "algId", static_cast<std::uint32_t>(algId));
  TraceValue(kTraceGuidWinsvc, "bAttach", static_cast<std::uint32_t>(bAttach));
  return SignIntoPKCS7(
      trace, pCertContext, algId, u"CalculateHashandSign", u"FAILED(CalculateHashandSign)",
      [&](BYTE** ppbySignature, DWORD* pdwSignatureLen) {
        return CalculateHashandSign(pCertContext, pbyData, dwDataLen, algId, ppbySignature,
                                    pdwSignatureLen);
      },
      {.dwDataLen = dwDataLen, .bFile = FALSE, .bAttach = bAttach, .pbyData = pbyData},
      pbstrOutput);
}

HRESULT SignFile(BSTR* pbstrOutput, LPCWSTR lpwFilePath, PCCERT_CONTEXT pCertContext,
                 ALG_ID algId) {
  TraceHelper helper("SignFile");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"SignFile");
  TraceValue(kTraceGuidWinsvc, "algId", static_cast<std::uint32_t>(algId));
  TraceValue(kTraceGuidWinsvc, "lpwFilePath", lpwFilePath);
  // Always detached: the file's content never goes into the output.
  return SignIntoPKCS7(
      trace, pCertContext, algId, u"CalculateFileHashandSign", u"FAILED(CalculateFileHashandSign)",
      [&](BYTE** ppbySignature, DWORD* pdwSignatureLen) {
        return CalculateFileHashandSign(pCertContext, lpwFilePath, algId, ppbySignature,
                                        pdwSignatureLen);
      },
      {.dwDataLen = 0, .bFile = TRUE, .bAttach = FALSE, .lpwFilePath = lpwFilePath}, pbstrOutput);
}
