// The machine's intermediate-CA store: the bundle's CA certificates go in,
// the obsolete ones come out.
#include <cstring>
#include <memory>

#include "platform/store/CertStore.h"
#include "platform/base/LastError.h"
#include "register/CertificateChainOperate.h"
#include "register/ChainOperateInternal.h"
#include "register/DiscardList.h"
#include "smengine/common/TextUtility.h"
#include "trace/Trace.h"
#include "winsvc/CertificateInfo.h"
#include "winsvc/CertificateStore.h"

using chainoperate::kSourceUnit;

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

HCERTSTORE OpenMachineCaStore() {
  return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, kEncoding, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE,
                       u"CA");
}

// Self-issued: the issuer's Name bytes are the subject's. Both lengths must
// agree before any byte is compared, so neither buffer is read past its end.
bool IsSelfIssued(PCCERT_CONTEXT pCertContext) {
  const CERT_INFO* pInfo = pCertContext->pCertInfo;
  if (pInfo->Issuer.cbData != pInfo->Subject.cbData) return false;
  return pInfo->Subject.cbData == 0 ||
         std::memcmp(pInfo->Issuer.pbData, pInfo->Subject.pbData, pInfo->Subject.cbData) == 0;
}

// Frees the context it holds unless the enumeration took it back.
struct ContextHolder {
  PCCERT_CONTEXT pContext = nullptr;
  ~ContextHolder() { CertFreeCertificateContext(pContext); }
};

}  // namespace

HRESULT ImportP7bCertificatestoStore(const BYTE* pbyP7bData, DWORD dwP7bLength,
                                     HCERTSTORE* phP7bStore) {
  TraceHelper helper("ImportP7bCertificatestoStore");
  StepTrace trace(kTraceGuidRegister, kSourceUnit, u"ImportP7bCertificatestoStore");
  trace.Step(u"Check parameter");
  if (!pbyP7bData || !phP7bStore)
    return trace.Failed(E_INVALIDARG, u"NULL == pbyP7bData || NULL == phP7bStore");

  trace.Step(u"CertOpenStore(CERT_STORE_PROV_PKCS7)");
  CRYPT_DATA_BLOB p7bBlob{dwP7bLength, const_cast<BYTE*>(pbyP7bData)};
  SetLastError(ERROR_SUCCESS);
  HCERTSTORE hStore =
      CertOpenStore(CERT_STORE_PROV_PKCS7, kEncoding, 0, CERT_STORE_READONLY_FLAG, &p7bBlob);
  if (!hStore) return trace.Failed(FailureFromLastError(), u"NULL == hCertStore");
  *phP7bStore = hStore;
  trace.Passed();
  return S_OK;
}

HRESULT AddCACertficatetoStore(HCERTSTORE hP7bStore) {
  TraceHelper helper("AddCACertficatetoStore");
  StepTrace trace(kTraceGuidRegister, kSourceUnit, u"AddCACertficatetoStore");
  trace.Step(u"Check parameter(hP7bStore)");
  if (!hP7bStore) return trace.Failed(E_INVALIDARG, u"NULL == hP7bStore");

  trace.Step(u"CertOpenStore(CA)");
  SetLastError(ERROR_SUCCESS);
  HCERTSTORE hCaStore = OpenMachineCaStore();
  if (!hCaStore) return trace.Failed(FailureFromLastError(), u"NULL == hCAStore");
  StoreCloser closer(hCaStore);

  ContextHolder current;
  while ((current.pContext = CertEnumCertificatesInStore(hP7bStore, current.pContext)) != nullptr) {
    trace.Step(u"CheckCertificateChainIntegrity-QueryCertContextInfo");
    LPWSTR pwszSubject = nullptr;
    DWORD dwSubjectLength = 0;
    HRESULT hResult =
        QueryCertContextInfo(&dwSubjectLength, &pwszSubject, current.pContext, CERTINFO_SUBJECT_DN);
    if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(QueryCertContextInfo)");
    std::unique_ptr<WCHAR[]> subject(pwszSubject);
    TraceValue(kTraceGuidRegister, "Subject", subject.get());

    // Roots belong in the trusted roots, written separately, never here.
    if (IsSelfIssued(current.pContext)) continue;

    trace.Step(u"CertAddCertificateContextToStore");
    SetLastError(ERROR_SUCCESS);
    if (!CertAddCertificateContextToStore(hCaStore, current.pContext, CERT_STORE_ADD_NEW,
                                          nullptr)) {
      hResult = FailureFromLastError();
      if (hResult == CRYPT_E_EXISTS) continue;
      return trace.Failed(hResult, u"FALSE == CertAddCertificateContextToStore");
    }
  }
  trace.Passed();
  return S_OK;
}

