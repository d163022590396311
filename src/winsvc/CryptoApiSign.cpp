// Raw PKCS #1 signatures by the CSP that holds the certificate's key, and
// the PKCS #7 outputs built on them.
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <string>

#include "platform/Csp.h"
#include "platform/CspHash.h"
#include "platform/LastError.h"
#include "smengine/LastErrorResult.h"
#include "smengine/TextUtility.h"
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

  // Flags 0: a token's CSP may show its own PIN prompt here.
  trace.Step(u"CryptAcquireCertificatePrivateKey");
  signing::ProviderLease provider;
  DWORD dwKeySpec = 0;
  SetLastError(ERROR_SUCCESS);
  if (!CryptAcquireCertificatePrivateKey(pCertContext, 0, nullptr, provider.Out(), &dwKeySpec,
                                         provider.ReleaseFlag()))
    return trace.Failed(FailureFromLastError(), u"FALSE == CryptAcquireCertificatePrivateKey");
  trace.Passed();

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

  HRESULT hResult = feed(trace, hash.Get());
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

  // Before anything else: an unknown algorithm must not reach the key.
  trace.Step(u"GetAlgorithmIdentifiers");
  LPCSTR pszDigestOid = nullptr;
  LPCSTR pszSignatureOid = nullptr;
  if (!GetAlgorithmIdentifiers(algId, &pszDigestOid, &pszSignatureOid))
    return trace.Failed(NTE_BAD_ALGID, u"FALSE == GetAlgorithmIdentifiers");
  trace.Step(u"Check parameter");
  if (pbstrOutput == nullptr) return trace.Failed(E_INVALIDARG, u"NULL == pbstrOutput");

  trace.Step(u"CalculateHashandSign");
  BYTE* pbyRaw = nullptr;
  DWORD dwSignatureLen = 0;
  HRESULT hResult =
      CalculateHashandSign(pCertContext, pbyData, dwDataLen, algId, &pbyRaw, &dwSignatureLen);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(CalculateHashandSign)");
  std::unique_ptr<BYTE[]> pbySignature(pbyRaw);
  trace.Passed();

  trace.Step(u"EncapsulatePKCS7");
  BSTR bstrOutput = nullptr;
  DWORD dwOutputLen = 0;
  hResult = EncapsulatePKCS7(pCertContext, pszDigestOid, pszSignatureOid, dwDataLen,
                             pbySignature.get(), dwSignatureLen, &bstrOutput, &dwOutputLen, FALSE,
                             bAttach, kBase64NoLineBreaks, pbyData, nullptr);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(EncapsulatePKCS7)");
  trace.Passed();
  *pbstrOutput = bstrOutput;
  return S_OK;
}

HRESULT SignFile(BSTR* pbstrOutput, LPCWSTR lpwFilePath, PCCERT_CONTEXT pCertContext,
                 ALG_ID algId) {
  TraceHelper helper("SignFile");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"SignFile");
  TraceValue(kTraceGuidWinsvc, "algId", static_cast<std::uint32_t>(algId));
  TraceValue(kTraceGuidWinsvc, "lpwFilePath", lpwFilePath);

  trace.Step(u"GetAlgorithmIdentifiers");
  LPCSTR pszDigestOid = nullptr;
  LPCSTR pszSignatureOid = nullptr;
  if (!GetAlgorithmIdentifiers(algId, &pszDigestOid, &pszSignatureOid))
    return trace.Failed(NTE_BAD_ALGID, u"FALSE == GetAlgorithmIdentifiers");
  trace.Step(u"Check parameter");
  if (pbstrOutput == nullptr) return trace.Failed(E_INVALIDARG, u"NULL == pbstrOutput");

  trace.Step(u"CalculateFileHashandSign");
  BYTE* pbyRaw = nullptr;
  DWORD dwSignatureLen = 0;
  HRESULT hResult =
      CalculateFileHashandSign(pCertContext, lpwFilePath, algId, &pbyRaw, &dwSignatureLen);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(CalculateFileHashandSign)");
  std::unique_ptr<BYTE[]> pbySignature(pbyRaw);
  trace.Passed();

  // Always detached: the file's content never goes into the output.
  trace.Step(u"EncapsulatePKCS7");
  BSTR bstrOutput = nullptr;
  DWORD dwOutputLen = 0;
  hResult = EncapsulatePKCS7(pCertContext, pszDigestOid, pszSignatureOid, 0, pbySignature.get(),
                             dwSignatureLen, &bstrOutput, &dwOutputLen, TRUE, FALSE,
                             kBase64NoLineBreaks, nullptr, lpwFilePath);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(EncapsulatePKCS7)");
  trace.Passed();
  *pbstrOutput = bstrOutput;
  return S_OK;
}
