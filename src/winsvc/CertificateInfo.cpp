#include "winsvc/CertificateInfo.h"

#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "platform/cert/CertNames.h"
#include "platform/csp/CspHandles.h"
#include "platform/base/LastError.h"
#include "platform/base/LastErrorResult.h"
#include "resources/ResultCodes.h"
#include "smengine/common/TextUtility.h"
#include "trace/Trace.h"

namespace {

constexpr LPCWSTR kSourceUnit = u"CertificateInfo";
constexpr DWORD kEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr DWORD kNameFlags = CERT_NAME_STR_REVERSE_FLAG | CERT_NAME_STR_NO_QUOTING_FLAG;

bool HasCertInfo(PCCERT_CONTEXT pCertContext) {
  return pCertContext != nullptr && pCertContext->pCertInfo != nullptr;
}

// A name as a new wide string: sized first, then filled into a zeroed buffer.
HRESULT NameToText(StepTrace& trace, const CERT_NAME_BLOB* pName, DWORD dwStrType,
                   LPWSTR* ppwszName, DWORD* pdwLength) {
  trace.Step(u"CertNameToStr");
  SetLastError(ERROR_SUCCESS);
  const DWORD dwChars = CertNameToStrW(kEncodingType, pName, dwStrType, nullptr, 0);
  if (dwChars == 0) return trace.Failed(FailureFromLastError(), u"0 == dwNameLength");
  trace.Passed();

  trace.Step(u"New buffer");
  std::unique_ptr<WCHAR[]> pwszName(new (std::nothrow) WCHAR[dwChars]());
  if (!pwszName) return trace.Failed(E_OUTOFMEMORY, u"Dispatch memory failed.");
  trace.Passed();

  trace.Step(u"CertNameToStr");
  const DWORD dwWritten = CertNameToStrW(kEncodingType, pName, dwStrType, pwszName.get(), dwChars);
  if (dwWritten == 0) return trace.Failed(FailureFromLastError(), u"0 == dwNameLength");
  trace.Passed();

  *ppwszName = pwszName.release();
  *pdwLength = dwWritten;
  return S_OK;
}

// Decodes an extension into a zeroed, self-contained structure buffer.
HRESULT DecodeExtension(StepTrace& trace, const CERT_EXTENSION* pExtension, LPCSTR lpszStructType,
                        std::unique_ptr<BYTE[]>& pbyStruct) {
  trace.Step(u"CryptDecodeObjectEx");
  DWORD cbStruct = 0;
  SetLastError(ERROR_SUCCESS);
  if (!CryptDecodeObjectEx(kEncodingType, lpszStructType, pExtension->Value.pbData,
                           pExtension->Value.cbData, CRYPT_DECODE_NOCOPY_FLAG, nullptr, nullptr,
                           &cbStruct))
    return trace.Failed(FailureFromLastError(), u"FALSE == CryptDecodeObjectEx");
  trace.Passed();

  trace.Step(u"New buffer");
  pbyStruct.reset(new (std::nothrow) BYTE[cbStruct]());
  if (!pbyStruct) return trace.Failed(E_OUTOFMEMORY, u"Dispatch memory failed.");
  trace.Passed();

  trace.Step(u"CryptDecodeObjectEx");
  SetLastError(ERROR_SUCCESS);
  if (!CryptDecodeObjectEx(kEncodingType, lpszStructType, pExtension->Value.pbData,
                           pExtension->Value.cbData, CRYPT_DECODE_NOCOPY_FLAG, nullptr,
                           pbyStruct.get(), &cbStruct))
    return trace.Failed(FailureFromLastError(), u"FALSE == CryptDecodeObjectEx");
  trace.Passed();
  return S_OK;
}

// A provider parameter of the certificate's private key as a wide string.
HRESULT KeyProviderText(StepTrace& trace, PCCERT_CONTEXT pCertContext, DWORD dwParam,
                        LPWSTR* ppwszName, DWORD* pdwLength) {
  AcquiredCryptProv provider;
  DWORD dwKeySpec = 0;
  HRESULT hResult = AcquireCertificateKey(trace, pCertContext, provider, &dwKeySpec,
                                          u"CryptAcquireCertificatePrivateKey FAILED.");
  if (FAILED(hResult)) return hResult;

  trace.Step(u"GetProviderInfo");
  BYTE* pbyRaw = nullptr;
  DWORD dwRawLength = 0;
  hResult = GetProviderInfo(provider.Get(), dwParam, &pbyRaw, &dwRawLength);
  if (FAILED(hResult)) return trace.Failed(hResult, u"GetProviderInfo FAILED.");
  std::unique_ptr<BYTE[]> pbyData(pbyRaw);
  trace.Passed();

  // The CSP's text normally carries its terminator; never read past its length.
  trace.Step(u"UTF8ToUTF16");
  const auto* pszData = reinterpret_cast<const char*>(pbyData.get());
  const std::string strName(pszData, strnlen(pszData, dwRawLength));
  LPWSTR pwszName = nullptr;
  int nLength = 0;
  hResult = UTF8ToUTF16(strName.c_str(), &pwszName, &nLength);
  if (FAILED(hResult)) return trace.Failed(hResult, u"UTF8ToUTF16 FAILED.");
  trace.Passed();

  *ppwszName = pwszName;
  *pdwLength = static_cast<DWORD>(nLength);
  return S_OK;
}

HRESULT CertTime(StepTrace& trace, const FILETIME& ftTime, SYSTEMTIME* pstTime) {
  trace.Step(u"FileTimeToSystemTime");
  SYSTEMTIME stTime{};
  SetLastError(ERROR_SUCCESS);
  if (!FileTimeToSystemTime(&ftTime, &stTime))
    return trace.Failed(FailureFromLastError(), u"FALSE == FileTimeToSystemTime");
  trace.Passed();
  *pstTime = stTime;
  return S_OK;
}

// The extension with that OID; the missing-extension code when there is none.
HRESULT FindCertExtension(StepTrace& trace, PCCERT_CONTEXT pCertContext, LPCSTR pszObjId,
                          HRESULT hMissing, const CERT_EXTENSION** ppExtension) {
  trace.Step(u"CertFindExtension");
  const CERT_INFO* pInfo = pCertContext->pCertInfo;
  *ppExtension = CertFindExtension(pszObjId, pInfo->cExtension, pInfo->rgExtension);
  if (*ppExtension == nullptr) return trace.Failed(hMissing, u"NULL == pExtension");
  trace.Passed();
  return S_OK;
}

// A copy of the bytes in a new[] buffer for the caller.
HRESULT CopyToNewBuffer(StepTrace& trace, const BYTE* pbData, DWORD cbData, BYTE** ppbyOut,
                        DWORD* pdwLength) {
  trace.Step(u"New buffer");
  std::unique_ptr<BYTE[]> pbyCopy(new (std::nothrow) BYTE[cbData]());
  if (!pbyCopy) return trace.Failed(E_OUTOFMEMORY, u"Dispatch memory failed.");
  if (cbData != 0) std::memcpy(pbyCopy.get(), pbData, cbData);
  trace.Passed();
  *ppbyOut = pbyCopy.release();
  *pdwLength = cbData;
  return S_OK;
}

}  // namespace