HRESULT DeleteSpecifiedCert(PCCERTIFICATE_FILTER pFilter) {
  TraceHelper helper("DeleteSpecifiedCert");
  StepTrace trace(kTraceGuidRegister, kSourceUnit, u"DeleteSpecifiedCert");
  // Without a filter every certificate would pass and the whole store go.
  trace.Step(u"Check parameter(pFilter)");
  if (!pFilter) return trace.Failed(E_INVALIDARG, u"NULL == pFilter");

  trace.Step(u"CertOpenStore(CA)");
  SetLastError(ERROR_SUCCESS);
  HCERTSTORE hCaStore = OpenMachineCaStore();
  if (!hCaStore) return trace.Failed(FailureFromLastError(), u"NULL == hCAStore");
  StoreCloser closer(hCaStore);

  CERTIFICATE_SET vtrAllCerts;
  CertificateSetReleaser releaseAll(vtrAllCerts);
  trace.Step(u"ExtractCertificatesFromStore");
  HRESULT hResult = ExtractCertificatesFromStore(hCaStore, vtrAllCerts);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(ExtractCertificatesFromStore)");

  CERTIFICATE_SET vtrMatches;
  CertificateSetReleaser releaseMatches(vtrMatches);
  trace.Step(u"FilterCertificates");
  hResult = FilterCertificates(pFilter, vtrMatches, vtrAllCerts);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(FilterCertificates)");

  for (PCCERT_CONTEXT pMatch : vtrMatches) {
    // The deletion consumes a reference; the set keeps its own.
    trace.Step(u"CertDeleteCertificateFromStore");
    SetLastError(ERROR_SUCCESS);
    if (!CertDeleteCertificateFromStore(CertDuplicateCertificateContext(pMatch)))
      trace.Failed(FailureFromLastError(), u"FALSE == CertDeleteCertificateFromStore");
  }
  trace.Passed();
  return S_OK;
}

HRESULT DeleteDiscardCert() {
  TraceHelper helper("DeleteDiscardCert");
  StepTrace trace(kTraceGuidRegister, kSourceUnit, u"DeleteDiscardCert");

  for (std::size_t index = 0; index < std::size(g_DiscardCertFilters); ++index) {
    const DISCARD_CERT_FILTER& discard = g_DiscardCertFilters[index];
    trace.Step(u"ConvertStringToBinaryData");
    BYTE* pbySerial = nullptr;
    DWORD dwSerialLength = 0;
    HRESULT hResult =
        ConvertStringToBinaryData(&dwSerialLength, discard.lpwSerialNumber, &pbySerial);
    if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(ConvertStringToBinaryData)");
    std::unique_ptr<BYTE[]> serial(pbySerial);

    CERTIFICATE_FILTER filter{};
    filter.lpwSubjectDNFilter = discard.lpwSubjectDN;
    filter.lpwIssuerDNFilter = discard.lpwIssuerDN;
    filter.pbySerialNumber = serial.get();
    filter.cbSerialNumber = dwSerialLength;

    trace.Step(u"DeleteSpecifiedCert");
    hResult = DeleteSpecifiedCert(&filter);
    if (FAILED(hResult)) {
      trace.Failed(hResult, u"FAILED(DeleteSpecifiedCert)");
      // The first store failure will repeat for the others: stop there.
      if (index == 0) return hResult;
    }
  }

  trace.Step(u"RegDeleteSpecificKey");
  const HRESULT hResult = RegDeleteSpecificKey();
  if (FAILED(hResult))
    trace.Failed(hResult, u"FAILED(RegDeleteSpecificKey)");
  else
    trace.Passed();
  return S_OK;
}
