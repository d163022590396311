#include "ui/CertificateDialogs.h"

#include <string>
#include <string_view>

#include "platform/base/LastError.h"
#include "platform/base/LastErrorResult.h"
#include "platform/base/Resources.h"
#include "resources/ModuleResources.h"
#include "resources/ResultCodes.h"
#include "resources/StringTable.h"
#include "trace/Trace.h"
#include "ui/CertificateRows.h"
#include "ui/DialogProtocol.h"
#include "ui/HelperProcess.h"

namespace {

constexpr LPCWSTR kSourceUnit = u"CertificateDialogs";
constexpr DWORD kSelectDialogModeModule = 0;
constexpr DWORD kSelectDialogModeTexts = 1;
constexpr std::size_t kHeaderChars = 128;
// Origins are at most 255 characters; a longer one is cut, not refused.
constexpr std::size_t kOriginChars = 1024;
// One response line is a few dozen bytes; anything longer is not an answer.
constexpr std::size_t kMaxResponseBytes = 4096;

// Starts the helper, hands it the request and waits for it to end. The
// helper is always reaped before this returns; as long as the user takes.
HRESULT RunHelper(const std::string& program, const std::string& request, std::string* output,
                  StepTrace& trace) {
  ui::HelperLimits limits;
  limits.maxAnswerBytes = kMaxResponseBytes;
  ui::HelperResult result;
  const HRESULT hResult = ui::RunHelperProcess(program, request, limits, &result, trace);
  *output = std::move(result.output);
  return hResult;
}

// The dialog's answer, or the failure that stands in for one.
HRESULT ReadAnswer(const std::string& output, std::size_t rowCount, std::size_t* index,
                   bool* cancelled, StepTrace& trace) {
  trace.Step(u"DecodeResponse");
  ui::DialogResponse response;
  if (output.empty()) return trace.Failed(E_FAIL, u"no answer");
  if (!ui::DecodeResponse(output, &response)) return trace.Failed(E_FAIL, u"malformed answer");
  switch (response.outcome) {
    case ui::DialogOutcome::kCancelled:
      *cancelled = true;
      break;
    case ui::DialogOutcome::kFailed:
      return trace.Failed(FAILED(response.failure) ? response.failure : E_FAIL, u"failed answer");
    case ui::DialogOutcome::kSelected:
      if (response.index >= rowCount) return trace.Failed(E_INVALIDARG, u"index >= rows");
      *index = response.index;
      break;
  }
  trace.Passed();
  return S_OK;
}

}  // namespace

HRESULT CustomCryptUIDlgSelectCertificate(PCSELECT_CERTIFICATE_PARA pPara,
                                          const CERTIFICATE_SET& vtrCertSet,
                                          PCCERT_CONTEXT* ppCertContext) {
  TraceHelper helper("CustomCryptUIDlgSelectCertificate");
  StepTrace trace(kTraceGuidUi, kSourceUnit, u"CustomCryptUIDlgSelectCertificate");
  trace.Step(u"Check parameters");
  if (pPara == nullptr || ppCertContext == nullptr)
    return trace.Failed(E_INVALIDARG, u"pPara == NULL || ppCertContext == NULL");
  *ppCertContext = nullptr;
  trace.Passed();

  // Nothing to choose: the one certificate is the answer.
  if (pPara->pwszTitle == nullptr && vtrCertSet.size() == 1) {
    trace.Step(u"CertDuplicateCertificateContext");
    SetLastError(ERROR_SUCCESS);
    PCCERT_CONTEXT pDuplicate = CertDuplicateCertificateContext(vtrCertSet.front());
    if (pDuplicate == nullptr)
      return trace.Failed(FailureFromLastError(), u"pCertContext == NULL");
    *ppCertContext = pDuplicate;
    trace.Passed();
    return S_OK;
  }

  trace.Step(u"CertOpenStore");
  SetLastError(ERROR_SUCCESS);
  HCERTSTORE hCacheCertStore =
      CertOpenStore(CERT_STORE_PROV_MEMORY, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, nullptr);
  if (hCacheCertStore == nullptr)
    return trace.Failed(FailureFromLastError(), u"hCacheCertStore == NULL");
  StoreCloser closer(hCacheCertStore);
  trace.Passed();

  // The same certificate given twice becomes one row.
  trace.Step(u"CertAddCertificateContextToStore");
  for (PCCERT_CONTEXT pCertContext : vtrCertSet) {
    SetLastError(ERROR_SUCCESS);
    if (!CertAddCertificateContextToStore(hCacheCertStore, pCertContext,
                                          CERT_STORE_ADD_USE_EXISTING, nullptr))
      return trace.Failed(FailureFromLastError(),
                          u"!CertAddCertificateContextToStore");
  }
  trace.Passed();

  trace.Step(u"CustomCryptUIDlgSelectCertificateFromStore");
  PCCERT_CONTEXT pSelected = CustomCryptUIDlgSelectCertificateFromStore(pPara, hCacheCertStore);
  if (pSelected == nullptr)
    return trace.Failed(FailureFromLastError(), u"pCertContext == NULL");
  *ppCertContext = pSelected;
  trace.Passed();
  return S_OK;
}

