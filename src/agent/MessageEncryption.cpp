// Enveloping a message from page script for a recipient and opening an
// envelope addressed to the user.
#include "agent/CryptoAgent.h"
#include "agent/OperationScope.h"

using agent::OperationScope;

namespace {
constexpr LPCWSTR kSource = u"MessageEncryption";
constexpr int kInputFile = 0;
}  // namespace

// An SM2 recipient ignores the algorithm name, so it is checked only when the
// envelope turns out to be RSA.
HRESULT CCryptoAgent::EncryptMsgCMSEnvelopeEx(LPCWSTR bstrMessage, LPCWSTR bstrEncryptAlg,
                                              BSTR* pbstrEnvelope) {
  OperationScope op(kSource, "CCryptoAgent::EncryptMsgCMSEnvelopeEx", pbstrEnvelope,
                    {{"bstrMessage", bstrMessage}, {"bstrEncryptAlg", bstrEncryptAlg}});
  if (!op.RequireText({"bstrMessage", bstrMessage}) ||
      !op.RequireEncryptCertificate(m_pEncryptCertContext, m_pUnregisteredEncryptCertContext,
                                    u"No certificate is ready."))
    return Finish(op.Result());
  return Finish(op.NotImplemented());
}

HRESULT CCryptoAgent::EncryptMsgCMSEnvelopeEx_ByCert(LPCWSTR bstrBase64CertContent,
                                                     LPCWSTR bstrCertType, LPCWSTR bstrMessage,
                                                     LPCWSTR bstrEncryptAlg, BSTR* pbstrEnvelope) {
  OperationScope op(kSource, "CCryptoAgent::EncryptMsgCMSEnvelopeEx_ByCert", pbstrEnvelope,
                    {{"bstrBase64CertContent", bstrBase64CertContent},
                     {"bstrCertType", bstrCertType},
                     {"bstrMessage", bstrMessage},
                     {"bstrEncryptAlg", bstrEncryptAlg}});
  if (!op.RequireText({"bstrBase64CertContent", bstrBase64CertContent},
                      u"Check parameter (bstrBase64CertContent).") ||
      !op.RequireText({"bstrCertType", bstrCertType}, u"Check parameter (bstrCertType).") ||
      !op.RequireText({"bstrMessage", bstrMessage}, u"Check parameter (bstrMessage)."))
    return Finish(op.Result());
  return Finish(op.NotImplemented());
}

HRESULT CCryptoAgent::DecryptMsgCMSEnvelopeEx(LPCWSTR bstrEnvelope, LPCWSTR bstrEnvelopeType,
                                              BSTR* pbstrMessage) {
  OperationScope op(kSource, "CCryptoAgent::DecryptMsgCMSEnvelopeEx", pbstrMessage,
                    {{"bstrEnvelope", bstrEnvelope}, {"bstrEnvelopeType", bstrEnvelopeType}});
  if (!op.RequireText({"bstrEnvelope", bstrEnvelope}) ||
      !op.RequireText({"bstrEnvelopeType", bstrEnvelopeType}))
    return Finish(op.Result());
  return Finish(op.NotImplemented());
}

HRESULT CCryptoAgent::DecryptMsgCMSEnvelopeEx_BySoftCert(LPCWSTR bstrSoftCertFileName,
                                                         LPCWSTR bstrSoftCertPassword,
                                                         LPCWSTR bstrEnvelope,
                                                         LPCWSTR bstrEnvelopeType,
                                                         BSTR* pbstrMessage) {
  OperationScope op(kSource, "CCryptoAgent::DecryptMsgCMSEnvelopeEx_BySoftCert", pbstrMessage,
                    {{"bstrSoftCertFileName", bstrSoftCertFileName},
                     {"bstrSoftCertPassword", bstrSoftCertPassword},
                     {"bstrEnvelope", bstrEnvelope},
                     {"bstrEnvelopeType", bstrEnvelopeType}});
  if (!op.RequireText({"bstrSoftCertFileName", bstrSoftCertFileName}, u"Check parameter.") ||
      !op.RequireText({"bstrSoftCertPassword", bstrSoftCertPassword}, u"Check parameter.") ||
      !op.RequireText({"bstrEnvelope", bstrEnvelope}, u"Check parameter.") ||
      !op.RequireText({"bstrEnvelopeType", bstrEnvelopeType}, u"Check parameter.") ||
      !op.RequireSafePath(bstrSoftCertFileName, kInputFile))
    return Finish(op.Result());
  return Finish(op.NotImplemented());
}
