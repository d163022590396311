// Script adapters of this unit: each one names its arguments and the agent
// operation it reaches; the shared pattern lives in AdapterSupport.
#include "plugin/AdapterSupport.h"
#include "plugin/ScriptableObject.h"

using namespace plugin;

namespace {
constexpr LPCWSTR kSource = u"npFileSigning";
}  // namespace

bool CScriptablePluginObject::npSignFilePKCS1(const NPVariant* args, std::uint32_t argCount,
                                              NPVariant* result) {
  static constexpr AdapterArg kArgs[] = {{u"SourceFile"}, {u"Hash Algorithm"}};
  static constexpr ScriptMethod kMethod = {"CScriptablePluginObject::npSignFilePKCS1",
                                           u"CScriptablePluginObject::npSignFilePKCS1",
                                           kSource,
                                           kArgs,
                                           u"m_objCryptoAgent.SignFilePKCS1",
                                           u"Reture Signature"};
  return RunTextAdapter(kMethod, args, argCount, result, [this](AdapterCall& call, BSTR* pOut) {
    return m_objCryptoAgent.SignFilePKCS1(call.Text(0), call.Text(1), pOut);
  });
}

bool CScriptablePluginObject::npSignFilePKCS7Detached(const NPVariant* args, std::uint32_t argCount,
                                                      NPVariant* result) {
  static constexpr AdapterArg kArgs[] = {{u"SourceFile"}, {u"Hash Algorithm"}};
  static constexpr ScriptMethod kMethod = {"CScriptablePluginObject::npSignFilePKCS7Detached",
                                           u"CScriptablePluginObject::npSignFilePKCS7Detached",
                                           kSource,
                                           kArgs,
                                           u"m_objCryptoAgent.SignFilePKCS7Detached",
                                           u"Reture Signature"};
  return RunTextAdapter(kMethod, args, argCount, result, [this](AdapterCall& call, BSTR* pOut) {
    return m_objCryptoAgent.SignFilePKCS7Detached(call.Text(0), call.Text(1), pOut);
  });
}

bool CScriptablePluginObject::npSignFilePKCS1_BySoftCert(const NPVariant* args,
                                                         std::uint32_t argCount,
                                                         NPVariant* result) {
  static constexpr AdapterArg kArgs[] = {{u"SoftCertFileName"},
                                         {u"SoftCertPassword", ArgKind::String, Shown::Masked},
                                         {u"SoftCertType"},
                                         {u"SourceFile"},
                                         {u"Hash Algorithm"}};
  static constexpr ScriptMethod kMethod = {"CScriptablePluginObject::npSignFilePKCS1_BySoftCert",
                                           u"CScriptablePluginObject::npSignFilePKCS1_BySoftCert",
                                           kSource,
                                           kArgs,
                                           u"m_objCryptoAgent.SignFilePKCS1_BySoftCert",
                                           u"Reture Signature"};
  return RunTextAdapter(kMethod, args, argCount, result, [this](AdapterCall& call, BSTR* pOut) {
    return m_objCryptoAgent.SignFilePKCS1_BySoftCert(call.Text(0), call.Text(1), call.Text(2),
                                                     call.Text(3), call.Text(4), pOut);
  });
}

bool CScriptablePluginObject::npSignFilePKCS7Detached_BySoftCert(const NPVariant* args,
                                                                 std::uint32_t argCount,
                                                                 NPVariant* result) {
  static constexpr AdapterArg kArgs[] = {{u"SoftCertFileName"},
                                         {u"SoftCertPassword", ArgKind::String, Shown::Masked},
                                         {u"SoftCertType"},
                                         {u"SourceFile"},
                                         {u"Hash Algorithm"}};
  static constexpr ScriptMethod kMethod = {
      "CScriptablePluginObject::npSignFilePKCS7Detached_BySoftCert",
      u"CScriptablePluginObject::npSignFilePKCS7Detached_BySoftCert",
      kSource,
      kArgs,
      u"m_objCryptoAgent.SignFilePKCS7Detached_BySoftCert",
      u"Reture Signature"};
  return RunTextAdapter(kMethod, args, argCount, result, [this](AdapterCall& call, BSTR* pOut) {
    return m_objCryptoAgent.SignFilePKCS7Detached_BySoftCert(
        call.Text(0), call.Text(1), call.Text(2), call.Text(3), call.Text(4), pOut);
  });
}

bool CScriptablePluginObject::npVerifyFileSignaturePKCS1(const NPVariant* args,
                                                         std::uint32_t argCount,
                                                         NPVariant* result) {
  static constexpr AdapterArg kArgs[] = {{u"Signature", ArgKind::String, Shown::Length},
                                         {u"SignatureType"},
                                         {u"SourceFile"},
                                         {u"Hash Algorithm"},
                                         {u"Base64CertContent"}};
  static constexpr ScriptMethod kMethod = {"CScriptablePluginObject::npVerifyFileSignaturePKCS1",
                                           u"CScriptablePluginObject::npVerifyFileSignaturePKCS1",
                                           kSource,
                                           kArgs,
                                           u"m_objCryptoAgent.VerifyFileSignaturePKCS1",
                                           nullptr};
  return RunBooleanAdapter(
      kMethod, args, argCount, result, [this](AdapterCall& call, VARIANT_BOOL* pOut) {
        return m_objCryptoAgent.VerifyFileSignaturePKCS1(call.Text(0), call.Text(1), call.Text(2),
                                                         call.Text(3), call.Text(4), pOut);
      });
}

bool CScriptablePluginObject::npVerifyFileSignaturePKCS7Detached(const NPVariant* args,
                                                                 std::uint32_t argCount,
                                                                 NPVariant* result) {
  static constexpr AdapterArg kArgs[] = {{u"Signature", ArgKind::String, Shown::Length}, {u"SignatureType"}, {u"SourceFile"}};
  static constexpr ScriptMethod kMethod = {
      "CScriptablePluginObject::npVerifyFileSignaturePKCS7Detached",
      u"CScriptablePluginObject::npVerifyFileSignaturePKCS7Detached",
      kSource,
      kArgs,
      u"m_objCryptoAgent.VerifyFileSignaturePKCS7Detached",
      nullptr};
  return RunBooleanAdapter(kMethod, args, argCount, result,
                           [this](AdapterCall& call, VARIANT_BOOL* pOut) {
                             return m_objCryptoAgent.VerifyFileSignaturePKCS7Detached(
                                 call.Text(0), call.Text(1), call.Text(2), pOut);
                           });
}
