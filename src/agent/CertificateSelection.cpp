// Choosing the signing and the encryption certificate, and reporting on the
// one chosen.
#include <cstring>
#include <memory>
#include <new>
#include <source_location>
#include <string>

#include "agent/AgentHolders.h"
#include "agent/CryptoAgent.h"
#include "agent/OperationScope.h"
#include "agent/SiteConsent.h"
#include "platform/base/Bstr.h"
#include "platform/cert/CertNames.h"
#include "platform/csp/Csp.h"
#include "platform/csp/CspHandles.h"
#include "platform/base/LastError.h"
#include "platform/base/WideString.h"
#include "resources/ResultCodes.h"
#include "smengine/common/TextUtility.h"
#include "trace/Trace.h"
#include "ui/CertificateDialogs.h"
#include "winsvc/CertificateChecks.h"
#include "winsvc/CertificateInfo.h"
#include "winsvc/CertificateStore.h"
#include "winsvc/UnregisteredCertContext.h"
#include "winsvc/UnregisteredCertificates.h"

using agent::IsTypeName;
using agent::OperationScope;

namespace {

// Selection traces under the unit of its side, as the rest of that side does.
constexpr LPCWSTR kSigningSource = u"MessageSigning";
constexpr LPCWSTR kEncryptionSource = u"MessageEncryption";

constexpr std::initializer_list<LPCWSTR> kCertInfoTypes = {
    u"SubjectDN", u"SubjectCN", u"SerialNumber", u"CSPName", u"CertType", u"IssuerDN"};

// Signature algorithm prefixes: SM2 certificates come out of CSP key
// containers, RSA certificates out of the certificate stores.
constexpr LPCSTR kSm2AlgPrefix = "1.2.156.10197";
constexpr LPCSTR kRsaAlgPrefix = "1.2.840.113549";

constexpr DWORD kDigitalSignature = 0x80;
constexpr DWORD kKeyEncipherment = 0x20;

// The agent's members that hold one side's selection.
struct SelectionSide {
  PCCERT_CONTEXT& pCertContext;
  PUNREGISTERED_CERT_CONTEXT& pUnregisteredCertContext;
  BOOL& bSM2;
  bool bEncryption;
  LPCWSTR lpwOrigin;  // the page the dialog names as asking, or null
};

bool SameEncoding(PCCERT_CONTEXT pFirst, PCCERT_CONTEXT pSecond) {
  return pFirst->cbCertEncoded == pSecond->cbCertEncoded &&
         std::memcmp(pFirst->pbCertEncoded, pSecond->pbCertEncoded, pFirst->cbCertEncoded) == 0;
}

bool IsInSet(const CERTIFICATE_SET& vtrSet, PCCERT_CONTEXT pCertContext) {
  for (PCCERT_CONTEXT pMember : vtrSet)
    if (SameEncoding(pMember, pCertContext)) return true;
  return false;
}

// A duplication failure leaves no usable last error on some paths; the
// operation must still fail.
HRESULT FailureFromLastError() {
  const HRESULT hResult = ResultFromLastError(GetLastError());
  return FAILED(hResult) ? hResult : E_OUTOFMEMORY;
}

// Appends a new reference to the certificate; the set owns it.
HRESULT AppendDuplicate(StepTrace& trace, CERTIFICATE_SET& vtrSet, PCCERT_CONTEXT pCertContext,
                        std::source_location where = std::source_location::current()) {
  trace.Step(u"CertDuplicateCertificateContext");
  SetLastError(ERROR_SUCCESS);
  PCCERT_CONTEXT pstTempCert = CertDuplicateCertificateContext(pCertContext);
  if (pstTempCert == nullptr)
    return trace.Failed(FailureFromLastError(), u"pstTempCert == NULL", where);
  vtrSet.push_back(pstTempCert);
  trace.Passed();
  return S_OK;
}

// Subject or issuer in X.500 form, as the certificate services give it.
HRESULT QueryName(StepTrace& trace, PCCERT_CONTEXT pCertContext, DWORD dwInfoType,
                  std::u16string& wstrName) {
  trace.Step(dwInfoType == CERTINFO_ISSUER_DN ? u"QueryCertContextInfo(IssuerDN)"
                                              : u"QueryCertContextInfo(SubjectDN)");
  LPWSTR pwszName = nullptr;
  DWORD dwLength = 0;
  const HRESULT hResult = QueryCertContextInfo(&dwLength, &pwszName, pCertContext, dwInfoType);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(hResult)");
  std::unique_ptr<WCHAR[]> owner(pwszName);
  wstrName = pwszName ? pwszName : u"";
  trace.Passed();
  return S_OK;
}

// Gathers the candidates of one side, lets the user choose and keeps the
// choice in the side's members. On return the side is either empty or holds
// exactly the chosen certificate.
HRESULT SelectForSide(StepTrace& trace, SelectionSide side, LPCWSTR lpwSubjectDNFilter,
                      LPCWSTR lpwIssuerDNFilter, LPCWSTR lpwSerialNumberFilter,
                      std::u16string& wstrSubject) {
  // First of all, so that a selection that fails leaves nothing selected.
  trace.Step(u"Release selected certificate");
  CertFreeUnregisteredCertContext(side.pUnregisteredCertContext);
  side.pUnregisteredCertContext = nullptr;
  if (side.pCertContext) CertFreeCertificateContext(side.pCertContext);
  side.pCertContext = nullptr;
  side.bSM2 = FALSE;
  trace.Passed();

  CERTIFICATE_FILTER stFilter{};
  stFilter.lpwSubjectDNFilter = lpwSubjectDNFilter;
  stFilter.lpwIssuerDNFilter = lpwIssuerDNFilter;
  stFilter.dwKeyUsage = side.bEncryption ? kKeyEncipherment : kDigitalSignature;
  // A recipient's certificate needs no key of ours.
  stFilter.bCheckPrivateKey = side.bEncryption ? FALSE : TRUE;

  HRESULT hResult = S_OK;
  std::unique_ptr<BYTE[]> pbySerialNumber;
  if (lpwSerialNumberFilter != nullptr && *lpwSerialNumberFilter != u'\0') {
    trace.Step(u"ConvertStringToBinaryData");
    BYTE* pbyData = nullptr;
    DWORD dwDataLen = 0;
    hResult = ConvertStringToBinaryData(&dwDataLen, lpwSerialNumberFilter, &pbyData);
    if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(hResult)");
    pbySerialNumber.reset(pbyData);
    stFilter.pbySerialNumber = pbySerialNumber.get();
    stFilter.cbSerialNumber = dwDataLen;
    trace.Passed();
  }

  trace.Step(u"FilterUnregisteredCertificatesfromCSP");
  UNREGISTERED_CERT_SET vtrUnregisteredSet;
  UnregisteredSetReleaser unregisteredReleaser(vtrUnregisteredSet);
  stFilter.pszSignatureAlgOid = kSm2AlgPrefix;
  hResult = FilterUnregisteredCertificatesfromCSP(&stFilter, vtrUnregisteredSet);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(hResult)");
  trace.Passed();

  stFilter.pszSignatureAlgOid = kRsaAlgPrefix;
  trace.Step(u"FilterCertificatesfromLocalStore(MY)");
  CERTIFICATE_SET vtrCertificateSet;
  CertificateSetReleaser candidateReleaser(vtrCertificateSet);
  hResult = FilterCertificatesfromLocalStore(u"MY", &stFilter, vtrCertificateSet);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(hResult)");
  trace.Passed();

  if (side.bEncryption) {
    // Other people's certificates; one that is also in "MY" is offered once.
    trace.Step(u"FilterCertificatesfromLocalStore(ADDRESSBOOK)");
    CERTIFICATE_SET vtrAddressBookSet;
    CertificateSetReleaser addressBookReleaser(vtrAddressBookSet);
    hResult = FilterCertificatesfromLocalStore(u"ADDRESSBOOK", &stFilter, vtrAddressBookSet);
    if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(hResult)");
    trace.Passed();
    for (PCCERT_CONTEXT pCertContext : vtrAddressBookSet) {
      if (IsInSet(vtrCertificateSet, pCertContext)) continue;
      hResult = AppendDuplicate(trace, vtrCertificateSet, pCertContext);
      if (FAILED(hResult)) return hResult;
    }
  }

  for (PUNREGISTERED_CERT_CONTEXT pUnregistered : vtrUnregisteredSet) {
    hResult = AppendDuplicate(trace, vtrCertificateSet, pUnregistered->pCertContext);
    if (FAILED(hResult)) return hResult;
  }

  trace.Step(u"Check certificate count");
  if (vtrCertificateSet.size() == 0)
    return trace.Failed(SIGIL_E_NO_AVAILABLE_CERT, u"vtrCertificateSet.size() == 0");
  trace.Passed();

  // No title: a single candidate is taken without asking the user.
  trace.Step(u"CustomCryptUIDlgSelectCertificate");
  SELECT_CERTIFICATE_PARA stPara{0, nullptr, nullptr, nullptr, nullptr, side.lpwOrigin};
  PCCERT_CONTEXT pChosen = nullptr;
  hResult = CustomCryptUIDlgSelectCertificate(&stPara, vtrCertificateSet, &pChosen);
  agent::UniqueCertContext chosen(pChosen);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(hResult)");
  if (!chosen) return trace.Failed(SIGIL_E_USER_CANCELED, u"pCertContext == NULL");
  trace.Passed();

  hResult = QueryName(trace, chosen.get(), CERTINFO_SUBJECT_DN, wstrSubject);
  if (FAILED(hResult)) return hResult;
  TraceValue(kTraceGuidAgent, "lpwSubjectDN", wstrSubject.c_str());

  trace.Step(u"Check certificate signature algorithm");
  const bool bSM2 = CheckCertSignatureAlg(kSm2AlgPrefix, chosen.get()) == S_OK;
  if (!bSM2 && CheckCertSignatureAlg(kRsaAlgPrefix, chosen.get()) != S_OK)
    return trace.Failed(SIGIL_E_INVALID_KEY_ALG, u"TRUE");
  trace.Passed();

  if (bSM2) {
    // The SM2 certificate is used through the container it came from.
    PUNREGISTERED_CERT_CONTEXT pSource = nullptr;
    for (PUNREGISTERED_CERT_CONTEXT pUnregistered : vtrUnregisteredSet) {
      if (SameEncoding(pUnregistered->pCertContext, chosen.get())) {
        pSource = pUnregistered;
        break;
      }
    }
    trace.Step(u"CertDuplicateUnregisteredCertContext");
    PUNREGISTERED_CERT_CONTEXT pDuplicate = nullptr;
    hResult = CertDuplicateUnregisteredCertContext(pSource, &pDuplicate);
    if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(hResult)");
    trace.Passed();
    side.pUnregisteredCertContext = pDuplicate;
  } else {
    side.pCertContext = chosen.release();
  }
  side.bSM2 = bSM2 ? TRUE : FALSE;
  return S_OK;
}

// The subject's simple display name; an empty one is no answer.
HRESULT QuerySimpleName(StepTrace& trace, PCCERT_CONTEXT pCertContext, std::u16string& wstrName) {
  trace.Step(u"CertGetNameString");
  DWORD dwCertInfoLen =
      CertGetNameStringW(pCertContext, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0);
  if (dwCertInfoLen <= 1)
    return trace.Failed(SIGIL_E_QUERY_TYPE_NOT_SUPPORTED, u"dwCertInfoLen <= 1");
  std::unique_ptr<WCHAR[]> pwszName(new (std::nothrow) WCHAR[dwCertInfoLen]());
  if (!pwszName) return trace.Failed(E_OUTOFMEMORY, u"NULL == pwszCertInfo");
  dwCertInfoLen = CertGetNameStringW(pCertContext, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr,
                                     pwszName.get(), dwCertInfoLen);
  if (dwCertInfoLen <= 1)
    return trace.Failed(SIGIL_E_QUERY_TYPE_NOT_SUPPORTED, u"dwCertInfoLen <= 1");
  wstrName.assign(pwszName.get(), dwCertInfoLen - 1);
  trace.Passed();
  return S_OK;
}

HRESULT QuerySerialNumber(StepTrace& trace, PCCERT_CONTEXT pCertContext,
                          std::u16string& wstrSerial) {
  trace.Step(u"GetCertSerialNumber");
  BYTE* pbySerial = nullptr;
  DWORD dwSerialLen = 0;
  HRESULT hResult = GetCertSerialNumber(pCertContext, &pbySerial, &dwSerialLen);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(hResult)");
  std::unique_ptr<BYTE[]> serialOwner(pbySerial);
  trace.Passed();

  // Stored least significant first; people read it the other way round.
  trace.Step(u"ConvertBinaryDataToString");
  LPWSTR pwszSerial = nullptr;
  hResult = ConvertBinaryDataToString(dwSerialLen, pbySerial, &pwszSerial, 1);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(hResult)");
  std::unique_ptr<WCHAR[]> textOwner(pwszSerial);
  wstrSerial = pwszSerial ? pwszSerial : u"";
  trace.Passed();
  return S_OK;
}

// The name of the CSP that holds the store certificate's private key.
HRESULT QueryKeyProviderName(StepTrace& trace, PCCERT_CONTEXT pCertContext,
                             std::u16string& wstrName) {
  trace.Step(u"CryptAcquireCertificatePrivateKey");
  AcquiredCryptProv provider;
  DWORD dwKeySpec = 0;
  SetLastError(ERROR_SUCCESS);
  const BOOL bRetCode = CryptAcquireCertificatePrivateKey(pCertContext, 0, nullptr, provider.Out(),
                                                          &dwKeySpec, provider.CallerFree());
  if (FALSE == bRetCode) return trace.Failed(FailureFromLastError(), u"FALSE == bRetCode");
  trace.Passed();

  trace.Step(u"GetProviderInfo");
  BYTE* pbyData = nullptr;
  DWORD dwDataLen = 0;
  HRESULT hResult = GetProviderInfo(provider.Get(), PP_NAME, &pbyData, &dwDataLen);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(hResult)");
  std::unique_ptr<BYTE[]> dataOwner(pbyData);
  trace.Passed();

  // The CSP's text normally carries its terminator; never read past its length.
  trace.Step(u"UTF8ToUTF16");
  const auto* pszData = reinterpret_cast<const char*>(pbyData);
  const std::string strName(pszData, strnlen(pszData, dwDataLen));
  LPWSTR pwszName = nullptr;
  int nNameLen = 0;
  hResult = UTF8ToUTF16(strName.c_str(), &pwszName, &nNameLen);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(hResult)");
  std::unique_ptr<WCHAR[]> nameOwner(pwszName);
  wstrName = pwszName ? pwszName : u"";
  trace.Passed();
  return S_OK;
}

// Answers one information type about a side's selected certificate. The
// type is already known to be one of kCertInfoTypes.
HRESULT QueryCertInfo(StepTrace& trace, PCCERT_CONTEXT pStoreCertContext,
                      PUNREGISTERED_CERT_CONTEXT pUnregisteredCertContext, BOOL bSM2,
                      LPCWSTR lpwInfoType, std::u16string& wstrAnswer) {
  PCCERT_CONTEXT pCertContext =
      bSM2 && pUnregisteredCertContext ? pUnregisteredCertContext->pCertContext : pStoreCertContext;
  trace.Step(u"Get certificate context");
  if (pCertContext == nullptr) return trace.Failed(SIGIL_E_CERT_NOT_READY, u"NULL == pCertContext");
  trace.Passed();

  if (IsTypeName(lpwInfoType, u"SubjectDN"))
    return QueryName(trace, pCertContext, CERTINFO_SUBJECT_DN, wstrAnswer);
  if (IsTypeName(lpwInfoType, u"IssuerDN"))
    return QueryName(trace, pCertContext, CERTINFO_ISSUER_DN, wstrAnswer);
  if (IsTypeName(lpwInfoType, u"SubjectCN"))
    return QuerySimpleName(trace, pCertContext, wstrAnswer);
  if (IsTypeName(lpwInfoType, u"SerialNumber"))
    return QuerySerialNumber(trace, pCertContext, wstrAnswer);
  if (IsTypeName(lpwInfoType, u"CSPName")) {
    // The container record already names its CSP: no key is touched.
    if (bSM2 && pUnregisteredCertContext) {
      wstrAnswer = pUnregisteredCertContext->wszCSPName;
      return S_OK;
    }
    return QueryKeyProviderName(trace, pCertContext, wstrAnswer);
  }

  // The opening admits nothing else: CertType.
  trace.Step(u"Check certificate signature algorithm");
  if (CheckCertSignatureAlg(kSm2AlgPrefix, pCertContext) == S_OK) {
    wstrAnswer = u"SM2";
  } else if (CheckCertSignatureAlg(kRsaAlgPrefix, pCertContext) == S_OK) {
    wstrAnswer = u"RSA";
  } else {
    return trace.Failed(SIGIL_E_INVALID_KEY_ALG, u"TRUE");
  }
  trace.Passed();
  return S_OK;
}

// Hands a produced text to script; the caller's output is still null.
HRESULT SetTextOutput(StepTrace& trace, const std::u16string& wstrText, BSTR* pbstrOutput) {
  if (pbstrOutput == nullptr) return S_OK;
  trace.Step(u"SysAllocString");
  *pbstrOutput = SysAllocString(wstrText.c_str());
  if (*pbstrOutput == nullptr) return trace.Failed(E_OUTOFMEMORY, u"NULL == *pbstrOutput");
  trace.Passed();
  return S_OK;
}

}  // namespace

