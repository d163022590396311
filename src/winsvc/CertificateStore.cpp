#include "winsvc/CertificateStore.h"

#include "platform/csp/Csp.h"
#include "platform/base/LastError.h"
#include "platform/base/LastErrorResult.h"
#include "trace/Trace.h"

namespace {

constexpr LPCWSTR kSourceUnit = u"CertificateStore";

// The private key can be acquired; the provider handle is not kept.
bool CanAcquirePrivateKey(PCCERT_CONTEXT pCertContext) {
  HCRYPTPROV hProv = 0;
  DWORD dwKeySpec = 0;
  BOOL bCallerFree = FALSE;
  if (!CryptAcquireCertificatePrivateKey(pCertContext, 0, nullptr, &hProv, &dwKeySpec,
                                         &bCallerFree))
    return false;
  if (hProv != 0 && bCallerFree) CryptReleaseContext(hProv, 0);
  return true;
}

}  // namespace

void RemoveAllCertificates(CERTIFICATE_SET& vtrCertSet) {
  for (PCCERT_CONTEXT pCertContext : vtrCertSet) CertFreeCertificateContext(pCertContext);
  vtrCertSet.clear();
}

HRESULT ExtractCertificatesFromStore(HCERTSTORE hCertStore, CERTIFICATE_SET& vtrCertSet) {
  TraceHelper helper("ExtractCertificatesFromStore");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"ExtractCertificatesFromStore");
  trace.Step(u"Check parameter(hCertStore)");
  if (hCertStore == nullptr) {
    RemoveAllCertificates(vtrCertSet);
    return trace.Failed(E_INVALIDARG, u"NULL == hCertStore");
  }

  trace.Step(u"CertEnumCertificatesInStore");
  PCCERT_CONTEXT pCertContext = nullptr;
  while ((pCertContext = CertEnumCertificatesInStore(hCertStore, pCertContext)) != nullptr) {
    SetLastError(ERROR_SUCCESS);
    PCCERT_CONTEXT pDuplicate = CertDuplicateCertificateContext(pCertContext);
    if (pDuplicate == nullptr) {
      const HRESULT hResult = FailureFromLastError();
      CertFreeCertificateContext(pCertContext);
      RemoveAllCertificates(vtrCertSet);
      return trace.Failed(hResult, u"NULL == CertDuplicateCertificateContext");
    }
    vtrCertSet.push_back(pDuplicate);
  }
  trace.Passed();
  return S_OK;
}

HRESULT ExtractCertificatesFromLocalStore(LPCWSTR lpwStoreName, CERTIFICATE_SET& vtrCertSet) {
  TraceHelper helper("ExtractCertificatesFromLocalStore");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"ExtractCertificatesFromLocalStore");
  TraceValue(kTraceGuidWinsvc, "lpwStoreName", lpwStoreName);
  trace.Step(u"Check parameter(lpwStoreName)");
  if (lpwStoreName == nullptr) {
    RemoveAllCertificates(vtrCertSet);
    return trace.Failed(E_INVALIDARG, u"NULL == lpwStoreName");
  }

  // Read-only: nothing is ever written to the user's stores through here.
  trace.Step(u"CertOpenStore");
  SetLastError(ERROR_SUCCESS);
  HCERTSTORE hCertStore =
      CertOpenStore(CERT_STORE_PROV_SYSTEM_W, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                    CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG, lpwStoreName);
  if (hCertStore == nullptr) {
    const HRESULT hResult = FailureFromLastError();
    RemoveAllCertificates(vtrCertSet);
    return trace.Failed(hResult, u"NULL == hCertStore");
  }
  StoreCloser closer(hCertStore);
  trace.Passed();

  trace.Step(u"ExtractCertificatesFromStore");
  const HRESULT hResult = ExtractCertificatesFromStore(hCertStore, vtrCertSet);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(hResult)");
  trace.Passed();
  return S_OK;
}

