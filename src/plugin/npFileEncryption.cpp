// Script adapters of this unit: each one names its arguments and the agent
// operation it reaches; the shared pattern lives in AdapterSupport.
#include "plugin/AdapterSupport.h"
#include "plugin/ScriptableObject.h"

using namespace plugin;

namespace {
constexpr LPCWSTR kSource = u"npFileEncryption";
}  // namespace

bool CScriptablePluginObject::npEncryptFileCMSEnvelopeEx(const NPVariant* args,
                                                         std::uint32_t argCount,
                                                         NPVariant* result) {
  static constexpr AdapterArg kArgs[] = {{u"SourceFile"}, {u"EncryptAlg"}, {u"EncryptedFile"}};
  static constexpr ScriptMethod kMethod = {"CScriptablePluginObject::npEncryptFileCMSEnvelopeEx",
                                           u"CScriptablePluginObject::npEncryptFileCMSEnvelopeEx",
                                           kSource,
                                           kArgs,
                                           u"m_objCryptoAgent.EncryptFileCMSEnvelopeEx",
                                           nullptr};
  return RunBooleanAdapter(kMethod, args, argCount, result,
                           [this](AdapterCall& call, VARIANT_BOOL* pOut) {
                             return m_objCryptoAgent.EncryptFileCMSEnvelopeEx(
                                 call.Text(0), call.Text(1), call.Text(2), pOut);
                           });
}

bool CScriptablePluginObject::npEncryptFileCMSEnvelopeEx_ByCert(const NPVariant* args,
                                                                std::uint32_t argCount,
                                                                NPVariant* result) {
  static constexpr AdapterArg kArgs[] = {
      {u"Base64CertContent"}, {u"CertType"}, {u"SourceFile"}, {u"EncryptAlg"}, {u"EncryptedFile"}};
  static constexpr ScriptMethod kMethod = {
      "CScriptablePluginObject::npEncryptFileCMSEnvelopeEx_ByCert",
      u"CScriptablePluginObject::npEncryptFileCMSEnvelopeEx_ByCert",
      kSource,
      kArgs,
      u"m_objCryptoAgent.EncryptFileCMSEnvelopeEx_ByCert",
      nullptr};
  return RunBooleanAdapter(
      kMethod, args, argCount, result, [this](AdapterCall& call, VARIANT_BOOL* pOut) {
        return m_objCryptoAgent.EncryptFileCMSEnvelopeEx_ByCert(
            call.Text(0), call.Text(1), call.Text(2), call.Text(3), call.Text(4), pOut);
      });
}

bool CScriptablePluginObject::npDecryptFileCMSEnvelopeEx(const NPVariant* args,
                                                         std::uint32_t argCount,
                                                         NPVariant* result) {
  static constexpr AdapterArg kArgs[] = {{u"EncryptedFile"}, {u"EnvelopeType"}, {u"PlainTextFile"}};
  static constexpr ScriptMethod kMethod = {"CScriptablePluginObject::npDecryptFileCMSEnvelopeEx",
                                           u"CScriptablePluginObject::npDecryptFileCMSEnvelopeEx",
                                           kSource,
                                           kArgs,
                                           u"m_objCryptoAgent.DecryptFileCMSEnvelopeEx",
                                           nullptr};
  return RunBooleanAdapter(kMethod, args, argCount, result,
                           [this](AdapterCall& call, VARIANT_BOOL* pOut) {
                             return m_objCryptoAgent.DecryptFileCMSEnvelopeEx(
                                 call.Text(0), call.Text(1), call.Text(2), pOut);
                           });
}

bool CScriptablePluginObject::npDecryptFileCMSEnvelopeEx_BySoftCert(const NPVariant* args,
                                                                    std::uint32_t argCount,
                                                                    NPVariant* result) {
  static constexpr AdapterArg kArgs[] = {{u"SMFileCertName"},
                                         {u"SMFileCertPassword", ArgKind::String, Shown::Masked},
                                         {u"EncryptedFile"},
                                         {u"EnvelopeType"},
                                         {u"PlainTextFile"}};
  static constexpr ScriptMethod kMethod = {
      "CScriptablePluginObject::npDecryptFileCMSEnvelopeEx_BySoftCert",
      u"CScriptablePluginObject::npDecryptFileCMSEnvelopeEx_BySoftCert",
      kSource,
      kArgs,
      u"m_objCryptoAgent.DecryptFileCMSEnvelopeEx_BySoftCert",
      nullptr};
  return RunBooleanAdapter(
      kMethod, args, argCount, result, [this](AdapterCall& call, VARIANT_BOOL* pOut) {
        return m_objCryptoAgent.DecryptFileCMSEnvelopeEx_BySoftCert(
            call.Text(0), call.Text(1), call.Text(2), call.Text(3), call.Text(4), pOut);
      });
}
