#include "winsvc/CertificateChecks.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "platform/cert/CertNames.h"
#include "platform/base/WideString.h"
#include "resources/ResultCodes.h"
#include "trace/Trace.h"
#include "winsvc/CertificateInfo.h"

namespace {

constexpr LPCWSTR kSourceUnit = u"CertificateChecks";

// The given bytes stand for themselves followed by kFilterImpliedZeroBytes
// zeros; only the first cbGiven are ever read.
bool MatchesGivenBytes(const BYTE* pbyGiven, DWORD cbGiven, const BYTE* pbyCert, DWORD cbCert) {
  if (std::uint64_t{cbCert} > std::uint64_t{cbGiven} + kFilterImpliedZeroBytes) return false;
  const DWORD cbCompared = std::min(cbCert, cbGiven);
  if (cbCompared != 0 && std::memcmp(pbyGiven, pbyCert, cbCompared) != 0) return false;
  return std::all_of(pbyCert + cbCompared, pbyCert + cbCert, [](BYTE b) { return b == 0; });
}

// The name test shared by subject and issuer: any empty piece or any piece
// found (ignoring case) in the name passes.
HRESULT MatchPieces(StepTrace& trace, LPCWSTR lpwName,
                    const std::vector<std::u16string>& vtrFilters) {
  trace.Step(u"StrStrIW");
  for (const std::u16string& strFilter : vtrFilters) {
    if (strFilter.empty() || StrStrIW(lpwName, strFilter.c_str()) != nullptr) {
      trace.Passed();
      return S_OK;
    }
  }
  return trace.Failed(E_FAIL, u"NULL == StrStrIW(lpwName, strFilter)");
}

}  // namespace

HRESULT ParseFilters(LPCWSTR lpwFilter, std::vector<std::u16string>& vtrFilters) {
  if (lpwFilter == nullptr) return S_OK;
  const std::u16string_view text(lpwFilter);
  std::size_t start = 0;
  while (true) {
    const std::size_t end = text.find(u'#', start);
    const std::u16string_view piece = text.substr(
        start, end == std::u16string_view::npos ? std::u16string_view::npos : end - start);
    vtrFilters.emplace_back(piece.substr(0, kMaxFilterPieceChars));
    if (end == std::u16string_view::npos) break;
    start = end + 1;
  }
  return S_OK;
}

HRESULT CheckCertSubjectName(PCCERT_CONTEXT pCertContext, DWORD dwNameForm,
                             const std::vector<std::u16string>& vtrSubjectFilters) {
  TraceHelper helper("CheckCertSubjectName");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"CheckCertSubjectName");
  trace.Step(u"Check parameter(pCertContext)");
  if (pCertContext == nullptr) return trace.Failed(E_INVALIDARG, u"NULL == pCertContext");
  if (vtrSubjectFilters.empty()) return S_OK;

  trace.Step(u"GetCertSubject");
  LPWSTR pwszRaw = nullptr;
  DWORD dwLength = 0;
  const HRESULT hResult = GetCertSubject(pCertContext, dwNameForm, &pwszRaw, &dwLength);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(hResult)");
  const std::unique_ptr<WCHAR[]> pwszSubject(pwszRaw);
  trace.Passed();
  return MatchPieces(trace, pwszSubject.get(), vtrSubjectFilters);
}

HRESULT CheckCertIssuer(PCCERT_CONTEXT pCertContext,
                        const std::vector<std::u16string>& vtrIssuerFilters) {
  TraceHelper helper("CheckCertIssuer");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"CheckCertIssuer");
  trace.Step(u"Check parameter(pCertContext)");
  if (pCertContext == nullptr) return trace.Failed(E_INVALIDARG, u"NULL == pCertContext");
  if (vtrIssuerFilters.empty()) return S_OK;

  trace.Step(u"GetCertIssuer");
  LPWSTR pwszRaw = nullptr;
  DWORD dwLength = 0;
  const HRESULT hResult = GetCertIssuer(pCertContext, &pwszRaw, &dwLength);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(hResult)");
  const std::unique_ptr<WCHAR[]> pwszIssuer(pwszRaw);
  trace.Passed();
  return MatchPieces(trace, pwszIssuer.get(), vtrIssuerFilters);
}

HRESULT CheckCertKeyUsage(DWORD dwKeyUsage, PCCERT_CONTEXT pCertContext) {
  TraceHelper helper("CheckCertKeyUsage");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"CheckCertKeyUsage");
  trace.Step(u"Check parameter(pCertContext)");
  if (pCertContext == nullptr) return trace.Failed(E_INVALIDARG, u"NULL == pCertContext");
  if (dwKeyUsage == 0) return S_OK;

  trace.Step(u"GetCertKeyUsage");
  DWORD dwCertKeyUsage = 0;
  const HRESULT hResult = GetCertKeyUsage(pCertContext, &dwCertKeyUsage, nullptr);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(hResult)");
  trace.Passed();

  trace.Step(u"Check key usage");
  if ((dwKeyUsage & dwCertKeyUsage) == 0)
    return trace.Failed(SIGIL_E_INVALID_CERT_USAGE, u"0 == (dwKeyUsage & dwCertKeyUsage)");
  trace.Passed();
  return S_OK;
}

