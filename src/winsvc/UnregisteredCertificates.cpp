#include "winsvc/UnregisteredCertificates.h"

#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "foundation/Unique.h"
#include "platform/csp/Csp.h"
#include "platform/csp/CspHandles.h"
#include "platform/base/LastError.h"
#include "platform/base/LastErrorResult.h"
#include "resources/ResultCodes.h"
#include "smengine/common/TextUtility.h"
#include "trace/Trace.h"

namespace {

constexpr LPCWSTR kSourceUnit = u"UnregisteredCertificates";

// Providers of the system itself hold RSA keys only and never need a walk.
constexpr std::u16string_view kBuiltInProviderMark = u"Microsoft";

// Informational code (positive, so traced as a step): the certificate's key
// is also reachable the ordinary way, through a registered store entry.
constexpr HRESULT kNoteReachableThroughStore = MakeHResult(0x20000000u | 0x1009u);

// A broken provider list must not spin the enumeration for ever.
constexpr DWORD kMaxFailedProviderIndexes = 256;

using CertContextPtr = foundation::Unique<const CERT_CONTEXT, CertFreeCertificateContext>;

struct UnregisteredCertFree {
  void operator()(PUNREGISTERED_CERT_CONTEXT pRecord) const {
    CertFreeUnregisteredCertContext(pRecord);
  }
};
using UnregisteredCertPtr = std::unique_ptr<UNREGISTERED_CERT_CONTEXT, UnregisteredCertFree>;

bool IsEmptyText(LPCWSTR lpwText) { return lpwText == nullptr || lpwText[0] == u'\0'; }

// Only a note: a certificate whose key the ordinary path also reaches is
// still taken, because the container is where its key really lives.
void NoteKeyReachableThroughStore(StepTrace& trace, PCCERT_CONTEXT pCertContext) {
  trace.Step(u"CryptAcquireCertificatePrivateKey");
  LastErrorKeeper keeper;
  UniqueCryptProv hProbe;
  DWORD dwProbeKeySpec = 0;
  BOOL bCallerFree = FALSE;
  if (CryptAcquireCertificatePrivateKey(pCertContext, 0, nullptr, hProbe.Out(), &dwProbeKeySpec,
                                        &bCallerFree))
    trace.Passed(kNoteReachableThroughStore);
}

// Takes the certificate of one key pair when it passes the filter; a pair
// without certificate only leaves nothing behind.
void CollectKeyPair(LPCWSTR lpwCSPName, LPCWSTR lpwContainerName, DWORD dwKeySpec,
                    PCCERTIFICATE_FILTER pCertFilter, UNREGISTERED_CERT_SET& vtrUnregisteredCertSet,
                    StepTrace& trace) {
  trace.Step(dwKeySpec == AT_KEYEXCHANGE ? u"GetUnregisteredCertfromContainer(AT_KEYEXCHANGE)"
                                         : u"GetUnregisteredCertfromContainer(AT_SIGNATURE)");
  PUNREGISTERED_CERT_CONTEXT pFound = nullptr;
  const HRESULT hResult =
      GetUnregisteredCertfromContainer(lpwCSPName, lpwContainerName, dwKeySpec, &pFound);
  if (FAILED(hResult)) {
    trace.Failed(hResult, u"FAILED(hResult)");
    return;
  }
  UnregisteredCertPtr pRecord(pFound);
  trace.Passed();

  trace.Step(u"CheckUnregisteredCertficate");
  if (FAILED(CheckUnregisteredCertficate(pCertFilter, pRecord->pCertContext))) {
    trace.Failed(E_FAIL, u"FAILED(CheckUnregisteredCertficate)");
    return;
  }
  trace.Passed();
  vtrUnregisteredCertSet.push_back(pRecord.get());
  pRecord.release();
}

}  // namespace