// The filters may all be empty (no test), so none of them is required.
HRESULT CCryptoAgent::SelectCertificate(LPCWSTR bstrSubjectDNFilter, LPCWSTR bstrIssuerDNFilter,
                                        LPCWSTR bstrSNFilter, VARIANT_BOOL* pbResult) {
  if (RefusedToPage(u"SelectCertificate", agent::kAsksKeys, pbResult)) return m_hLastResult;
  OperationScope op(kSigningSource, "CCryptoAgent::SelectCertificate", pbResult,
                    {{"bstrSubjectDNFilter", bstrSubjectDNFilter},
                     {"bstrIssuerDNFilter", bstrIssuerDNFilter},
                     {"bstrSNFilter", bstrSNFilter}});
  std::u16string wstrSubject;
  const std::u16string wstrOrigin = Site() ? Site()->OriginForDisplay() : std::u16string();
  const HRESULT hResult = SelectForSide(
      op.Trace(),
      {m_pSignCertContext, m_pUnregisteredSignCertContext, m_bSM2SignCert, false,
       Site() ? wstrOrigin.c_str() : nullptr},
      bstrSubjectDNFilter, bstrIssuerDNFilter, bstrSNFilter, wstrSubject);
  if (SUCCEEDED(hResult) && pbResult) *pbResult = VARIANT_TRUE;
  return Finish(hResult);
}

