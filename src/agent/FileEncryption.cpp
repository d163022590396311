// Enveloping a file for a recipient into an envelope file, and opening an
// envelope file into a plain-text file. Each parameter check names the
// parameter's position; input paths pass the gate as inputs, created files
// as outputs, so an existing output file is never overwritten.
#include "agent/CryptoAgent.h"
#include "agent/OperationScope.h"

using agent::OperationScope;

namespace {

constexpr LPCWSTR kSource = u"FileEncryption";
constexpr int kInputFile = 0;
constexpr int kOutputFile = 1;

// The caller's type name alone picks the route; the file is not inspected.
constexpr std::initializer_list<LPCWSTR> kEnvelopeTypes = {u"SM2", u"RSA"};

}  // namespace

// The algorithm name matters only to an RSA recipient and is checked there.
HRESULT CCryptoAgent::EncryptFileCMSEnvelopeEx(LPCWSTR bstrSourceFile, LPCWSTR bstrEncryptAlg,
                                               LPCWSTR bstrEncryptedFile, VARIANT_BOOL* pbResult) {
  OperationScope op(kSource, "CCryptoAgent::EncryptFileCMSEnvelopeEx", pbResult,
                    {{"bstrSourceFile", bstrSourceFile},
                     {"bstrEncryptAlg", bstrEncryptAlg},
                     {"bstrEncryptedFile", bstrEncryptedFile}});
  if (!op.RequireText({"bstrSourceFile", bstrSourceFile}, u"Check parameter(1).") ||
      !op.RequireText({"bstrEncryptedFile", bstrEncryptedFile}, u"Check parameter(3).") ||
      !op.RequireEncryptCertificate(m_pEncryptCertContext, m_pUnregisteredEncryptCertContext,
                                    u"Establish certificate preparedness.") ||
      !op.RequireExistingFile(bstrSourceFile) || !op.RequireSafePath(bstrSourceFile, kInputFile) ||
      !op.RequireSafePath(bstrEncryptedFile, kOutputFile))
    return Finish(op.Result());
  return Finish(op.NotImplemented());
}

HRESULT CCryptoAgent::EncryptFileCMSEnvelopeEx_ByCert(LPCWSTR bstrBase64CertContent,
                                                      LPCWSTR bstrCertType, LPCWSTR bstrSourceFile,
                                                      LPCWSTR bstrEncryptAlg,
                                                      LPCWSTR bstrEncryptedFile,
                                                      VARIANT_BOOL* pbResult) {
  OperationScope op(kSource, "CCryptoAgent::EncryptFileCMSEnvelopeEx_ByCert", pbResult,
                    {{"bstrBase64CertContent", bstrBase64CertContent},
                     {"bstrCertType", bstrCertType},
                     {"bstrSourceFile", bstrSourceFile},
                     {"bstrEncryptAlg", bstrEncryptAlg},
                     {"bstrEncryptedFile", bstrEncryptedFile}});
  if (!op.RequireText({"bstrBase64CertContent", bstrBase64CertContent}, u"Check parameter(1).") ||
      !op.RequireText({"bstrCertType", bstrCertType}, u"Check parameter(2).") ||
      !op.RequireText({"bstrSourceFile", bstrSourceFile}, u"Check parameter(3).") ||
      !op.RequireText({"bstrEncryptAlg", bstrEncryptAlg}, u"Check parameter(4).") ||
      !op.RequireText({"bstrEncryptedFile", bstrEncryptedFile}, u"Check parameter(5).") ||
      !op.RequireExistingFile(bstrSourceFile) || !op.RequireSafePath(bstrSourceFile, kInputFile) ||
      !op.RequireSafePath(bstrEncryptedFile, kOutputFile))
    return Finish(op.Result());
  return Finish(op.NotImplemented());
}

HRESULT CCryptoAgent::DecryptFileCMSEnvelopeEx(LPCWSTR bstrEncryptedFile, LPCWSTR bstrEnvelopeType,
                                               LPCWSTR bstrPlainTextFile, VARIANT_BOOL* pbResult) {
  OperationScope op(kSource, "CCryptoAgent::DecryptFileCMSEnvelopeEx", pbResult,
                    {{"bstrEncryptedFile", bstrEncryptedFile},
                     {"bstrEnvelopeType", bstrEnvelopeType},
                     {"bstrPlainTextFile", bstrPlainTextFile}});
  if (!op.RequireText({"bstrEncryptedFile", bstrEncryptedFile}, u"Check parameter(1).") ||
      !op.RequireText({"bstrEnvelopeType", bstrEnvelopeType}, u"Check parameter(2).") ||
      !op.RequireText({"bstrPlainTextFile", bstrPlainTextFile}, u"Check parameter(3).") ||
      !op.RequireSafePath(bstrEncryptedFile, kInputFile) ||
      !op.RequireSafePath(bstrPlainTextFile, kOutputFile) ||
      !op.RequireOneOf(bstrEnvelopeType, kEnvelopeTypes, u"Check(lpwEnvelopeType)"))
    return Finish(op.Result());
  return Finish(op.NotImplemented());
}

HRESULT CCryptoAgent::DecryptFileCMSEnvelopeEx_BySoftCert(
    LPCWSTR bstrSoftCertFileName, LPCWSTR bstrSoftCertPassword, LPCWSTR bstrEncryptedFile,
    LPCWSTR bstrEnvelopeType, LPCWSTR bstrPlainTextFile, VARIANT_BOOL* pbResult) {
  OperationScope op(kSource, "CCryptoAgent::DecryptFileCMSEnvelopeEx_BySoftCert", pbResult,
                    {{"bstrSoftCertFileName", bstrSoftCertFileName},
                     {"bstrSoftCertPassword", bstrSoftCertPassword},
                     {"bstrEncryptedFile", bstrEncryptedFile},
                     {"bstrEnvelopeType", bstrEnvelopeType},
                     {"bstrPlainTextFile", bstrPlainTextFile}});
  if (!op.RequireText({"bstrSoftCertFileName", bstrSoftCertFileName}, u"Check parameter(1).") ||
      !op.RequireText({"bstrSoftCertPassword", bstrSoftCertPassword}, u"Check parameter(2).") ||
      !op.RequireText({"bstrEncryptedFile", bstrEncryptedFile}, u"Check parameter(3).") ||
      !op.RequireText({"bstrEnvelopeType", bstrEnvelopeType}, u"Check parameter(4).") ||
      !op.RequireText({"bstrPlainTextFile", bstrPlainTextFile}, u"Check parameter(5).") ||
      !op.RequireSafePath(bstrSoftCertFileName, kInputFile) ||
      !op.RequireSafePath(bstrEncryptedFile, kInputFile) ||
      !op.RequireSafePath(bstrPlainTextFile, kOutputFile) ||
      !op.RequireOneOf(bstrEnvelopeType, kEnvelopeTypes, u"Check(lpwEnvelopeType)"))
    return Finish(op.Result());
  return Finish(op.NotImplemented());
}