HRESULT GetUnregisteredCertfromContainer(LPCWSTR lpwCSPName, LPCWSTR lpwContainerName,
                                         DWORD dwKeySpec,
                                         PUNREGISTERED_CERT_CONTEXT* ppUnregisteredCertContext) {
  TraceHelper helper("GetUnregisteredCertfromContainer");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"GetUnregisteredCertfromContainer");
  TraceValue(kTraceGuidWinsvc, "lpwCSPName", lpwCSPName);
  TraceValue(kTraceGuidWinsvc, "lpwContainerName", lpwContainerName);
  TraceValue(kTraceGuidWinsvc, "dwKeySpec", static_cast<std::uint32_t>(dwKeySpec));

  trace.Step(u"Check parameter");
  if (IsEmptyText(lpwCSPName)) return trace.Failed(E_INVALIDARG, u"NULL == lpwCSPName");
  if (IsEmptyText(lpwContainerName)) return trace.Failed(E_INVALIDARG, u"NULL == lpwContainerName");
  if (ppUnregisteredCertContext == nullptr)
    return trace.Failed(E_INVALIDARG, u"NULL == ppUnregisteredCertContext");

  // Type 1 whatever the provider is: SM2 token CSPs register themselves so.
  trace.Step(u"CryptAcquireContext");
  UniqueCryptProv hProv;
  if (!CryptAcquireContextW(hProv.Out(), lpwContainerName, lpwCSPName, PROV_RSA_FULL, 0))
    return trace.Failed(FailureFromLastError(), u"FALSE == CryptAcquireContextW");
  trace.Passed();

  trace.Step(u"CryptGetUserKey");
  UniqueCryptKey hKey;
  if (!CryptGetUserKey(hProv.Get(), dwKeySpec, hKey.Out()))
    return trace.Failed(FailureFromLastError(), u"FALSE == CryptGetUserKey");
  if (hKey.Get() == 0) return trace.Failed(FailureFromLastError(), u"NULL == hKey");
  trace.Passed();

  trace.Step(u"CryptGetKeyParam(KP_CERTIFICATE)1");
  DWORD dwCertDataSize = 0;
  if (!CryptGetKeyParam(hKey.Get(), KP_CERTIFICATE, nullptr, &dwCertDataSize, 0))
    return trace.Failed(FailureFromLastError(), u"FALSE == CryptGetKeyParam");
  if (dwCertDataSize == 0) return trace.Failed(FailureFromLastError(), u"0 == dwCertDataSize");
  trace.Passed();

  trace.Step(u"new CertData");
  std::unique_ptr<BYTE[]> pbyCertData(new (std::nothrow) BYTE[std::size_t{dwCertDataSize} + 1]());
  if (!pbyCertData) return trace.Failed(E_OUTOFMEMORY, u"NULL == pbyCertData");

  trace.Step(u"CryptGetKeyParam(KP_CERTIFICATE)2");
  if (!CryptGetKeyParam(hKey.Get(), KP_CERTIFICATE, pbyCertData.get(), &dwCertDataSize, 0))
    return trace.Failed(FailureFromLastError(), u"FALSE == CryptGetKeyParam");
  if (dwCertDataSize == 0) return trace.Failed(FailureFromLastError(), u"0 == dwCertDataSize");
  trace.Passed();

  trace.Step(u"CertCreateCertificateContext");
  CertContextPtr pCertContext(CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                                           pbyCertData.get(), dwCertDataSize));
  if (!pCertContext) return trace.Failed(FailureFromLastError(), u"NULL == pCertContext");
  trace.Passed();

  NoteKeyReachableThroughStore(trace, pCertContext.get());

  trace.Step(u"CertCreateUnregisteredCertContext");
  PUNREGISTERED_CERT_CONTEXT pRecord = nullptr;
  const HRESULT hResult = CertCreateUnregisteredCertContext(lpwCSPName, pCertContext.get(),
                                                            lpwContainerName, dwKeySpec, &pRecord);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(hResult)");
  trace.Passed();

  *ppUnregisteredCertContext = pRecord;
  return S_OK;
}