HRESULT GetCertSubject(PCCERT_CONTEXT pCertContext, DWORD dwNameForm, LPWSTR* ppwszSubject,
                       DWORD* pdwLength) {
  TraceHelper helper("GetCertSubject");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"GetCertSubject");
  trace.Step(u"Check parameter");
  if (!HasCertInfo(pCertContext) || ppwszSubject == nullptr || pdwLength == nullptr)
    return trace.Failed(E_INVALIDARG,
                        u"NULL == pCertContext || NULL == ppwszSubject || NULL == pdwLength");
  if (dwNameForm != CERT_SIMPLE_NAME_STR && dwNameForm != CERT_X500_NAME_STR)
    return trace.Failed(E_INVALIDARG,
                        u"CERT_SIMPLE_NAME_STR != dwNameForm && CERT_X500_NAME_STR != dwNameForm");
  return NameToText(trace, &pCertContext->pCertInfo->Subject, dwNameForm | kNameFlags, ppwszSubject,
                    pdwLength);
}

HRESULT GetCertIssuer(PCCERT_CONTEXT pCertContext, LPWSTR* ppwszIssuer, DWORD* pdwLength) {
  TraceHelper helper("GetCertIssuer");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"GetCertIssuer");
  trace.Step(u"Check parameter");
  if (!HasCertInfo(pCertContext) || ppwszIssuer == nullptr || pdwLength == nullptr)
    return trace.Failed(E_INVALIDARG,
                        u"NULL == pCertContext || NULL == ppwszIssuer || NULL == pdwLength");
  return NameToText(trace, &pCertContext->pCertInfo->Issuer, CERT_X500_NAME_STR | kNameFlags,
                    ppwszIssuer, pdwLength);
}