HRESULT CheckCertSubjectKeyID(const BYTE* pbySubjectKeyID, DWORD cbSubjectKeyID,
                              PCCERT_CONTEXT pCertContext) {
  TraceHelper helper("CheckCertSubjectKeyID");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"CheckCertSubjectKeyID");
  trace.Step(u"Check parameter(pCertContext)");
  if (pCertContext == nullptr) return trace.Failed(E_INVALIDARG, u"NULL == pCertContext");
  if (pbySubjectKeyID == nullptr) return S_OK;

  trace.Step(u"GetCertSubjectKeyID");
  BYTE* pbyRaw = nullptr;
  DWORD dwLength = 0;
  const HRESULT hResult = GetCertSubjectKeyID(pCertContext, &pbyRaw, &dwLength);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(hResult)");
  const std::unique_ptr<BYTE[]> pbyCertKeyID(pbyRaw);
  trace.Passed();

  trace.Step(u"Compare subject key ID");
  if (!MatchesGivenBytes(pbySubjectKeyID, cbSubjectKeyID, pbyCertKeyID.get(), dwLength))
    return trace.Failed(E_FAIL, u"0 != memcmp(pbySubjectKeyID, pbyCertKeyID)");
  trace.Passed();
  return S_OK;
}

HRESULT CheckCertSerialNumber(const BYTE* pbySerialNumber, DWORD cbSerialNumber,
                              PCCERT_CONTEXT pCertContext) {
  TraceHelper helper("CheckCertSerialNumber");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"CheckCertSerialNumber");
  trace.Step(u"Check parameter(pCertContext)");
  if (pCertContext == nullptr || pCertContext->pCertInfo == nullptr)
    return trace.Failed(E_INVALIDARG, u"NULL == pCertContext");
  if (pbySerialNumber == nullptr) return S_OK;

  trace.Step(u"Compare serial number");
  const CRYPT_INTEGER_BLOB& serial = pCertContext->pCertInfo->SerialNumber;
  if (!MatchesGivenBytes(pbySerialNumber, cbSerialNumber, serial.pbData, serial.cbData))
    return trace.Failed(E_FAIL, u"0 != memcmp(pbySerialNumber, SerialNumber.pbData)");
  trace.Passed();
  return S_OK;
}

HRESULT CheckCertSignatureAlg(LPCSTR pszSignatureAlgOid, PCCERT_CONTEXT pCertContext) {
  TraceHelper helper("CheckCertSignatureAlg");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"CheckCertSignatureAlg");
  trace.Step(u"Check parameter(pCertContext)");
  if (pCertContext == nullptr || pCertContext->pCertInfo == nullptr)
    return trace.Failed(E_INVALIDARG, u"NULL == pCertContext");
  if (pszSignatureAlgOid == nullptr) return S_OK;

  trace.Step(u"Compare signature algorithm");
  LPCSTR pszCertOid = pCertContext->pCertInfo->SignatureAlgorithm.pszObjId;
  if (pszCertOid == nullptr ||
      std::strncmp(pszCertOid, pszSignatureAlgOid, std::strlen(pszSignatureAlgOid)) != 0)
    return trace.Failed(E_FAIL, u"0 != strncmp(pszObjId, pszSignatureAlgOid)");
  trace.Passed();
  return S_OK;
}

HRESULT CheckCertMatchesFilter(PCCERT_CONTEXT pCertContext, PCCERTIFICATE_FILTER pFilter,
                               const std::vector<std::u16string>& vtrSubjectFilters,
                               const std::vector<std::u16string>& vtrIssuerFilters) {
  if (pCertContext == nullptr) return E_INVALIDARG;
  const CERTIFICATE_FILTER unset{};
  const CERTIFICATE_FILTER& filter = pFilter != nullptr ? *pFilter : unset;

  HRESULT hResult = CheckCertSubjectName(pCertContext, CERT_X500_NAME_STR, vtrSubjectFilters);
  if (SUCCEEDED(hResult)) hResult = CheckCertIssuer(pCertContext, vtrIssuerFilters);
  if (SUCCEEDED(hResult)) hResult = CheckCertKeyUsage(filter.dwKeyUsage, pCertContext);
  if (SUCCEEDED(hResult))
    hResult = CheckCertSubjectKeyID(filter.pbySubjectKeyID, filter.cbSubjectKeyID, pCertContext);
  if (SUCCEEDED(hResult))
    hResult = CheckCertSerialNumber(filter.pbySerialNumber, filter.cbSerialNumber, pCertContext);
  if (SUCCEEDED(hResult)) hResult = CheckCertSignatureAlg(filter.pszSignatureAlgOid, pCertContext);
  return hResult;
}
