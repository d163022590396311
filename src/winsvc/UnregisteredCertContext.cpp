#include "winsvc/UnregisteredCertContext.h"

#include <memory>
#include <new>

#include "platform/base/LastErrorResult.h"
#include "platform/base/WideString.h"
#include "trace/Trace.h"

namespace {

constexpr LPCWSTR kSourceUnit = u"UnregisteredCertContext";

// A name must be present and fit its field with the terminator.
bool IsUsableName(LPCWSTR lpwName) {
  if (lpwName == nullptr) return false;
  std::size_t nLength = 0;
  while (nLength < MAX_PATH && lpwName[nLength] != u'\0') ++nLength;
  return nLength > 0 && nLength < MAX_PATH;
}

}  // namespace

HRESULT CertCreateUnregisteredCertContext(LPCWSTR lpwCSPName, PCCERT_CONTEXT pCertContext,
                                          LPCWSTR lpwContainerName, DWORD dwKeySpec,
                                          PUNREGISTERED_CERT_CONTEXT* ppUnregisteredCertContext) {
  TraceHelper helper("CertCreateUnregisteredCertContext");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"CertCreateUnregisteredCertContext");

  trace.Step(u"Check parameter");
  if (pCertContext == nullptr || ppUnregisteredCertContext == nullptr)
    return trace.Failed(E_INVALIDARG, u"NULL == pCertContext");
  if (!IsUsableName(lpwCSPName)) return trace.Failed(E_INVALIDARG, u"Invalid lpwCSPName");
  if (!IsUsableName(lpwContainerName))
    return trace.Failed(E_INVALIDARG, u"Invalid lpwContainerName");

  trace.Step(u"new UNREGISTERED_CERT_CONTEXT");
  std::unique_ptr<UNREGISTERED_CERT_CONTEXT> pRecord(new (std::nothrow)
                                                         UNREGISTERED_CERT_CONTEXT());
  if (!pRecord) return trace.Failed(E_OUTOFMEMORY, u"NULL == pUnregisteredCertContext");
  wcscpy_s(pRecord->wszCSPName, MAX_PATH, lpwCSPName);
  wcscpy_s(pRecord->wszContainerName, MAX_PATH, lpwContainerName);
  pRecord->dwKeySpec = dwKeySpec;

  trace.Step(u"CertDuplicateCertificateContext");
  pRecord->pCertContext = CertDuplicateCertificateContext(pCertContext);
  if (pRecord->pCertContext == nullptr)
    return trace.Failed(FailureFromLastError(), u"NULL == pCertContext");
  trace.Passed();

  *ppUnregisteredCertContext = pRecord.release();
  return S_OK;
}

HRESULT CertDuplicateUnregisteredCertContext(PUNREGISTERED_CERT_CONTEXT pSource,
                                             PUNREGISTERED_CERT_CONTEXT* ppOut) {
  TraceHelper helper("CertDuplicateUnregisteredCertContext");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"CertDuplicateUnregisteredCertContext");

  trace.Step(u"Check parameter");
  if (pSource == nullptr || ppOut == nullptr || pSource->pCertContext == nullptr ||
      pSource->wszCSPName[0] == u'\0' || pSource->wszContainerName[0] == u'\0')
    return trace.Failed(E_INVALIDARG, u"NULL == pSource");

  trace.Step(u"CertCreateUnregisteredCertContext");
  PUNREGISTERED_CERT_CONTEXT pCopy = nullptr;
  const HRESULT hResult =
      CertCreateUnregisteredCertContext(pSource->wszCSPName, pSource->pCertContext,
                                        pSource->wszContainerName, pSource->dwKeySpec, &pCopy);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(hResult)");
  trace.Passed();

  *ppOut = pCopy;
  return S_OK;
}

void CertFreeUnregisteredCertContext(PUNREGISTERED_CERT_CONTEXT pUnregisteredCertContext) {
  TraceHelper helper("CertFreeUnregisteredCertContext");
  if (pUnregisteredCertContext == nullptr) return;
  std::unique_ptr<UNREGISTERED_CERT_CONTEXT> pRecord(pUnregisteredCertContext);
  CertFreeCertificateContext(pRecord->pCertContext);
}

void RemoveAllUnregisteredCertificates(UNREGISTERED_CERT_SET& vtrUnregisteredCertSet) {
  TraceHelper helper("RemoveAllUnregisteredCertificates");
  for (PUNREGISTERED_CERT_CONTEXT pRecord : vtrUnregisteredCertSet)
    CertFreeUnregisteredCertContext(pRecord);
  vtrUnregisteredCertSet.clear();
}