HRESULT GetCertSerialNumber(PCCERT_CONTEXT pCertContext, BYTE** ppbySerialNumber,
                            DWORD* pdwLength) {
  TraceHelper helper("GetCertSerialNumber");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"GetCertSerialNumber");
  trace.Step(u"Check parameter");
  if (!HasCertInfo(pCertContext) || ppbySerialNumber == nullptr || pdwLength == nullptr)
    return trace.Failed(E_INVALIDARG,
                        u"NULL == pCertContext || NULL == ppbySerialNumber || NULL == pdwLength");
  const CRYPT_INTEGER_BLOB& serial = pCertContext->pCertInfo->SerialNumber;
  return CopyToNewBuffer(trace, serial.pbData, serial.cbData, ppbySerialNumber, pdwLength);
}

HRESULT GetCertKeyUsage(PCCERT_CONTEXT pCertContext, DWORD* pdwKeyUsage, DWORD* pdwLength) {
  TraceHelper helper("GetCertKeyUsage");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"GetCertKeyUsage");
  trace.Step(u"Check parameter");
  if (!HasCertInfo(pCertContext) || pdwKeyUsage == nullptr)
    return trace.Failed(E_INVALIDARG, u"NULL == pCertContext || NULL == pdwKeyUsage");

  const CERT_EXTENSION* pExtension = nullptr;
  HRESULT hResult =
      FindCertExtension(trace, pCertContext, szOID_KEY_USAGE, SIGIL_E_NO_KEY_USAGE, &pExtension);
  if (FAILED(hResult)) return hResult;

  std::unique_ptr<BYTE[]> pbyStruct;
  hResult = DecodeExtension(trace, pExtension, X509_KEY_USAGE, pbyStruct);
  if (FAILED(hResult)) return hResult;
  CRYPT_BIT_BLOB bits{};
  std::memcpy(&bits, pbyStruct.get(), sizeof bits);

  *pdwKeyUsage = bits.cbData != 0 ? bits.pbData[0] : 0;
  if (pdwLength != nullptr) *pdwLength = sizeof(DWORD);
  return S_OK;
}

HRESULT GetCertSubjectKeyID(PCCERT_CONTEXT pCertContext, BYTE** ppbyKeyID, DWORD* pdwLength) {
  TraceHelper helper("GetCertSubjectKeyID");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"GetCertSubjectKeyID");
  trace.Step(u"Check parameter");
  if (!HasCertInfo(pCertContext) || (ppbyKeyID != nullptr && pdwLength == nullptr))
    return trace.Failed(E_INVALIDARG, u"NULL == pCertContext || NULL == pdwLength");

  const CERT_EXTENSION* pExtension = nullptr;
  HRESULT hResult = FindCertExtension(trace, pCertContext, szOID_SUBJECT_KEY_IDENTIFIER,
                                      SIGIL_E_NO_SUBJECT_KEY_ID, &pExtension);
  if (FAILED(hResult) || ppbyKeyID == nullptr) return hResult;

  std::unique_ptr<BYTE[]> pbyStruct;
  hResult = DecodeExtension(trace, pExtension, X509_OCTET_STRING, pbyStruct);
  if (FAILED(hResult)) return hResult;
  CRYPT_DATA_BLOB keyId{};
  std::memcpy(&keyId, pbyStruct.get(), sizeof keyId);
  return CopyToNewBuffer(trace, keyId.pbData, keyId.cbData, ppbyKeyID, pdwLength);
}