PCCERT_CONTEXT CustomCryptUIDlgSelectCertificateFromStore(PCSELECT_CERTIFICATE_PARA pPara,
                                                          HCERTSTORE hCertStore) {
  TraceHelper helper("CustomCryptUIDlgSelectCertificateFromStore");
  StepTrace trace(kTraceGuidUi, kSourceUnit, u"CustomCryptUIDlgSelectCertificateFromStore");
  trace.Step(u"Check parameter(dwMode)");
  if (pPara == nullptr ||
      (pPara->dwMode != kSelectDialogModeModule && pPara->dwMode != kSelectDialogModeTexts)) {
    trace.Failed(HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER), u"dwMode not 0 or 1");
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  trace.Passed();

  SELECT_DIALOG_INIT init{};
  init.hResourceModule = pPara->hResourceModule;
  init.hCertStore = hCertStore;
  init.pwszOrigin = pPara->pwszOrigin;
  if (pPara->dwMode == kSelectDialogModeTexts) {
    init.pwszTitle = pPara->pwszTitle;
    init.pwszOKText = pPara->pwszOKText;
    init.pwszCancelText = pPara->pwszCancelText;
  }

  PCCERT_CONTEXT pSelected = nullptr;
  DWORD dwResultCode = 0;
  RunSelectCertificateDialog(&init, &pSelected, &dwResultCode);
  SetLastError(dwResultCode);
  return pSelected;
}

void RunSelectCertificateDialog(PCSELECT_DIALOG_INIT pInit, PCCERT_CONTEXT* ppSelected,
                                DWORD* pdwResultCode) {
  TraceHelper helper("RunSelectCertificateDialog");
  StepTrace trace(kTraceGuidUi, kSourceUnit, u"RunSelectCertificateDialog");
  if (ppSelected != nullptr) *ppSelected = nullptr;
  // Whatever keeps the dialog from giving an answer reads as Cancel: the
  // failure is in the trace, the caller sees the user's way out.
  if (pdwResultCode != nullptr) *pdwResultCode = SIGIL_LASTERROR_CANCELED;

  trace.Step(u"Check parameters");
  if (pInit == nullptr || ppSelected == nullptr || pdwResultCode == nullptr) {
    trace.Failed(E_INVALIDARG, u"lParam == NULL");
    return;
  }
  trace.Passed();

  trace.Step(u"Check display");
  if (!ui::HasDisplay()) {
    trace.Failed(E_FAIL, u"DISPLAY == NULL && WAYLAND_DISPLAY == NULL");
    return;
  }
  trace.Passed();

  const HMODULE hModule =
      pInit->hResourceModule != nullptr ? pInit->hResourceModule : GetSigilModuleHandle();
  ui::DialogRequest request;
  request.language = GetUserDefaultUILanguage();
  if (pInit->pwszTitle != nullptr) request.title = pInit->pwszTitle;
  if (pInit->pwszOKText != nullptr) request.okText = pInit->pwszOKText;
  if (pInit->pwszCancelText != nullptr) request.cancelText = pInit->pwszCancelText;
  if (pInit->pwszOrigin != nullptr && *pInit->pwszOrigin != u'\0') {
    request.origin = std::u16string(pInit->pwszOrigin).substr(0, kOriginChars);
    TraceValue(kTraceGuidUi, "origin", pInit->pwszOrigin);
  }
  if (pInit->pwszHeader != nullptr && *pInit->pwszHeader != u'\0') {
    request.header = std::u16string(pInit->pwszHeader).substr(0, kHeaderChars - 1);
  } else {
    trace.Step(u"LoadString (Header)");
    WCHAR wszHeader[kHeaderChars] = {};
    SetLastError(ERROR_SUCCESS);
    if (LoadStringW(hModule, IDS_SELECT_CERT_HEADER, wszHeader, kHeaderChars) == 0) {
      trace.Failed(FailureFromLastError(), u"LoadString == 0");
      return;
    }
    request.header = wszHeader;
    trace.Passed();
  }

  trace.Step(u"LoadCertificates");
  CERTIFICATE_SET vtrCertSet;
  CertificateSetReleaser releaser(vtrCertSet);
  CERT_LIST vtrRows;
  const HRESULT hLoad = LoadCertificates(hModule, pInit->hCertStore, vtrCertSet, vtrRows);
  if (FAILED(hLoad)) {
    trace.Failed(hLoad, u"FAILED(hResult)");
    return;
  }
  request.rows = ToDialogRows(vtrRows);
  trace.Passed();

  trace.Step(u"Find npsigil-select-dialog");
  const std::string program =
      ui::HelperProgramPath(kSelectDialogPathVariable, kSelectDialogProgram);
  if (program.empty()) {
    trace.Failed(E_FAIL, u"dladdr");
    return;
  }
  TraceValue(kTraceGuidUi, "program", program.c_str());
  trace.Passed();

  std::string output;
  if (FAILED(RunHelper(program, ui::EncodeRequest(request), &output, trace))) return;
  std::size_t index = 0;
  bool cancelled = false;
  if (FAILED(ReadAnswer(output, vtrRows.size(), &index, &cancelled, trace)) || cancelled) return;

  trace.Step(u"CertDuplicateCertificateContext");
  SetLastError(ERROR_SUCCESS);
  PCCERT_CONTEXT pSelected = CertDuplicateCertificateContext(vtrRows[index].pCertContext);
  if (pSelected == nullptr) {
    const HRESULT hResult = FailureFromLastError();
    *pdwResultCode = static_cast<DWORD>(hResult);
    trace.Failed(hResult, u"m_pstCertificate == NULL");
    return;
  }
  *ppSelected = pSelected;
  *pdwResultCode = ERROR_SUCCESS;
  trace.Passed();
}