HRESULT FilterCertificates(PCCERTIFICATE_FILTER pFilter, CERTIFICATE_SET& vtrOutCertSet,
                           const CERTIFICATE_SET& vtrInCertSet) {
  TraceHelper helper("FilterCertificates");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"FilterCertificates");
  const CERTIFICATE_FILTER unset{};
  const CERTIFICATE_FILTER& filter = pFilter != nullptr ? *pFilter : unset;
  const bool bCheckPrivateKey = filter.bCheckPrivateKey == TRUE;
  TraceValue(kTraceGuidWinsvc, "dwKeyUsage", filter.dwKeyUsage);
  TraceValue(kTraceGuidWinsvc, "bCheckPrivateKey", bCheckPrivateKey ? u"TRUE" : u"FALSE");
  TraceValue(kTraceGuidWinsvc, "lpwSubjectDNFilter", filter.lpwSubjectDNFilter);
  TraceValue(kTraceGuidWinsvc, "lpwIssuerDNFilter", filter.lpwIssuerDNFilter);

  trace.Step(u"ParseFilters");
  std::vector<std::u16string> vtrSubjectFilters;
  std::vector<std::u16string> vtrIssuerFilters;
  ParseFilters(filter.lpwSubjectDNFilter, vtrSubjectFilters);
  ParseFilters(filter.lpwIssuerDNFilter, vtrIssuerFilters);
  trace.Passed();

  // Collected apart so that the output may also be the input.
  CERTIFICATE_SET vtrPassed;
  CertificateSetReleaser releaser(vtrPassed);
  for (std::size_t i = 0; i < vtrInCertSet.size(); ++i) {
    PCCERT_CONTEXT pCertContext = vtrInCertSet[i];
    if (FAILED(CheckCertMatchesFilter(pCertContext, &filter, vtrSubjectFilters, vtrIssuerFilters)))
      continue;
    if (bCheckPrivateKey) {
      trace.Step(u"CryptAcquireCertificatePrivateKey");
      if (!CanAcquirePrivateKey(pCertContext)) {
        trace.Failed(FailureFromLastError(), u"FALSE == CryptAcquireCertificatePrivateKey");
        continue;
      }
      trace.Passed();
    }
    trace.Step(u"CertDuplicateCertificateContext");
    SetLastError(ERROR_SUCCESS);
    PCCERT_CONTEXT pDuplicate = CertDuplicateCertificateContext(pCertContext);
    if (pDuplicate == nullptr) {
      const HRESULT hResult = FailureFromLastError();
      RemoveAllCertificates(vtrOutCertSet);
      return trace.Failed(hResult, u"NULL == CertDuplicateCertificateContext");
    }
    vtrPassed.push_back(pDuplicate);
  }
  vtrOutCertSet.insert(vtrOutCertSet.end(), vtrPassed.begin(), vtrPassed.end());
  vtrPassed.clear();
  TraceValue(kTraceGuidWinsvc, "dwPassed", static_cast<std::uint32_t>(vtrOutCertSet.size()));
  return S_OK;
}

namespace {

// Both filter forms: a temporary set from `extract`, filtered into the
// output, released whatever happens; the output is released on failure.
template <class Extract>
HRESULT FilterExtractedCertificates(LPCWSTR lpwFunction, LPCWSTR lpwExtractStep, Extract extract,
                                    PCCERTIFICATE_FILTER pFilter, CERTIFICATE_SET& vtrOutCertSet) {
  LastErrorKeeper keeper;
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, lpwFunction);

  trace.Step(lpwExtractStep);
  CERTIFICATE_SET vtrStoreCertSet;
  CertificateSetReleaser releaser(vtrStoreCertSet);
  HRESULT hResult = extract(vtrStoreCertSet);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(hResult)");
  trace.Passed();

  trace.Step(u"FilterCertificates");
  hResult = FilterCertificates(pFilter, vtrOutCertSet, vtrStoreCertSet);
  if (FAILED(hResult)) {
    RemoveAllCertificates(vtrOutCertSet);
    return trace.Failed(hResult, u"FAILED(hResult)");
  }
  trace.Passed();
  return S_OK;
}

}  // namespace

HRESULT FilterCertificatesfromLocalStore(LPCWSTR lpwStoreName, PCCERTIFICATE_FILTER pFilter,
                                         CERTIFICATE_SET& vtrOutCertSet) {
  TraceHelper helper("FilterCertificatesfromLocalStore");
  return FilterExtractedCertificates(
      u"FilterCertificatesfromLocalStore", u"ExtractCertificatesFromLocalStore",
      [&](CERTIFICATE_SET& set) { return ExtractCertificatesFromLocalStore(lpwStoreName, set); },
      pFilter, vtrOutCertSet);
}

HRESULT FilterCertificatesFromStore(HCERTSTORE hCertStore, PCCERTIFICATE_FILTER pFilter,
                                    CERTIFICATE_SET& vtrOutCertSet) {
  TraceHelper helper("FilterCertificatesFromStore");
  return FilterExtractedCertificates(
      u"FilterCertificatesFromStore", u"ExtractCertificatesFromStore",
      [&](CERTIFICATE_SET& set) { return ExtractCertificatesFromStore(hCertStore, set); }, pFilter,
      vtrOutCertSet);
}