HRESULT CCryptoAgent::GetSignCertInfo(LPCWSTR bstrInfoType, BSTR* pbstrInfo) {
  if (RefusedToPage(u"GetSignCertInfo", agent::kAsksKeys, pbstrInfo)) return m_hLastResult;
  OperationScope op(kSigningSource, "CCryptoAgent::GetSignCertInfo", pbstrInfo,
                    {{"bstrInfoType", bstrInfoType}});
  if (!op.RequireText({"bstrInfoType", bstrInfoType}) ||
      !op.RequireSignCertificate(m_pSignCertContext, m_pUnregisteredSignCertContext) ||
      !op.RequireOneOf(bstrInfoType, kCertInfoTypes, u"check parameter."))
    return Finish(op.Result());
  std::u16string wstrInfo;
  HRESULT hResult = QueryCertInfo(op.Trace(), m_pSignCertContext, m_pUnregisteredSignCertContext,
                                  m_bSM2SignCert, bstrInfoType, wstrInfo);
  if (SUCCEEDED(hResult)) hResult = SetTextOutput(op.Trace(), wstrInfo, pbstrInfo);
  return Finish(hResult);
}

HRESULT CCryptoAgent::SelectEncryptCertificate(LPCWSTR bstrSubjectDNFilter,
                                               LPCWSTR bstrIssuerDNFilter,
                                               LPCWSTR bstrSerialNumFilter, BSTR* pbstrResult) {
  if (RefusedToPage(u"SelectEncryptCertificate", agent::kAsksKeys, pbstrResult)) return m_hLastResult;
  OperationScope op(kEncryptionSource, "CCryptoAgent::SelectEncryptCertificate", pbstrResult,
                    {{"bstrSubjectDNFilter", bstrSubjectDNFilter},
                     {"bstrIssuerDNFilter", bstrIssuerDNFilter},
                     {"bstrSerialNumFilter", bstrSerialNumFilter}});
  std::u16string wstrSubject;
  const std::u16string wstrOrigin = Site() ? Site()->OriginForDisplay() : std::u16string();
  HRESULT hResult = SelectForSide(
      op.Trace(),
      {m_pEncryptCertContext, m_pUnregisteredEncryptCertContext, m_bSM2EncryptCert, true,
       Site() ? wstrOrigin.c_str() : nullptr},
      bstrSubjectDNFilter, bstrIssuerDNFilter, bstrSerialNumFilter, wstrSubject);
  if (SUCCEEDED(hResult)) hResult = SetTextOutput(op.Trace(), wstrSubject, pbstrResult);
  return Finish(hResult);
}

HRESULT CCryptoAgent::GetEncryptCertInfo(LPCWSTR bstrInfoType, BSTR* pbstrInfo) {
  if (RefusedToPage(u"GetEncryptCertInfo", agent::kAsksKeys, pbstrInfo)) return m_hLastResult;
  OperationScope op(kEncryptionSource, "CCryptoAgent::GetEncryptCertInfo", pbstrInfo,
                    {{"bstrInfoType", bstrInfoType}});
  if (!op.RequireText({"bstrInfoType", bstrInfoType}) ||
      !op.RequireEncryptCertificate(m_pEncryptCertContext, m_pUnregisteredEncryptCertContext) ||
      !op.RequireOneOf(bstrInfoType, kCertInfoTypes, u"check parameter."))
    return Finish(op.Result());
  std::u16string wstrInfo;
  HRESULT hResult =
      QueryCertInfo(op.Trace(), m_pEncryptCertContext, m_pUnregisteredEncryptCertContext,
                    m_bSM2EncryptCert, bstrInfoType, wstrInfo);
  if (SUCCEEDED(hResult)) hResult = SetTextOutput(op.Trace(), wstrInfo, pbstrInfo);
  return Finish(hResult);
}