HRESULT CheckUnregisteredCertficate(PCCERTIFICATE_FILTER pCertFilter, PCCERT_CONTEXT pCertContext) {
  TraceHelper helper("CheckUnregisteredCertficate");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"CheckUnregisteredCertficate");

  trace.Step(u"Check parameter");
  if (pCertContext == nullptr) return trace.Failed(E_INVALIDARG, u"NULL == pCertContext");

  const CERTIFICATE_FILTER stNoFilter{};
  const CERTIFICATE_FILTER* pFilter = pCertFilter != nullptr ? pCertFilter : &stNoFilter;

  trace.Step(u"ParseFilters");
  std::vector<std::u16string> vtrSubjectFilters, vtrIssuerFilters;
  ParseFilters(pFilter->lpwSubjectDNFilter, vtrSubjectFilters);
  ParseFilters(pFilter->lpwIssuerDNFilter, vtrIssuerFilters);

  // The private-key test of the store filters is left out on purpose.
  trace.Step(u"CheckCertMatchesFilter");
  const HRESULT hResult =
      CheckCertMatchesFilter(pCertContext, pFilter, vtrSubjectFilters, vtrIssuerFilters);
  if (FAILED(hResult)) {
    trace.Failed(hResult, u"FAILED(hResult)");
    return E_FAIL;
  }
  trace.Passed();
  return S_OK;
}

HRESULT FilterUnregisteredCertificatesfromSpecifiedCSP(
    LPCWSTR lpwCSPName, PCCERTIFICATE_FILTER pCertFilter,
    UNREGISTERED_CERT_SET& vtrUnregisteredCertSet) {
  TraceHelper helper("FilterUnregisteredCertificatesfromSpecifiedCSP");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"FilterUnregisteredCertificatesfromSpecifiedCSP");
  TraceValue(kTraceGuidWinsvc, "lpwCSPName", lpwCSPName);

  trace.Step(u"Check parameter");
  if (IsEmptyText(lpwCSPName)) return trace.Failed(E_INVALIDARG, u"NULL == lpwCSPName");

  trace.Step(u"CryptAcquireContext");
  UniqueCryptProv hProv;
  if (!CryptAcquireContextW(hProv.Out(), nullptr, lpwCSPName, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT))
    return trace.Failed(FailureFromLastError(), u"FALSE == CryptAcquireContextW");
  trace.Passed();

  trace.Step(u"CryptGetProvParam");
  DWORD dwMaxNameSize = 0;
  if (!CryptGetProvParam(hProv.Get(), PP_ENUMCONTAINERS, nullptr, &dwMaxNameSize, CRYPT_FIRST)) {
    if (GetLastError() == ERROR_NO_MORE_ITEMS) {
      trace.Passed();
      return S_OK;
    }
    return trace.Failed(FailureFromLastError(), u"FALSE == CryptGetProvParam");
  }
  trace.Passed();

  trace.Step(u"new ContainerName");
  const std::size_t cbBuffer = std::size_t{dwMaxNameSize} + 1;
  std::unique_ptr<char[]> pszContainerName(new (std::nothrow) char[cbBuffer]());
  if (!pszContainerName) return trace.Failed(E_OUTOFMEMORY, u"NULL == pszContainerName");

  // Every call is offered the whole buffer: a provider that lists a short
  // name first must still be able to hand out the longest one later.
  auto ReadContainerName = [&](DWORD dwFlags) {
    std::memset(pszContainerName.get(), 0, cbBuffer);
    DWORD dwNameSize = dwMaxNameSize;
    return CryptGetProvParam(hProv.Get(), PP_ENUMCONTAINERS,
                             reinterpret_cast<BYTE*>(pszContainerName.get()), &dwNameSize,
                             dwFlags) != FALSE;
  };

  trace.Step(u"CryptGetProvParam(CRYPT_FIRST)");
  if (!ReadContainerName(CRYPT_FIRST)) {
    trace.Passed(FailureFromLastError());
    return S_OK;
  }
  trace.Passed();

  do {
    trace.Step(u"UTF8ToUTF16");
    LPWSTR lpwConverted = nullptr;
    const HRESULT hResult = UTF8ToUTF16(pszContainerName.get(), &lpwConverted, nullptr);
    if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(hResult)");
    const std::unique_ptr<WCHAR[]> lpwContainerName(lpwConverted);
    trace.Passed();

    CollectKeyPair(lpwCSPName, lpwContainerName.get(), AT_KEYEXCHANGE, pCertFilter,
                   vtrUnregisteredCertSet, trace);
    CollectKeyPair(lpwCSPName, lpwContainerName.get(), AT_SIGNATURE, pCertFilter,
                   vtrUnregisteredCertSet, trace);

    trace.Step(u"CryptGetProvParam(CRYPT_NEXT)");
  } while (ReadContainerName(CRYPT_NEXT));
  trace.Passed(FailureFromLastError());
  return S_OK;
}

