// Choosing the signing and the encryption certificate, and reporting on the
// one chosen.
#include "agent/CryptoAgent.h"
#include "agent/OperationScope.h"

using agent::OperationScope;

namespace {

// Selection traces under the unit of its side, as the rest of that side does.
constexpr LPCWSTR kSigningSource = u"MessageSigning";
constexpr LPCWSTR kEncryptionSource = u"MessageEncryption";

constexpr std::initializer_list<LPCWSTR> kCertInfoTypes = {
    u"SubjectDN", u"SubjectCN", u"SerialNumber", u"CSPName", u"CertType", u"IssuerDN"};

}  // namespace

// The filters may all be empty (no test), so none of them is required.
HRESULT CCryptoAgent::SelectCertificate(LPCWSTR bstrSubjectDNFilter, LPCWSTR bstrIssuerDNFilter,
                                        LPCWSTR bstrSNFilter, VARIANT_BOOL* pbResult) {
  OperationScope op(kSigningSource, "CCryptoAgent::SelectCertificate", pbResult,
                    {{"bstrSubjectDNFilter", bstrSubjectDNFilter},
                     {"bstrIssuerDNFilter", bstrIssuerDNFilter},
                     {"bstrSNFilter", bstrSNFilter}});
  return Finish(op.NotImplemented());
}

HRESULT CCryptoAgent::GetSignCertInfo(LPCWSTR bstrInfoType, BSTR* pbstrInfo) {
  OperationScope op(kSigningSource, "CCryptoAgent::GetSignCertInfo", pbstrInfo,
                    {{"bstrInfoType", bstrInfoType}});
  if (!op.RequireText({"bstrInfoType", bstrInfoType}) ||
      !op.RequireSignCertificate(m_pSignCertContext, m_pUnregisteredSignCertContext) ||
      !op.RequireOneOf(bstrInfoType, kCertInfoTypes, u"check parameter."))
    return Finish(op.Result());
  return Finish(op.NotImplemented());
}

HRESULT CCryptoAgent::SelectEncryptCertificate(LPCWSTR bstrSubjectDNFilter,
                                               LPCWSTR bstrIssuerDNFilter,
                                               LPCWSTR bstrSerialNumFilter, BSTR* pbstrResult) {
  OperationScope op(kEncryptionSource, "CCryptoAgent::SelectEncryptCertificate", pbstrResult,
                    {{"bstrSubjectDNFilter", bstrSubjectDNFilter},
                     {"bstrIssuerDNFilter", bstrIssuerDNFilter},
                     {"bstrSerialNumFilter", bstrSerialNumFilter}});
  return Finish(op.NotImplemented());
}

HRESULT CCryptoAgent::GetEncryptCertInfo(LPCWSTR bstrInfoType, BSTR* pbstrInfo) {
  OperationScope op(kEncryptionSource, "CCryptoAgent::GetEncryptCertInfo", pbstrInfo,
                    {{"bstrInfoType", bstrInfoType}});
  if (!op.RequireText({"bstrInfoType", bstrInfoType}) ||
      !op.RequireEncryptCertificate(m_pEncryptCertContext, m_pUnregisteredEncryptCertContext) ||
      !op.RequireOneOf(bstrInfoType, kCertInfoTypes, u"check parameter."))
    return Finish(op.Result());
  return Finish(op.NotImplemented());
}
