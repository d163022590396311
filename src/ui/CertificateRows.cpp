#include "ui/CertificateRows.h"

#include <algorithm>
#include <memory>

#include "platform/cert/CertDecode.h"
#include "platform/csp/Csp.h"
#include "platform/base/Format.h"
#include "platform/base/LastError.h"
#include "platform/base/LastErrorResult.h"
#include "platform/base/Resources.h"
#include "platform/base/WideString.h"
#include "resources/ModuleResources.h"
#include "resources/StringTable.h"
#include "smengine/common/TextUtility.h"
#include "trace/Trace.h"
#include "winsvc/CertificateInfo.h"

namespace {

constexpr LPCWSTR kSourceUnit = u"SelectCertificateDlg";

// The dialog's name buffers hold 128 characters with the terminator.
constexpr std::size_t kNameChars = 128;
constexpr int kFormatChars = 256;

// The key is in hardware when the provider says so; a certificate without a
// reachable key is simply not a hardware one.
DWORD HardwareFlag(PCCERT_CONTEXT pCertContext) {
  HCRYPTPROV hProv = 0;
  DWORD dwKeySpec = 0;
  BOOL bCallerFree = FALSE;
  if (!CryptAcquireCertificatePrivateKey(pCertContext, 0, nullptr, &hProv, &dwKeySpec,
                                         &bCallerFree))
    return 0;
  DWORD dwImpType = 0;
  DWORD dwLength = sizeof dwImpType;
  const BOOL bRead =
      CryptGetProvParam(hProv, PP_IMPTYPE, reinterpret_cast<BYTE*>(&dwImpType), &dwLength, 0);
  if (hProv != 0 && bCallerFree) CryptReleaseContext(hProv, 0);
  if (!bRead) return 0;
  return (dwImpType & (CRYPT_IMPL_HARDWARE | CRYPT_IMPL_REMOVABLE)) != 0 ? 1 : 0;
}

// The value of the first "<key>" in an X.500 name, up to the next comma and
// at most kNameChars - 1 characters; empty when the key is not there.
std::u16string NameValue(LPCWSTR pwszName, LPCWSTR pwszKey) {
  LPCWSTR pwszFound = wcsstr(pwszName, pwszKey);
  if (pwszFound == nullptr) return {};
  std::u16string_view value(pwszFound + wcslen(pwszKey));
  value = value.substr(0, std::min(value.find(u','), kNameChars - 1));
  return std::u16string(value);
}

// A row text from the string table; 0 or the converted load failure.
HRESULT LoadRowFormat(HMODULE hModule, UINT uID, WCHAR (&wszFormat)[kFormatChars]) {
  SetLastError(ERROR_SUCCESS);
  if (LoadStringW(hModule, uID, wszFormat, kFormatChars) == 0) return FailureFromLastError();
  return S_OK;
}

struct WideBufferDelete {
  void operator()(WCHAR* p) const { delete[] p; }
};
using WideBuffer = std::unique_ptr<WCHAR[], WideBufferDelete>;

class RowBuilder {
 public:
  RowBuilder(StepTrace& trace, HMODULE hModule) : m_trace(trace), m_hModule(hModule) {}

  HRESULT Build(PCCERT_CONTEXT pCertContext, CERT_LIST_ITEM& item) {
    item.pCertContext = pCertContext;
    item.dwHardware = HardwareFlag(pCertContext);

    HRESULT hResult = DisplayName(pCertContext, item);
    if (SUCCEEDED(hResult)) hResult = IssuerLine(pCertContext, item);
    if (SUCCEEDED(hResult)) hResult = SerialLine(pCertContext, item);
    if (SUCCEEDED(hResult)) hResult = ValidityLine(pCertContext, item);
    return hResult;
  }

 private:
  HRESULT QueryName(PCCERT_CONTEXT pCertContext, DWORD dwKind, LPCWSTR step, WideBuffer& name) {
    m_trace.Step(step);
    LPWSTR pwszName = nullptr;
    DWORD dwLength = 0;
    const HRESULT hResult = QueryCertContextInfo(&dwLength, &pwszName, pCertContext, dwKind);
    if (FAILED(hResult)) return m_trace.Failed(hResult, u"FAILED(hResult)");
    name.reset(pwszName);
    return S_OK;
  }

  HRESULT DisplayName(PCCERT_CONTEXT pCertContext, CERT_LIST_ITEM& item) {
    WideBuffer subject;
    const HRESULT hResult =
        QueryName(pCertContext, CERTINFO_SUBJECT_DN, u"QueryCertContextInfo (Subject)", subject);
    if (FAILED(hResult)) return hResult;
    item.wstrDisplayName = NameValue(subject.get(), u"CN=");
    return S_OK;
  }

  HRESULT IssuerLine(PCCERT_CONTEXT pCertContext, CERT_LIST_ITEM& item) {
    WideBuffer issuer;
    HRESULT hResult =
        QueryName(pCertContext, CERTINFO_ISSUER_DN, u"QueryCertContextInfo (Issuer)", issuer);
    if (FAILED(hResult)) return hResult;
    // The organisation names the issuer best; a bare CA has only its name.
    const std::u16string value = wcsstr(issuer.get(), u"O=") != nullptr
                                     ? NameValue(issuer.get(), u"O=")
                                     : NameValue(issuer.get(), u"CN=");

    m_trace.Step(u"LoadString (Issuer)");
    WCHAR wszFormat[kFormatChars];
    hResult = LoadRowFormat(m_hModule, IDS_CERT_ISSUER, wszFormat);
    if (FAILED(hResult)) return m_trace.Failed(hResult, u"0 == LoadString");
    item.wstrIssuer = FormatW(wszFormat, value);
    return S_OK;
  }