HRESULT FilterUnregisteredCertificatesfromCSP(PCCERTIFICATE_FILTER pCertFilter,
                                              UNREGISTERED_CERT_SET& vtrUnregisteredCertSet) {
  TraceHelper helper("FilterUnregisteredCertificatesfromCSP");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"FilterUnregisteredCertificatesfromCSP");

  trace.Step(u"GetAllCSPName");
  LPWSTR lpwAllNames = nullptr;
  const HRESULT hResult = GetAllCSPName(&lpwAllNames);
  if (FAILED(hResult)) {
    RemoveAllUnregisteredCertificates(vtrUnregisteredCertSet);
    return trace.Failed(hResult, u"FAILED(hResult)");
  }
  const std::unique_ptr<WCHAR[]> pwszAllNames(lpwAllNames);
  trace.Passed();

  trace.Step(u"SplitStrings");
  std::vector<std::u16string> vtrCSPNames;
  SplitStrings(pwszAllNames.get(), vtrCSPNames);

  for (const std::u16string& strCSPName : vtrCSPNames) {
    if (strCSPName.find(kBuiltInProviderMark) != std::u16string::npos) continue;
    trace.Step(u"FilterUnregisteredCertificatesfromSpecifiedCSP");
    const HRESULT hCSPResult = FilterUnregisteredCertificatesfromSpecifiedCSP(
        strCSPName.c_str(), pCertFilter, vtrUnregisteredCertSet);
    if (FAILED(hCSPResult))
      trace.Failed(hCSPResult, u"FAILED(hResult)");
    else
      trace.Passed();
  }
  return S_OK;
}

HRESULT GetAllCSPName(LPWSTR* ppwszCSPNames) {
  TraceHelper helper("GetAllCSPName");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"GetAllCSPName");

  trace.Step(u"Check parameter");
  if (ppwszCSPNames == nullptr) return trace.Failed(E_INVALIDARG, u"NULL == ppwszCSPNames");

  std::u16string strAllNames;
  DWORD dwFailedIndexes = 0;
  for (DWORD dwIndex = 0;; ++dwIndex) {
    trace.Step(u"CryptEnumProviders");
    DWORD dwProvType = 0;
    DWORD cbProvName = 0;
    if (!CryptEnumProvidersW(dwIndex, nullptr, 0, &dwProvType, nullptr, &cbProvName)) {
      if (GetLastError() == ERROR_NO_MORE_ITEMS) break;
      const HRESULT hResult = trace.Failed(FailureFromLastError(), u"FALSE == CryptEnumProvidersW");
      if (++dwFailedIndexes >= kMaxFailedProviderIndexes) return hResult;
      continue;
    }

    trace.Step(u"new ProvName");
    const std::size_t cchProvName = cbProvName / sizeof(WCHAR) + 1;
    std::unique_ptr<WCHAR[]> pwszProvName(new (std::nothrow) WCHAR[cchProvName]());
    if (!pwszProvName) return trace.Failed(E_OUTOFMEMORY, u"NULL == pwszProvName");

    trace.Step(u"CryptEnumProviders(Name)");
    if (!CryptEnumProvidersW(dwIndex, nullptr, 0, &dwProvType, pwszProvName.get(), &cbProvName))
      return trace.Failed(FailureFromLastError(), u"FALSE == CryptEnumProvidersW");
    trace.Passed();

    if (!strAllNames.empty()) strAllNames += u"||";
    strAllNames += pwszProvName.get();
  }
  trace.Passed();

  trace.Step(u"new CSPNames");
  std::unique_ptr<WCHAR[]> pwszJoined(new (std::nothrow) WCHAR[strAllNames.size() + 1]());
  if (!pwszJoined) return trace.Failed(E_OUTOFMEMORY, u"NULL == pwszCSPNames");
  strAllNames.copy(pwszJoined.get(), strAllNames.size());
  TraceValue(kTraceGuidWinsvc, "CSPNames", pwszJoined.get());

  *ppwszCSPNames = pwszJoined.release();
  return S_OK;
}