HRESULT GetCertProviderName(PCCERT_CONTEXT pCertContext, LPWSTR* ppwszName, DWORD* pdwLength) {
  TraceHelper helper("GetCertProviderName");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"GetCertProviderName");
  trace.Step(u"Check parameter");
  if (pCertContext == nullptr || ppwszName == nullptr || pdwLength == nullptr)
    return trace.Failed(E_INVALIDARG,
                        u"NULL == pCertContext || NULL == ppwszName || NULL == pdwLength");
  return KeyProviderText(trace, pCertContext, PP_NAME, ppwszName, pdwLength);
}

HRESULT GetCertContainerName(PCCERT_CONTEXT pCertContext, LPWSTR* ppwszName, DWORD* pdwLength) {
  TraceHelper helper("GetCertContainerName");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"GetCertContainerName");
  trace.Step(u"Check parameter");
  if (pCertContext == nullptr || ppwszName == nullptr || pdwLength == nullptr)
    return trace.Failed(E_INVALIDARG,
                        u"NULL == pCertContext || NULL == ppwszName || NULL == pdwLength");
  return KeyProviderText(trace, pCertContext, PP_CONTAINER, ppwszName, pdwLength);
}

HRESULT GetCertToDate(PCCERT_CONTEXT pCertContext, SYSTEMTIME* pstTime) {
  TraceHelper helper("GetCertToDate");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"GetCertToDate");
  trace.Step(u"Check parameter");
  if (!HasCertInfo(pCertContext) || pstTime == nullptr)
    return trace.Failed(E_INVALIDARG, u"NULL == pCertContext || NULL == pstTime");
  return CertTime(trace, pCertContext->pCertInfo->NotAfter, pstTime);
}

HRESULT GetCertFromDate(PCCERT_CONTEXT pCertContext, SYSTEMTIME* pstTime) {
  TraceHelper helper("GetCertFromDate");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"GetCertFromDate");
  trace.Step(u"Check parameter");
  if (!HasCertInfo(pCertContext) || pstTime == nullptr)
    return trace.Failed(E_INVALIDARG, u"NULL == pCertContext || NULL == pstTime");
  return CertTime(trace, pCertContext->pCertInfo->NotBefore, pstTime);
}

HRESULT AcquireCertificateKey(StepTrace& trace, PCCERT_CONTEXT pCertContext,
                              AcquiredCryptProv& provider, DWORD* pdwKeySpec, LPCWSTR reason,
                              std::source_location where) {
  trace.Step(u"CryptAcquireCertificatePrivateKey");
  SetLastError(ERROR_SUCCESS);
  if (!CryptAcquireCertificatePrivateKey(pCertContext, 0, nullptr, provider.Out(), pdwKeySpec,
                                         provider.CallerFree()))
    return trace.Failed(FailureFromLastError(), reason, where);
  trace.Passed();
  return S_OK;
}

HRESULT GetProviderInfo(HCRYPTPROV hProv, DWORD dwParam, BYTE** ppbyData, DWORD* pdwLength) {
  TraceHelper helper("GetProviderInfo");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"GetProviderInfo");
  trace.Step(u"Check parameter");
  if (ppbyData == nullptr || pdwLength == nullptr)
    return trace.Failed(E_INVALIDARG, u"NULL == ppbyData || NULL == pdwLength");

  trace.Step(u"CryptGetProvParam");
  DWORD dwLength = 0;
  SetLastError(ERROR_SUCCESS);
  if (!CryptGetProvParam(hProv, dwParam, nullptr, &dwLength, 0))
    return trace.Failed(FailureFromLastError(), u"FALSE == CryptGetProvParam");
  if (dwLength == 0) return trace.Failed(E_FAIL, u"0 == dwDataLen");
  trace.Passed();

  // One spare zero byte keeps narrow text terminated whatever the CSP wrote.
  trace.Step(u"New buffer");
  std::unique_ptr<BYTE[]> pbyData(new (std::nothrow) BYTE[std::size_t{dwLength} + 1]());
  if (!pbyData) return trace.Failed(E_OUTOFMEMORY, u"Dispatch memory failed.");
  trace.Passed();

  trace.Step(u"CryptGetProvParam");
  SetLastError(ERROR_SUCCESS);
  if (!CryptGetProvParam(hProv, dwParam, pbyData.get(), &dwLength, 0))
    return trace.Failed(FailureFromLastError(), u"FALSE == CryptGetProvParam");
  trace.Passed();

  *ppbyData = pbyData.release();
  *pdwLength = dwLength;
  return S_OK;
}

