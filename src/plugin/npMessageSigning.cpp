// Script adapters of this unit: each one names its arguments and the agent
// operation it reaches; the shared pattern lives in AdapterSupport.
#include "plugin/AdapterSupport.h"
#include "plugin/ScriptableObject.h"

using namespace plugin;

namespace {
constexpr LPCWSTR kSource = u"npMessageSigning";
}  // namespace

bool CScriptablePluginObject::npSelectCertificate(const NPVariant* args, std::uint32_t argCount,
                                                  NPVariant* result) {
  static constexpr AdapterArg kArgs[] = {{u"SubjectDNFilter"}, {u"IssuerDNFilter"}, {u"SNFilter"}};
  static constexpr ScriptMethod kMethod = {"CScriptablePluginObject::npSelectCertificate",
                                           u"CScriptablePluginObject::npSelectCertificate",
                                           kSource,
                                           kArgs,
                                           u"m_objCryptoAgent.SelectCertificate",
                                           nullptr};
  return RunBooleanAdapter(
      kMethod, args, argCount, result, [this](AdapterCall& call, VARIANT_BOOL* pOut) {
        return m_objCryptoAgent.SelectCertificate(call.Text(0), call.Text(1), call.Text(2), pOut);
      });
}

bool CScriptablePluginObject::npGetSignCertInfo(const NPVariant* args, std::uint32_t argCount,
                                                NPVariant* result) {
  static constexpr AdapterArg kArgs[] = {{u"InfoType"}};
  static constexpr ScriptMethod kMethod = {"CScriptablePluginObject::npGetSignCertInfo",
                                           u"CScriptablePluginObject::npGetSignCertInfo",
                                           kSource,
                                           kArgs,
                                           u"m_objCryptoAgent.GetSignCertInfo",
                                           u"Reture Certificate Info"};
  return RunTextAdapter(kMethod, args, argCount, result, [this](AdapterCall& call, BSTR* pOut) {
    return m_objCryptoAgent.GetSignCertInfo(call.Text(0), pOut);
  });
}

bool CScriptablePluginObject::npSignMsgPKCS1(const NPVariant* args, std::uint32_t argCount,
                                             NPVariant* result) {
  static constexpr AdapterArg kArgs[] = {{u"SourceData", ArgKind::String, Shown::Length}, {u"Hash Algorithm"}};
  static constexpr ScriptMethod kMethod = {"CScriptablePluginObject::npSignMsgPKCS1",
                                           u"CScriptablePluginObject::npSignMsgPKCS1",
                                           kSource,
                                           kArgs,
                                           u"m_objCryptoAgent.SignMsgPKCS1",
                                           u"Reture Signature"};
  return RunTextAdapter(kMethod, args, argCount, result, [this](AdapterCall& call, BSTR* pOut) {
    return m_objCryptoAgent.SignMsgPKCS1(call.Text(0), call.Text(1), pOut);
  });
}

bool CScriptablePluginObject::npSignMsgPKCS7(const NPVariant* args, std::uint32_t argCount,
                                             NPVariant* result) {
  static constexpr AdapterArg kArgs[] = {
      {u"SourceData", ArgKind::String, Shown::Length}, {u"Hash Algorithm"}, {u"attach", ArgKind::Boolean}};
  static constexpr ScriptMethod kMethod = {"CScriptablePluginObject::npSignMsgPKCS7",
                                           u"CScriptablePluginObject::npSignMsgPKCS7",
                                           kSource,
                                           kArgs,
                                           u"m_objCryptoAgent.SignMsgPKCS7",
                                           u"Reture Signature"};
  return RunTextAdapter(kMethod, args, argCount, result, [this](AdapterCall& call, BSTR* pOut) {
    return m_objCryptoAgent.SignMsgPKCS7(call.Text(0), call.Text(1), call.Flag(2), pOut);
  });
}

bool CScriptablePluginObject::npSignMsgPKCS1_BySoftCert(const NPVariant* args,
                                                        std::uint32_t argCount, NPVariant* result) {
  static constexpr AdapterArg kArgs[] = {{u"SoftCertFileName"},
                                         {u"SoftCertPassword", ArgKind::String, Shown::Masked},
                                         {u"SoftCertType"},
                                         {u"SourceData", ArgKind::String, Shown::Length},
                                         {u"Hash Algorithm"}};
  static constexpr ScriptMethod kMethod = {"CScriptablePluginObject::npSignMsgPKCS1_BySoftCert",
                                           u"CScriptablePluginObject::npSignMsgPKCS1_BySoftCert",
                                           kSource,
                                           kArgs,
                                           u"m_objCryptoAgent.SignMsgPKCS1_BySoftCert",
                                           u"Reture Signature"};
  return RunTextAdapter(kMethod, args, argCount, result, [this](AdapterCall& call, BSTR* pOut) {
    return m_objCryptoAgent.SignMsgPKCS1_BySoftCert(call.Text(0), call.Text(1), call.Text(2),
                                                    call.Text(3), call.Text(4), pOut);
  });
}

