// Signing a message from page script and verifying signatures over one.
#include "agent/CryptoAgent.h"
#include "agent/OperationScope.h"

using agent::OperationScope;
using agent::TextOnExit;

namespace {
constexpr LPCWSTR kSource = u"MessageSigning";
}  // namespace

// The hash algorithm is checked only on the RSA route, after the source has
// been converted: an SM2 certificate signs with SM3 whatever it says.
HRESULT CCryptoAgent::SignMsgPKCS1(LPCWSTR bstrSourceData, LPCWSTR bstrHashAlg,
                                   BSTR* pbstrSignature) {
  OperationScope op(kSource, "CCryptoAgent::SignMsgPKCS1", pbstrSignature,
                    {{"bstrSourceData", bstrSourceData}, {"bstrHashAlg", bstrHashAlg}});
  if (!op.RequireText({"bstrSourceData", bstrSourceData}) ||
      !op.RequireSignCertificate(m_pSignCertContext, m_pUnregisteredSignCertContext))
    return Finish(op.Result());
  return Finish(op.NotImplemented());
}

HRESULT CCryptoAgent::SignMsgPKCS7(LPCWSTR bstrSourceData, LPCWSTR bstrHashAlg,
                                   [[maybe_unused]] VARIANT_BOOL bAttach, BSTR* pbstrSignature) {
  OperationScope op(kSource, "CCryptoAgent::SignMsgPKCS7", pbstrSignature,
                    {{"bstrSourceData", bstrSourceData}, {"bstrHashAlg", bstrHashAlg}},
                    TextOnExit::LeaveNull);
  if (!op.RequireText({"bstrSourceData", bstrSourceData}) ||
      !op.RequireSignCertificate(m_pSignCertContext, m_pUnregisteredSignCertContext))
    return Finish(op.Result());
  return Finish(op.NotImplemented());
}

// The hash algorithm is looked at only for an "RSA" soft certificate, so it is
// not among the opening checks.
HRESULT CCryptoAgent::SignMsgPKCS1_BySoftCert(LPCWSTR bstrSoftCertFileName,
                                              LPCWSTR bstrSoftCertPassword,
                                              LPCWSTR bstrSoftCertType, LPCWSTR bstrSourceData,
                                              LPCWSTR bstrHashAlg, BSTR* pbstrSignature) {
  OperationScope op(kSource, "CCryptoAgent::SignMsgPKCS1_BySoftCert", pbstrSignature,
                    {{"bstrSoftCertFileName", bstrSoftCertFileName},
                     {"bstrSoftCertPassword", bstrSoftCertPassword},
                     {"bstrSoftCertType", bstrSoftCertType},
                     {"bstrSourceData", bstrSourceData},
                     {"bstrHashAlg", bstrHashAlg}});
  if (!op.RequireText({"bstrSoftCertFileName", bstrSoftCertFileName}) ||
      !op.RequireText({"bstrSoftCertPassword", bstrSoftCertPassword}) ||
      !op.RequireText({"bstrSoftCertType", bstrSoftCertType}) ||
      !op.RequireText({"bstrSourceData", bstrSourceData}) ||
      !op.RequireSafePath(bstrSoftCertFileName, 0))
    return Finish(op.Result());
  return Finish(op.NotImplemented());
}

HRESULT CCryptoAgent::SignMsgPKCS7_BySoftCert(LPCWSTR bstrSoftCertFileName,
                                              LPCWSTR bstrSoftCertPassword,
                                              LPCWSTR bstrSoftCertType, LPCWSTR bstrSourceData,
                                              LPCWSTR bstrHashAlg,
                                              [[maybe_unused]] VARIANT_BOOL bAttach,
                                              BSTR* pbstrSignature) {
  OperationScope op(kSource, "CCryptoAgent::SignMsgPKCS7_BySoftCert", pbstrSignature,
                    {{"bstrSoftCertFileName", bstrSoftCertFileName},
                     {"bstrSoftCertPassword", bstrSoftCertPassword},
                     {"bstrSoftCertType", bstrSoftCertType},
                     {"bstrSourceData", bstrSourceData},
                     {"bstrHashAlg", bstrHashAlg}});
  if (!op.RequireText({"bstrSoftCertFileName", bstrSoftCertFileName}) ||
      !op.RequireText({"bstrSoftCertPassword", bstrSoftCertPassword}) ||
      !op.RequireText({"bstrSoftCertType", bstrSoftCertType}) ||
      !op.RequireText({"bstrSourceData", bstrSourceData}) ||
      !op.RequireSafePath(bstrSoftCertFileName, 0))
    return Finish(op.Result());
  return Finish(op.NotImplemented());
}

// The hash algorithm matters only to "RSA" and is checked on that route.
HRESULT CCryptoAgent::VerifyMsgSignaturePKCS1(LPCWSTR bstrSignature, LPCWSTR bstrSignatureType,
                                              LPCWSTR bstrSourceMsg, LPCWSTR bstrHashAlg,
                                              LPCWSTR bstrBase64CertContent,
                                              VARIANT_BOOL* pbResult) {
  OperationScope op(kSource, "CCryptoAgent::VerifyMsgSignaturePKCS1", pbResult,
                    {{"bstrSignature", bstrSignature},
                     {"bstrSignatureType", bstrSignatureType},
                     {"bstrSourceMsg", bstrSourceMsg},
                     {"bstrHashAlg", bstrHashAlg},
                     {"bstrBase64CertContent", bstrBase64CertContent}});
  if (!op.RequireText({"bstrSignature", bstrSignature}) ||
      !op.RequireText({"bstrSignatureType", bstrSignatureType}) ||
      !op.RequireText({"bstrSourceMsg", bstrSourceMsg}) ||
      !op.RequireText({"bstrBase64CertContent", bstrBase64CertContent}))
    return Finish(op.Result());
  return Finish(op.NotImplemented());
}

HRESULT CCryptoAgent::VerifyMsgSignaturePKCS7Attached(LPCWSTR bstrSignature,
                                                      LPCWSTR bstrSignatureType,
                                                      VARIANT_BOOL* pbResult) {
  OperationScope op(kSource, "CCryptoAgent::VerifyMsgSignaturePKCS7Attached", pbResult,
                    {{"bstrSignature", bstrSignature}, {"bstrSignatureType", bstrSignatureType}});
  if (!op.RequireText({"bstrSignature", bstrSignature}) ||
      !op.RequireText({"bstrSignatureType", bstrSignatureType}))
    return Finish(op.Result());
  return Finish(op.NotImplemented());
}

HRESULT CCryptoAgent::VerifyMsgSignaturePKCS7Detached(LPCWSTR bstrSignature,
                                                      LPCWSTR bstrSignatureType,
                                                      LPCWSTR bstrSourceMsg,
                                                      VARIANT_BOOL* pbResult) {
  OperationScope op(kSource, "CCryptoAgent::VerifyMsgSignaturePKCS7Detached", pbResult,
                    {{"bstrSignature", bstrSignature},
                     {"bstrSignatureType", bstrSignatureType},
                     {"bstrSourceMsg", bstrSourceMsg}});
  if (!op.RequireText({"bstrSignature", bstrSignature}) ||
      !op.RequireText({"bstrSignatureType", bstrSignatureType}) ||
      !op.RequireText({"bstrSourceMsg", bstrSourceMsg}))
    return Finish(op.Result());
  return Finish(op.NotImplemented());
}
