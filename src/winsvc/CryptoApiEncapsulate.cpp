// The PKCS #7 SignedData of one RSA signer, assembled from pieces encoded
// by CryptoAPI and by ASN1Encode.
#include <cstdint>
#include <memory>
#include <new>
#include <string>

#include "platform/base/Bstr.h"
#include "platform/cert/CertDecode.h"
#include "platform/msg/CryptMsg.h"
#include "platform/base/LastError.h"
#include "platform/base/LastErrorResult.h"
#include "platform/base/WideString.h"
#include "trace/Trace.h"
#include "winsvc/CryptoApiSigning.h"
#include "winsvc/SigningPieces.h"

namespace {

constexpr LPCWSTR kSourceUnit = u"CryptoApiEncapsulate";

}  // namespace

HRESULT EncodeObject(DWORD* pdwEncodedLen, LPCSTR lpszStructType, const void* pvStructInfo,
                     BYTE** ppbyEncoded) {
  TraceHelper helper("EncodeObject");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"EncodeObject");
  trace.Step(u"Check parameter");
  if (pdwEncodedLen == nullptr || ppbyEncoded == nullptr || pvStructInfo == nullptr)
    return trace.Failed(E_INVALIDARG, u"NULL == pdwEncodedLen || NULL == ppbyEncoded");

  trace.Step(u"CryptEncodeObject - get length");
  DWORD dwEncodedLen = 0;
  SetLastError(ERROR_SUCCESS);
  if (!CryptEncodeObject(signing::kMsgAndCertEncoding, lpszStructType, pvStructInfo, nullptr,
                         &dwEncodedLen))
    return trace.Failed(FailureFromLastError(), u"FALSE == CryptEncodeObject");
  if (dwEncodedLen == 0) return trace.Failed(E_FAIL, u"0 == dwEncodedLen");

  trace.Step(u"New Memory");
  std::unique_ptr<BYTE[]> pbyEncoded(new (std::nothrow) BYTE[dwEncodedLen]());
  if (!pbyEncoded) return trace.Failed(E_OUTOFMEMORY, u"NULL == pbyEncoded");

  trace.Step(u"CryptEncodeObject - get value");
  SetLastError(ERROR_SUCCESS);
  if (!CryptEncodeObject(signing::kMsgAndCertEncoding, lpszStructType, pvStructInfo,
                         pbyEncoded.get(), &dwEncodedLen))
    return trace.Failed(FailureFromLastError(), u"FALSE == CryptEncodeObject");
  trace.Passed();
  *ppbyEncoded = pbyEncoded.release();
  *pdwEncodedLen = dwEncodedLen;
  return S_OK;
}

HRESULT EncapsulatePKCS7(PCCERT_CONTEXT pCertContext, LPCSTR pszDigestOid, LPCSTR pszSignatureOid,
                         DWORD dwDataLen, const BYTE* pbySignature, DWORD dwSignatureLen,
                         BSTR* pbstrOutput, DWORD* pdwOutputLen, BOOL bFile, BOOL bAttach,
                         DWORD dwBase64Flags, const BYTE* pbyData, LPCWSTR lpwFilePath) {
  TraceHelper helper("EncapsulatePKCS7");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"EncapsulatePKCS7");
  HRESULT hResult = signing::CheckSignedDataInputs(trace, pCertContext, pszDigestOid,
                                                   pszSignatureOid, bFile, bAttach);
  if (FAILED(hResult)) return hResult;
  if (pbySignature == nullptr || dwSignatureLen == 0)
    return trace.Failed(E_INVALIDARG, u"NULL == pbySignature");
  if (pbstrOutput == nullptr || pdwOutputLen == nullptr)
    return trace.Failed(E_INVALIDARG, u"NULL == pbstrOutput || NULL == pdwOutputLen");

  trace.Step(u"EncodeObject(PKCS7_SIGNER_INFO)");
  CMSG_SIGNER_INFO signerInfo = signing::SignerInfoOf(pCertContext, pszDigestOid, pszSignatureOid,
                                                      pbySignature, dwSignatureLen);
  BYTE* pbyEncoded = nullptr;
  DWORD dwEncoded = 0;
  hResult = EncodeObject(&dwEncoded, PKCS7_SIGNER_INFO, &signerInfo, &pbyEncoded);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(EncodeObject)");
  signing::Der signerInfoDer;
  signerInfoDer.Adopt(pbyEncoded, dwEncoded);
  trace.Passed();

  signing::SignedDataInput input{szOID_RSA_data, szOID_RSA_signedData,
                                 pCertContext,   pszDigestOid,
                                 &signerInfoDer, bFile,
                                 bAttach,        pbyData,
                                 dwDataLen,      lpwFilePath};
  std::unique_ptr<char[]> pszText;
  int nTextLen = 0;
  hResult = signing::BuildSignedContentInfoBase64(trace, input, dwBase64Flags, pszText, &nTextLen);
  if (FAILED(hResult)) return hResult;

  // Base64 is ASCII, so the thread's code page changes nothing but the width.
  trace.Step(u"MultiByteToWideChar");
  int nWideLen = 0;
  if (nTextLen > 0) {
    SetLastError(ERROR_SUCCESS);
    nWideLen = MultiByteToWideChar(CP_ACP, 0, pszText.get(), nTextLen, nullptr, 0);
    if (nWideLen <= 0) return trace.Failed(FailureFromLastError(), u"0 == MultiByteToWideChar");
  }
  std::u16string strWide(static_cast<std::size_t>(nWideLen), u'\0');
  if (nTextLen > 0 &&
      MultiByteToWideChar(CP_ACP, 0, pszText.get(), nTextLen, strWide.data(), nWideLen) != nWideLen)
    return trace.Failed(FailureFromLastError(), u"0 == MultiByteToWideChar");

  trace.Step(u"SysAllocStringLen");
  BSTR bstrOutput = SysAllocStringLen(strWide.data(), static_cast<UINT>(strWide.size()));
  if (bstrOutput == nullptr) return trace.Failed(E_OUTOFMEMORY, u"NULL == bstrOutput");
  trace.Passed();
  *pbstrOutput = bstrOutput;
  *pdwOutputLen = static_cast<DWORD>(strWide.size());
  return S_OK;
}