HRESULT QueryCertContextInfo(DWORD* pdwInfoLength, void* pvInfo, PCCERT_CONTEXT pCertContext,
                             DWORD dwInfoType) {
  TraceHelper helper("QueryCertContextInfo");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"QueryCertContextInfo");
  TraceValue(kTraceGuidWinsvc, "dwInfoType", dwInfoType);
  trace.Step(u"Check parameter");
  if (pdwInfoLength == nullptr || pvInfo == nullptr || pCertContext == nullptr)
    return trace.Failed(E_INVALIDARG,
                        u"NULL == pdwInfoLength || NULL == pvInfo || NULL == pCertContext");

  HRESULT hResult = S_OK;
  switch (dwInfoType) {
    case CERTINFO_SUBJECT_DN:
      trace.Step(u"GetCertSubject");
      hResult = GetCertSubject(pCertContext, CERT_X500_NAME_STR, static_cast<LPWSTR*>(pvInfo),
                               pdwInfoLength);
      break;
    case CERTINFO_SUBJECT_NAME:
      trace.Step(u"GetCertSubject");
      hResult = GetCertSubject(pCertContext, CERT_SIMPLE_NAME_STR, static_cast<LPWSTR*>(pvInfo),
                               pdwInfoLength);
      break;
    case CERTINFO_ISSUER_DN:
      trace.Step(u"GetCertIssuer");
      hResult = GetCertIssuer(pCertContext, static_cast<LPWSTR*>(pvInfo), pdwInfoLength);
      break;
    case CERTINFO_SERIAL_NUMBER:
      trace.Step(u"GetCertSerialNumber");
      hResult = GetCertSerialNumber(pCertContext, static_cast<BYTE**>(pvInfo), pdwInfoLength);
      break;
    case CERTINFO_CSP_NAME:
      trace.Step(u"GetCertProviderName");
      hResult = GetCertProviderName(pCertContext, static_cast<LPWSTR*>(pvInfo), pdwInfoLength);
      break;
    case CERTINFO_VALID_TO:
    case CERTINFO_VALID_FROM: {
      trace.Step(dwInfoType == CERTINFO_VALID_TO ? u"GetCertToDate" : u"GetCertFromDate");
      auto* pstTime = static_cast<SYSTEMTIME*>(pvInfo);
      hResult = dwInfoType == CERTINFO_VALID_TO ? GetCertToDate(pCertContext, pstTime)
                                                : GetCertFromDate(pCertContext, pstTime);
      if (SUCCEEDED(hResult)) *pdwInfoLength = sizeof(SYSTEMTIME);
      break;
    }
    case CERTINFO_SUBJECT_KEY_ID:
      trace.Step(u"GetCertSubjectKeyID");
      hResult = GetCertSubjectKeyID(pCertContext, static_cast<BYTE**>(pvInfo), pdwInfoLength);
      break;
    case CERTINFO_KEY_USAGE:
      trace.Step(u"GetCertKeyUsage");
      hResult = GetCertKeyUsage(pCertContext, static_cast<DWORD*>(pvInfo), pdwInfoLength);
      break;
    case CERTINFO_CONTAINER_NAME:
      trace.Step(u"GetCertContainerName");
      hResult = GetCertContainerName(pCertContext, static_cast<LPWSTR*>(pvInfo), pdwInfoLength);
      break;
    default:
      trace.Step(u"Check query type");
      return trace.Failed(SIGIL_E_QUERY_TYPE_NOT_SUPPORTED, u"TRUE");
  }
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(hResult)");
  trace.Passed();
  return S_OK;
}
