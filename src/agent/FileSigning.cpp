// Signing a file named by page script and verifying signatures of one. Every
// path is looked at (it must exist, and pass the gate) before it is opened.
#include "agent/CryptoAgent.h"
#include "agent/OperationScope.h"

using agent::OperationScope;
using agent::TextOnExit;

namespace {
constexpr LPCWSTR kSource = u"FileSigning";
constexpr int kInputFile = 0;
}  // namespace

// An SM2 certificate ignores the hash algorithm, so it is checked only on the
// RSA route, after the path.
HRESULT CCryptoAgent::SignFilePKCS1(LPCWSTR bstrSourceFile, LPCWSTR bstrHashAlg,
                                    BSTR* pbstrSignature) {
  OperationScope op(kSource, "CCryptoAgent::SignFilePKCS1", pbstrSignature,
                    {{"bstrSourceFile", bstrSourceFile}, {"bstrHashAlg", bstrHashAlg}});
  if (!op.RequireText({"bstrSourceFile", bstrSourceFile}) ||
      !op.RequireSignCertificate(m_pSignCertContext, m_pUnregisteredSignCertContext) ||
      !op.RequireExistingFile(bstrSourceFile) || !op.RequireSafePath(bstrSourceFile, kInputFile))
    return Finish(op.Result());
  return Finish(op.NotImplemented());
}

HRESULT CCryptoAgent::SignFilePKCS7Detached(LPCWSTR bstrSourceFile, LPCWSTR bstrHashAlg,
                                            BSTR* pbstrSignature) {
  OperationScope op(kSource, "CCryptoAgent::SignFilePKCS7Detached", pbstrSignature,
                    {{"bstrSourceFile", bstrSourceFile}, {"bstrHashAlg", bstrHashAlg}},
                    TextOnExit::LeaveNull);
  if (!op.RequireText({"bstrSourceFile", bstrSourceFile}) ||
      !op.RequireSignCertificate(m_pSignCertContext, m_pUnregisteredSignCertContext) ||
      !op.RequireExistingFile(bstrSourceFile) || !op.RequireSafePath(bstrSourceFile, kInputFile))
    return Finish(op.Result());
  return Finish(op.NotImplemented());
}

// The hash algorithm is needed only by an "RSA" soft certificate.
HRESULT CCryptoAgent::SignFilePKCS1_BySoftCert(LPCWSTR bstrSoftCertFileName,
                                               LPCWSTR bstrSoftCertPassword,
                                               LPCWSTR bstrSoftCertType, LPCWSTR bstrSourceFile,
                                               LPCWSTR bstrHashAlg, BSTR* pbstrSignature) {
  OperationScope op(kSource, "CCryptoAgent::SignFilePKCS1_BySoftCert", pbstrSignature,
                    {{"bstrSoftCertFileName", bstrSoftCertFileName},
                     {"bstrSoftCertPassword", bstrSoftCertPassword},
                     {"bstrSoftCertType", bstrSoftCertType},
                     {"bstrSourceFile", bstrSourceFile},
                     {"bstrHashAlg", bstrHashAlg}});
  if (!op.RequireText({"bstrSoftCertFileName", bstrSoftCertFileName}) ||
      !op.RequireText({"bstrSoftCertPassword", bstrSoftCertPassword}) ||
      !op.RequireText({"bstrSoftCertType", bstrSoftCertType}) ||
      !op.RequireText({"bstrSourceFile", bstrSourceFile}) ||
      !op.RequireExistingFile(bstrSoftCertFileName) ||
      !op.RequireSafePath(bstrSoftCertFileName, kInputFile) ||
      !op.RequireExistingFile(bstrSourceFile) || !op.RequireSafePath(bstrSourceFile, kInputFile))
    return Finish(op.Result());
  return Finish(op.NotImplemented());
}

HRESULT CCryptoAgent::SignFilePKCS7Detached_BySoftCert(LPCWSTR bstrSoftCertFileName,
                                                       LPCWSTR bstrSoftCertPassword,
                                                       LPCWSTR bstrSoftCertType,
                                                       LPCWSTR bstrSourceFile, LPCWSTR bstrHashAlg,
                                                       BSTR* pbstrSignature) {
  OperationScope op(kSource, "CCryptoAgent::SignFilePKCS7Detached_BySoftCert", pbstrSignature,
                    {{"bstrSoftCertFileName", bstrSoftCertFileName},
                     {"bstrSoftCertPassword", bstrSoftCertPassword},
                     {"bstrSoftCertType", bstrSoftCertType},
                     {"bstrSourceFile", bstrSourceFile},
                     {"bstrHashAlg", bstrHashAlg}});
  if (!op.RequireText({"bstrSoftCertFileName", bstrSoftCertFileName}) ||
      !op.RequireText({"bstrSoftCertPassword", bstrSoftCertPassword}) ||
      !op.RequireText({"bstrSoftCertType", bstrSoftCertType}) ||
      !op.RequireText({"bstrSourceFile", bstrSourceFile}) ||
      !op.RequireExistingFile(bstrSoftCertFileName) ||
      !op.RequireSafePath(bstrSoftCertFileName, kInputFile) ||
      !op.RequireExistingFile(bstrSourceFile) || !op.RequireSafePath(bstrSourceFile, kInputFile))
    return Finish(op.Result());
  return Finish(op.NotImplemented());
}

// The signature is converted before the path is looked at, so the path
// checks belong to the work that follows.
HRESULT CCryptoAgent::VerifyFileSignaturePKCS1(LPCWSTR bstrSignature, LPCWSTR bstrSignatureType,
                                               LPCWSTR bstrSourceFile, LPCWSTR bstrHashAlg,
                                               LPCWSTR bstrBase64CertContent,
                                               VARIANT_BOOL* pbResult) {
  OperationScope op(kSource, "CCryptoAgent::VerifyFileSignaturePKCS1", pbResult,
                    {{"bstrSignature", bstrSignature},
                     {"bstrSignatureType", bstrSignatureType},
                     {"bstrSourceFile", bstrSourceFile},
                     {"bstrHashAlg", bstrHashAlg},
                     {"bstrBase64CertContent", bstrBase64CertContent}});
  if (!op.RequireText({"bstrSignature", bstrSignature}) ||
      !op.RequireText({"bstrSignatureType", bstrSignatureType}) ||
      !op.RequireText({"bstrSourceFile", bstrSourceFile}) ||
      !op.RequireText({"bstrBase64CertContent", bstrBase64CertContent}))
    return Finish(op.Result());
  return Finish(op.NotImplemented());
}

HRESULT CCryptoAgent::VerifyFileSignaturePKCS7Detached(LPCWSTR bstrSignature,
                                                       LPCWSTR bstrSignatureType,
                                                       LPCWSTR bstrSourceFile,
                                                       VARIANT_BOOL* pbResult) {
  OperationScope op(kSource, "CCryptoAgent::VerifyFileSignaturePKCS7Detached", pbResult,
                    {{"bstrSignature", bstrSignature},
                     {"bstrSignatureType", bstrSignatureType},
                     {"bstrSourceFile", bstrSourceFile}});
  if (!op.RequireText({"bstrSignature", bstrSignature}) ||
      !op.RequireText({"bstrSignatureType", bstrSignatureType}) ||
      !op.RequireText({"bstrSourceFile", bstrSourceFile}) ||
      !op.RequireExistingFile(bstrSourceFile) || !op.RequireSafePath(bstrSourceFile, kInputFile))
    return Finish(op.Result());
  return Finish(op.NotImplemented());
}