  HRESULT SerialLine(PCCERT_CONTEXT pCertContext, CERT_LIST_ITEM& item) {
    m_trace.Step(u"QueryCertContextInfo (Serial number)");
    BYTE* pbySerial = nullptr;
    DWORD dwLength = 0;
    HRESULT hResult =
        QueryCertContextInfo(&dwLength, &pbySerial, pCertContext, CERTINFO_SERIAL_NUMBER);
    if (FAILED(hResult)) return m_trace.Failed(hResult, u"FAILED(hResult)");
    const std::unique_ptr<BYTE[]> serial(pbySerial);

    m_trace.Step(u"ConvertBinaryDataToString (Serial number)");
    LPWSTR pwszSerial = nullptr;
    hResult = ConvertBinaryDataToString(dwLength, serial.get(), &pwszSerial, 1);
    if (FAILED(hResult)) return m_trace.Failed(hResult, u"FAILED(hResult)");
    const WideBuffer serialText(pwszSerial);

    m_trace.Step(u"LoadString (Serial number)");
    WCHAR wszFormat[kFormatChars];
    hResult = LoadRowFormat(m_hModule, IDS_CERT_SERIAL, wszFormat);
    if (FAILED(hResult)) return m_trace.Failed(hResult, u"0 == LoadString");
    item.wstrSerialNumber = FormatW(wszFormat, serialText.get());
    return S_OK;
  }

  HRESULT ValidityLine(PCCERT_CONTEXT pCertContext, CERT_LIST_ITEM& item) {
    SYSTEMTIME stFrom{};
    SYSTEMTIME stTo{};
    DWORD dwLength = 0;
    m_trace.Step(u"QueryCertContextInfo (Valid from)");
    HRESULT hResult = QueryCertContextInfo(&dwLength, &stFrom, pCertContext, CERTINFO_VALID_FROM);
    if (FAILED(hResult)) return m_trace.Failed(hResult, u"FAILED(hResult)");
    m_trace.Step(u"QueryCertContextInfo (Valid to)");
    hResult = QueryCertContextInfo(&dwLength, &stTo, pCertContext, CERTINFO_VALID_TO);
    if (FAILED(hResult)) return m_trace.Failed(hResult, u"FAILED(hResult)");

    m_trace.Step(u"LoadString (Valid date)");
    WCHAR wszFormat[kFormatChars];
    hResult = LoadRowFormat(m_hModule, IDS_CERT_VALIDITY, wszFormat);
    if (FAILED(hResult)) return m_trace.Failed(hResult, u"0 == LoadString");
    item.wstrValidDate = FormatW(wszFormat, stFrom.wMonth, stFrom.wDay, stFrom.wYear, stTo.wMonth,
                                 stTo.wDay, stTo.wYear);
    return S_OK;
  }

  StepTrace& m_trace;
  HMODULE m_hModule;
};

// Hardware keys first (the card the user most likely means), then by name
// with A-Z folded.
bool ComesFirst(const CERT_LIST_ITEM& a, const CERT_LIST_ITEM& b) {
  if (a.dwHardware != b.dwHardware) return a.dwHardware > b.dwHardware;
  return _wcsicmp(a.wstrDisplayName.c_str(), b.wstrDisplayName.c_str()) < 0;
}

}  // namespace

HRESULT LoadCertificates(HMODULE hResourceModule, HCERTSTORE hCertStore,
                         CERTIFICATE_SET& vtrCertSet, CERT_LIST& vtrRows) {
  TraceHelper helper("LoadCertificates");
  StepTrace trace(kTraceGuidUi, kSourceUnit, u"LoadCertificates");
  const HMODULE hModule = hResourceModule != nullptr ? hResourceModule : GetSigilModuleHandle();

  trace.Step(u"ExtractCertificatesFromStore");
  RemoveAllCertificates(vtrCertSet);
  vtrRows.clear();
  HRESULT hResult = ExtractCertificatesFromStore(hCertStore, vtrCertSet);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(hResult)");

  CERT_LIST rows;
  rows.reserve(vtrCertSet.size());
  RowBuilder builder(trace, hModule);
  for (PCCERT_CONTEXT pCertContext : vtrCertSet) {
    CERT_LIST_ITEM item;
    hResult = builder.Build(pCertContext, item);
    if (FAILED(hResult)) {
      RemoveAllCertificates(vtrCertSet);
      return hResult;
    }
    rows.push_back(std::move(item));
  }

  if (rows.size() > 1) std::sort(rows.begin(), rows.end(), ComesFirst);
  vtrRows = std::move(rows);
  trace.Passed();
  return S_OK;
}

std::vector<ui::DialogRow> ToDialogRows(const CERT_LIST& vtrRows) {
  std::vector<ui::DialogRow> rows;
  rows.reserve(vtrRows.size());
  for (const CERT_LIST_ITEM& item : vtrRows) {
    ui::DialogRow row;
    row.hardware = item.dwHardware != 0;
    row.displayName = item.wstrDisplayName;
    row.issuerLine = item.wstrIssuer;
    row.serialLine = item.wstrSerialNumber;
    row.validityLine = item.wstrValidDate;
    if (item.pCertContext != nullptr && item.pCertContext->pbCertEncoded != nullptr)
      row.certificate.assign(item.pCertContext->pbCertEncoded,
                             item.pCertContext->pbCertEncoded + item.pCertContext->cbCertEncoded);
    rows.push_back(std::move(row));
  }
  return rows;
}