bool CScriptablePluginObject::npSignMsgPKCS7_BySoftCert(const NPVariant* args,
                                                        std::uint32_t argCount, NPVariant* result) {
  static constexpr AdapterArg kArgs[] = {{u"SoftCertFileName"}, {u"SoftCertPassword", ArgKind::String, Shown::Masked},
                                         {u"SoftCertType"},     {u"SourceData", ArgKind::String, Shown::Length},
                                         {u"Hash Algorithm"},   {u"attach", ArgKind::Boolean}};
  static constexpr ScriptMethod kMethod = {"CScriptablePluginObject::npSignMsgPKCS7_BySoftCert",
                                           u"CScriptablePluginObject::npSignMsgPKCS7_BySoftCert",
                                           kSource,
                                           kArgs,
                                           u"m_objCryptoAgent.SignMsgPKCS7_BySoftCert",
                                           u"Reture Signature"};
  return RunTextAdapter(kMethod, args, argCount, result, [this](AdapterCall& call, BSTR* pOut) {
    return m_objCryptoAgent.SignMsgPKCS7_BySoftCert(call.Text(0), call.Text(1), call.Text(2),
                                                    call.Text(3), call.Text(4), call.Flag(5), pOut);
  });
}

bool CScriptablePluginObject::npVerifyMsgSignaturePKCS1(const NPVariant* args,
                                                        std::uint32_t argCount, NPVariant* result) {
  static constexpr AdapterArg kArgs[] = {
      {u"Signature", ArgKind::String, Shown::Length}, {u"SignatureType"}, {u"SourceMsg", ArgKind::String, Shown::Length}, {u"Hash Algorithm"}, {u"Base64Cert"}};
  static constexpr ScriptMethod kMethod = {"CScriptablePluginObject::npVerifyMsgSignaturePKCS1",
                                           u"CScriptablePluginObject::npVerifyMsgSignaturePKCS1",
                                           kSource,
                                           kArgs,
                                           u"m_objCryptoAgent.VerifyMsgSignaturePKCS1",
                                           nullptr};
  return RunBooleanAdapter(
      kMethod, args, argCount, result, [this](AdapterCall& call, VARIANT_BOOL* pOut) {
        return m_objCryptoAgent.VerifyMsgSignaturePKCS1(call.Text(0), call.Text(1), call.Text(2),
                                                        call.Text(3), call.Text(4), pOut);
      });
}

bool CScriptablePluginObject::npVerifyMsgSignaturePKCS7Attached(const NPVariant* args,
                                                                std::uint32_t argCount,
                                                                NPVariant* result) {
  static constexpr AdapterArg kArgs[] = {{u"Signature", ArgKind::String, Shown::Length}, {u"SignatureType"}};
  static constexpr ScriptMethod kMethod = {
      "CScriptablePluginObject::npVerifyMsgSignaturePKCS7Attached",
      u"CScriptablePluginObject::npVerifyMsgSignaturePKCS7Attached",
      kSource,
      kArgs,
      u"m_objCryptoAgent.VerifyMsgSignaturePKCS7Attached",
      nullptr};
  return RunBooleanAdapter(
      kMethod, args, argCount, result, [this](AdapterCall& call, VARIANT_BOOL* pOut) {
        return m_objCryptoAgent.VerifyMsgSignaturePKCS7Attached(call.Text(0), call.Text(1), pOut);
      });
}

bool CScriptablePluginObject::npVerifyMsgSignaturePKCS7Detached(const NPVariant* args,
                                                                std::uint32_t argCount,
                                                                NPVariant* result) {
  static constexpr AdapterArg kArgs[] = {{u"Signature", ArgKind::String, Shown::Length}, {u"SignatureType"}, {u"SourceMsg", ArgKind::String, Shown::Length}};
  static constexpr ScriptMethod kMethod = {
      "CScriptablePluginObject::npVerifyMsgSignaturePKCS7Detached",
      u"CScriptablePluginObject::npVerifyMsgSignaturePKCS7Detached",
      kSource,
      kArgs,
      u"m_objCryptoAgent.VerifyMsgSignaturePKCS7Detached",
      nullptr};
  return RunBooleanAdapter(kMethod, args, argCount, result,
                           [this](AdapterCall& call, VARIANT_BOOL* pOut) {
                             return m_objCryptoAgent.VerifyMsgSignaturePKCS7Detached(
                                 call.Text(0), call.Text(1), call.Text(2), pOut);
                           });
}
bool CScriptablePluginObject::npGetVersion(const NPVariant* args, std::uint32_t argCount,
                                           NPVariant* result) {
  static constexpr ScriptMethod kMethod = {"CScriptablePluginObject::npGetVersion",
                                           u"CScriptablePluginObject::npGetVersion",
                                           kSource,
                                           {},
                                           nullptr,
                                           nullptr};
  // The version is the module's own, not the agent's.
  AdapterCall call(kMethod, args, argCount);
  if (call.CheckArguments() && ReturnUTF8String("3.4.0.1", result)) return true;
  result->type = NPVariantType_Null;
  result->value = {};
  return false;
}

bool CScriptablePluginObject::npGetLastErrorDesc(const NPVariant* args, std::uint32_t argCount,
                                                 NPVariant* result) {
  static constexpr ScriptMethod kMethod = {"CScriptablePluginObject::npGetLastErrorDesc",
                                           u"CScriptablePluginObject::npGetLastErrorDesc",
                                           kSource,
                                           {},
                                           u"m_objCryptoAgent.GetLastErrorDesc",
                                           u"Last error Description."};
  return RunTextAdapter(kMethod, args, argCount, result, [this](AdapterCall&, BSTR* pOut) {
    return m_objCryptoAgent.GetLastErrorDesc(pOut);
  });
}
