// Script adapters of this unit: each one names its arguments and the agent
// operation it reaches; the shared pattern lives in AdapterSupport.
#include "plugin/AdapterSupport.h"
#include "plugin/ScriptableObject.h"

using namespace plugin;

namespace {
constexpr LPCWSTR kSource = u"npMessageEncryption";
}  // namespace

bool CScriptablePluginObject::npSelectEncryptCertificate(const NPVariant* args,
                                                         std::uint32_t argCount,
                                                         NPVariant* result) {
  static constexpr AdapterArg kArgs[] = {
      {u"SubjectDNFilter"}, {u"IssuerDNFilter"}, {u"SerialNumFilter"}};
  static constexpr ScriptMethod kMethod = {"CScriptablePluginObject::npSelectEncryptCertificate",
                                           u"CScriptablePluginObject::npSelectEncryptCertificate",
                                           kSource,
                                           kArgs,
                                           u"m_objCryptoAgent.SelectEncryptCertificate",
                                           u"Reture Certificate"};
  return RunTextAdapter(kMethod, args, argCount, result, [this](AdapterCall& call, BSTR* pOut) {
    return m_objCryptoAgent.SelectEncryptCertificate(call.Text(0), call.Text(1), call.Text(2),
                                                     pOut);
  });
}

bool CScriptablePluginObject::npGetEncryptCertInfo(const NPVariant* args, std::uint32_t argCount,
                                                   NPVariant* result) {
  static constexpr AdapterArg kArgs[] = {{u"InfoType"}};
  static constexpr ScriptMethod kMethod = {"CScriptablePluginObject::npGetEncryptCertInfo",
                                           u"CScriptablePluginObject::npGetEncryptCertInfo",
                                           kSource,
                                           kArgs,
                                           u"m_objCryptoAgent.GetEncryptCertInfo",
                                           u"Reture Certificate Info"};
  return RunTextAdapter(kMethod, args, argCount, result, [this](AdapterCall& call, BSTR* pOut) {
    return m_objCryptoAgent.GetEncryptCertInfo(call.Text(0), pOut);
  });
}

bool CScriptablePluginObject::npEncryptMsgCMSEnvelopeEx(const NPVariant* args,
                                                        std::uint32_t argCount, NPVariant* result) {
  static constexpr AdapterArg kArgs[] = {{u"Message", ArgKind::String, Shown::Length}, {u"EncryptAlg"}};
  static constexpr ScriptMethod kMethod = {"CScriptablePluginObject::npEncryptMsgCMSEnvelopeEx",
                                           u"CScriptablePluginObject::npEncryptMsgCMSEnvelopeEx",
                                           kSource,
                                           kArgs,
                                           u"m_objCryptoAgent.EncryptMsgCMSEnvelopeEx",
                                           u"Reture Envelope"};
  return RunTextAdapter(kMethod, args, argCount, result, [this](AdapterCall& call, BSTR* pOut) {
    return m_objCryptoAgent.EncryptMsgCMSEnvelopeEx(call.Text(0), call.Text(1), pOut);
  });
}

bool CScriptablePluginObject::npEncryptMsgCMSEnvelopeEx_ByCert(const NPVariant* args,
                                                               std::uint32_t argCount,
                                                               NPVariant* result) {
  static constexpr AdapterArg kArgs[] = {
      {u"Base64CertContent"}, {u"CertType"}, {u"Message", ArgKind::String, Shown::Length}, {u"EncryptAlg"}};
  static constexpr ScriptMethod kMethod = {
      "CScriptablePluginObject::npEncryptMsgCMSEnvelopeEx_ByCert",
      u"CScriptablePluginObject::npEncryptMsgCMSEnvelopeEx_ByCert",
      kSource,
      kArgs,
      u"m_objCryptoAgent.EncryptMsgCMSEnvelopeEx_ByCert",
      u"Reture Envelope"};
  return RunTextAdapter(kMethod, args, argCount, result, [this](AdapterCall& call, BSTR* pOut) {
    return m_objCryptoAgent.EncryptMsgCMSEnvelopeEx_ByCert(call.Text(0), call.Text(1), call.Text(2),
                                                           call.Text(3), pOut);
  });
}

bool CScriptablePluginObject::npDecryptMsgCMSEnvelopeEx(const NPVariant* args,
                                                        std::uint32_t argCount, NPVariant* result) {
  static constexpr AdapterArg kArgs[] = {{u"Envelope", ArgKind::String, Shown::Length}, {u"EnvelopeType"}};
  static constexpr ScriptMethod kMethod = {"CScriptablePluginObject::npDecryptMsgCMSEnvelopeEx",
                                           u"CScriptablePluginObject::npDecryptMsgCMSEnvelopeEx",
                                           kSource,
                                           kArgs,
                                           u"m_objCryptoAgent.DecryptMsgCMSEnvelopeEx",
                                           u"Reture Message"};
  return RunTextAdapter(kMethod, args, argCount, result, [this](AdapterCall& call, BSTR* pOut) {
    return m_objCryptoAgent.DecryptMsgCMSEnvelopeEx(call.Text(0), call.Text(1), pOut);
  });
}

bool CScriptablePluginObject::npDecryptMsgCMSEnvelopeEx_BySoftCert(const NPVariant* args,
                                                                   std::uint32_t argCount,
                                                                   NPVariant* result) {
  static constexpr AdapterArg kArgs[] = {
      {u"SMFileCertName"}, {u"SMFileCertPassword", ArgKind::String, Shown::Masked}, {u"Envelope", ArgKind::String, Shown::Length}, {u"EnvelopeType"}};
  static constexpr ScriptMethod kMethod = {
      "CScriptablePluginObject::npDecryptMsgCMSEnvelopeEx_BySoftCert",
      u"CScriptablePluginObject::npDecryptMsgCMSEnvelopeEx_BySoftCert",
      kSource,
      kArgs,
      u"m_objCryptoAgent.DecryptMsgCMSEnvelopeEx_BySoftCert",
      u"Reture Message"};
  return RunTextAdapter(kMethod, args, argCount, result, [this](AdapterCall& call, BSTR* pOut) {
    return m_objCryptoAgent.DecryptMsgCMSEnvelopeEx_BySoftCert(call.Text(0), call.Text(1),
                                                               call.Text(2), call.Text(3), pOut);
  });
}
