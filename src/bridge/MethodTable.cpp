#include "bridge/MethodTable.h"

#include <cstring>

#include "platform/base/Bstr.h"

namespace bridge {

namespace {

constexpr ArgKind kS = ArgKind::String;
constexpr ArgKind kB = ArgKind::Boolean;

constexpr MethodArg kSelectCertificate[] = {{kS, ArgRole::Text}, {kS, ArgRole::Text}, {kS, ArgRole::Text}};
constexpr MethodArg kGetSignCertInfo[] = {{kS, ArgRole::Text}};
constexpr MethodArg kSignMsgPKCS1[] = {{kS, ArgRole::Content}, {kS, ArgRole::Text}};
constexpr MethodArg kSignMsgPKCS7[] = {{kS, ArgRole::Content}, {kS, ArgRole::Text}, {kB, ArgRole::Text}};
constexpr MethodArg kSignMsgPKCS1_BySoftCert[] = {{kS, ArgRole::InputPath}, {kS, ArgRole::Password}, {kS, ArgRole::Text}, {kS, ArgRole::Content}, {kS, ArgRole::Text}};
constexpr MethodArg kSignMsgPKCS7_BySoftCert[] = {{kS, ArgRole::InputPath}, {kS, ArgRole::Password}, {kS, ArgRole::Text}, {kS, ArgRole::Content}, {kS, ArgRole::Text}, {kB, ArgRole::Text}};
constexpr MethodArg kVerifyMsgSignaturePKCS1[] = {{kS, ArgRole::Content}, {kS, ArgRole::Text}, {kS, ArgRole::Content}, {kS, ArgRole::Text}, {kS, ArgRole::Text}};
constexpr MethodArg kVerifyMsgSignaturePKCS7Attached[] = {{kS, ArgRole::Content}, {kS, ArgRole::Text}};
constexpr MethodArg kVerifyMsgSignaturePKCS7Detached[] = {{kS, ArgRole::Content}, {kS, ArgRole::Text}, {kS, ArgRole::Content}};
constexpr MethodArg kSignFilePKCS1[] = {{kS, ArgRole::InputPath}, {kS, ArgRole::Text}};
constexpr MethodArg kSignFilePKCS7Detached[] = {{kS, ArgRole::InputPath}, {kS, ArgRole::Text}};
constexpr MethodArg kSignFilePKCS1_BySoftCert[] = {{kS, ArgRole::InputPath}, {kS, ArgRole::Password}, {kS, ArgRole::Text}, {kS, ArgRole::InputPath}, {kS, ArgRole::Text}};
constexpr MethodArg kSignFilePKCS7Detached_BySoftCert[] = {{kS, ArgRole::InputPath}, {kS, ArgRole::Password}, {kS, ArgRole::Text}, {kS, ArgRole::InputPath}, {kS, ArgRole::Text}};
constexpr MethodArg kVerifyFileSignaturePKCS1[] = {{kS, ArgRole::Content}, {kS, ArgRole::Text}, {kS, ArgRole::InputPath}, {kS, ArgRole::Text}, {kS, ArgRole::Text}};
constexpr MethodArg kVerifyFileSignaturePKCS7Detached[] = {{kS, ArgRole::Content}, {kS, ArgRole::Text}, {kS, ArgRole::InputPath}};
constexpr MethodArg kSelectEncryptCertificate[] = {{kS, ArgRole::Text}, {kS, ArgRole::Text}, {kS, ArgRole::Text}};
constexpr MethodArg kGetEncryptCertInfo[] = {{kS, ArgRole::Text}};
constexpr MethodArg kEncryptMsgCMSEnvelopeEx[] = {{kS, ArgRole::Content}, {kS, ArgRole::Text}};
constexpr MethodArg kEncryptMsgCMSEnvelopeEx_ByCert[] = {{kS, ArgRole::Text}, {kS, ArgRole::Text}, {kS, ArgRole::Content}, {kS, ArgRole::Text}};
constexpr MethodArg kDecryptMsgCMSEnvelopeEx[] = {{kS, ArgRole::Content}, {kS, ArgRole::Text}};
constexpr MethodArg kDecryptMsgCMSEnvelopeEx_BySoftCert[] = {{kS, ArgRole::InputPath}, {kS, ArgRole::Password}, {kS, ArgRole::Content}, {kS, ArgRole::Text}};
constexpr MethodArg kEncryptFileCMSEnvelopeEx[] = {{kS, ArgRole::InputPath}, {kS, ArgRole::Text}, {kS, ArgRole::OutputPath}};
constexpr MethodArg kEncryptFileCMSEnvelopeEx_ByCert[] = {{kS, ArgRole::Text}, {kS, ArgRole::Text}, {kS, ArgRole::InputPath}, {kS, ArgRole::Text}, {kS, ArgRole::OutputPath}};
constexpr MethodArg kDecryptFileCMSEnvelopeEx[] = {{kS, ArgRole::InputPath}, {kS, ArgRole::Text}, {kS, ArgRole::OutputPath}};
constexpr MethodArg kDecryptFileCMSEnvelopeEx_BySoftCert[] = {{kS, ArgRole::InputPath}, {kS, ArgRole::Password}, {kS, ArgRole::InputPath}, {kS, ArgRole::Text}, {kS, ArgRole::OutputPath}};

HRESULT InvokeGetVersion(CCryptoAgent&, const AgentArg*, BSTR* pText, VARIANT_BOOL*) {
  // The version is the module's own, not the agent's (as the plug-in answers).
  const std::u16string version(ModuleVersion(), ModuleVersion() + std::strlen(ModuleVersion()));
  *pText = SysAllocString(version.c_str());
  return *pText ? S_OK : E_OUTOFMEMORY;
}

#define TEXT_ARG(i) args[i].text.c_str()
#define FLAG_ARG(i) args[i].flag

constexpr MethodInfo kMethods[] = {
    {"SelectCertificate", kSelectCertificate, ResultKind::Boolean,
     [](CCryptoAgent& agent, [[maybe_unused]] const AgentArg* args, [[maybe_unused]] BSTR* pText,
        [[maybe_unused]] VARIANT_BOOL* pFlag) -> HRESULT { return agent.SelectCertificate(TEXT_ARG(0), TEXT_ARG(1), TEXT_ARG(2), pFlag); }},
    {"GetSignCertInfo", kGetSignCertInfo, ResultKind::Text,
     [](CCryptoAgent& agent, [[maybe_unused]] const AgentArg* args, [[maybe_unused]] BSTR* pText,
        [[maybe_unused]] VARIANT_BOOL* pFlag) -> HRESULT { return agent.GetSignCertInfo(TEXT_ARG(0), pText); }},
    {"SignMsgPKCS1", kSignMsgPKCS1, ResultKind::Text,
     [](CCryptoAgent& agent, [[maybe_unused]] const AgentArg* args, [[maybe_unused]] BSTR* pText,
        [[maybe_unused]] VARIANT_BOOL* pFlag) -> HRESULT { return agent.SignMsgPKCS1(TEXT_ARG(0), TEXT_ARG(1), pText); }},
    {"SignMsgPKCS7", kSignMsgPKCS7, ResultKind::Text,
     [](CCryptoAgent& agent, [[maybe_unused]] const AgentArg* args, [[maybe_unused]] BSTR* pText,
        [[maybe_unused]] VARIANT_BOOL* pFlag) -> HRESULT { return agent.SignMsgPKCS7(TEXT_ARG(0), TEXT_ARG(1), FLAG_ARG(2), pText); }},
    {"SignMsgPKCS1_BySoftCert", kSignMsgPKCS1_BySoftCert, ResultKind::Text,
     [](CCryptoAgent& agent, [[maybe_unused]] const AgentArg* args, [[maybe_unused]] BSTR* pText,
        [[maybe_unused]] VARIANT_BOOL* pFlag) -> HRESULT { return agent.SignMsgPKCS1_BySoftCert(TEXT_ARG(0), TEXT_ARG(1), TEXT_ARG(2), TEXT_ARG(3), TEXT_ARG(4), pText); }},
    {"SignMsgPKCS7_BySoftCert", kSignMsgPKCS7_BySoftCert, ResultKind::Text,
     [](CCryptoAgent& agent, [[maybe_unused]] const AgentArg* args, [[maybe_unused]] BSTR* pText,
        [[maybe_unused]] VARIANT_BOOL* pFlag) -> HRESULT { return agent.SignMsgPKCS7_BySoftCert(TEXT_ARG(0), TEXT_ARG(1), TEXT_ARG(2), TEXT_ARG(3), TEXT_ARG(4), FLAG_ARG(5), pText); }},
    {"VerifyMsgSignaturePKCS1", kVerifyMsgSignaturePKCS1, ResultKind::Boolean,
     [](CCryptoAgent& agent, [[maybe_unused]] const AgentArg* args, [[maybe_unused]] BSTR* pText,
        [[maybe_unused]] VARIANT_BOOL* pFlag) -> HRESULT { return agent.VerifyMsgSignaturePKCS1(TEXT_ARG(0), TEXT_ARG(1), TEXT_ARG(2), TEXT_ARG(3), TEXT_ARG(4), pFlag); }},
    {"VerifyMsgSignaturePKCS7Attached", kVerifyMsgSignaturePKCS7Attached, ResultKind::Boolean,
     [](CCryptoAgent& agent, [[maybe_unused]] const AgentArg* args, [[maybe_unused]] BSTR* pText,
        [[maybe_unused]] VARIANT_BOOL* pFlag) -> HRESULT { return agent.VerifyMsgSignaturePKCS7Attached(TEXT_ARG(0), TEXT_ARG(1), pFlag); }},
    {"VerifyMsgSignaturePKCS7Detached", kVerifyMsgSignaturePKCS7Detached, ResultKind::Boolean,
     [](CCryptoAgent& agent, [[maybe_unused]] const AgentArg* args, [[maybe_unused]] BSTR* pText,
        [[maybe_unused]] VARIANT_BOOL* pFlag) -> HRESULT { return agent.VerifyMsgSignaturePKCS7Detached(TEXT_ARG(0), TEXT_ARG(1), TEXT_ARG(2), pFlag); }},
    {"SignFilePKCS1", kSignFilePKCS1, ResultKind::Text,
     [](CCryptoAgent& agent, [[maybe_unused]] const AgentArg* args, [[maybe_unused]] BSTR* pText,
        [[maybe_unused]] VARIANT_BOOL* pFlag) -> HRESULT { return agent.SignFilePKCS1(TEXT_ARG(0), TEXT_ARG(1), pText); }},
    {"SignFilePKCS7Detached", kSignFilePKCS7Detached, ResultKind::Text,
     [](CCryptoAgent& agent, [[maybe_unused]] const AgentArg* args, [[maybe_unused]] BSTR* pText,
        [[maybe_unused]] VARIANT_BOOL* pFlag) -> HRESULT { return agent.SignFilePKCS7Detached(TEXT_ARG(0), TEXT_ARG(1), pText); }},
    {"SignFilePKCS1_BySoftCert", kSignFilePKCS1_BySoftCert, ResultKind::Text,
     [](CCryptoAgent& agent, [[maybe_unused]] const AgentArg* args, [[maybe_unused]] BSTR* pText,
        [[maybe_unused]] VARIANT_BOOL* pFlag) -> HRESULT { return agent.SignFilePKCS1_BySoftCert(TEXT_ARG(0), TEXT_ARG(1), TEXT_ARG(2), TEXT_ARG(3), TEXT_ARG(4), pText); }},
    {"SignFilePKCS7Detached_BySoftCert", kSignFilePKCS7Detached_BySoftCert, ResultKind::Text,
     [](CCryptoAgent& agent, [[maybe_unused]] const AgentArg* args, [[maybe_unused]] BSTR* pText,
        [[maybe_unused]] VARIANT_BOOL* pFlag) -> HRESULT { return agent.SignFilePKCS7Detached_BySoftCert(TEXT_ARG(0), TEXT_ARG(1), TEXT_ARG(2), TEXT_ARG(3), TEXT_ARG(4), pText); }},
    {"VerifyFileSignaturePKCS1", kVerifyFileSignaturePKCS1, ResultKind::Boolean,
     [](CCryptoAgent& agent, [[maybe_unused]] const AgentArg* args, [[maybe_unused]] BSTR* pText,
        [[maybe_unused]] VARIANT_BOOL* pFlag) -> HRESULT { return agent.VerifyFileSignaturePKCS1(TEXT_ARG(0), TEXT_ARG(1), TEXT_ARG(2), TEXT_ARG(3), TEXT_ARG(4), pFlag); }},
    {"VerifyFileSignaturePKCS7Detached", kVerifyFileSignaturePKCS7Detached, ResultKind::Boolean,
     [](CCryptoAgent& agent, [[maybe_unused]] const AgentArg* args, [[maybe_unused]] BSTR* pText,
        [[maybe_unused]] VARIANT_BOOL* pFlag) -> HRESULT { return agent.VerifyFileSignaturePKCS7Detached(TEXT_ARG(0), TEXT_ARG(1), TEXT_ARG(2), pFlag); }},
    {"SelectEncryptCertificate", kSelectEncryptCertificate, ResultKind::Text,
     [](CCryptoAgent& agent, [[maybe_unused]] const AgentArg* args, [[maybe_unused]] BSTR* pText,
        [[maybe_unused]] VARIANT_BOOL* pFlag) -> HRESULT { return agent.SelectEncryptCertificate(TEXT_ARG(0), TEXT_ARG(1), TEXT_ARG(2), pText); }},
    {"GetEncryptCertInfo", kGetEncryptCertInfo, ResultKind::Text,
     [](CCryptoAgent& agent, [[maybe_unused]] const AgentArg* args, [[maybe_unused]] BSTR* pText,
        [[maybe_unused]] VARIANT_BOOL* pFlag) -> HRESULT { return agent.GetEncryptCertInfo(TEXT_ARG(0), pText); }},
    {"EncryptMsgCMSEnvelopeEx", kEncryptMsgCMSEnvelopeEx, ResultKind::Text,
     [](CCryptoAgent& agent, [[maybe_unused]] const AgentArg* args, [[maybe_unused]] BSTR* pText,
        [[maybe_unused]] VARIANT_BOOL* pFlag) -> HRESULT { return agent.EncryptMsgCMSEnvelopeEx(TEXT_ARG(0), TEXT_ARG(1), pText); }},
    {"EncryptMsgCMSEnvelopeEx_ByCert", kEncryptMsgCMSEnvelopeEx_ByCert, ResultKind::Text,
     [](CCryptoAgent& agent, [[maybe_unused]] const AgentArg* args, [[maybe_unused]] BSTR* pText,
        [[maybe_unused]] VARIANT_BOOL* pFlag) -> HRESULT { return agent.EncryptMsgCMSEnvelopeEx_ByCert(TEXT_ARG(0), TEXT_ARG(1), TEXT_ARG(2), TEXT_ARG(3), pText); }},
    {"DecryptMsgCMSEnvelopeEx", kDecryptMsgCMSEnvelopeEx, ResultKind::Text,
     [](CCryptoAgent& agent, [[maybe_unused]] const AgentArg* args, [[maybe_unused]] BSTR* pText,
        [[maybe_unused]] VARIANT_BOOL* pFlag) -> HRESULT { return agent.DecryptMsgCMSEnvelopeEx(TEXT_ARG(0), TEXT_ARG(1), pText); }},
    {"DecryptMsgCMSEnvelopeEx_BySoftCert", kDecryptMsgCMSEnvelopeEx_BySoftCert, ResultKind::Text,
     [](CCryptoAgent& agent, [[maybe_unused]] const AgentArg* args, [[maybe_unused]] BSTR* pText,
        [[maybe_unused]] VARIANT_BOOL* pFlag) -> HRESULT { return agent.DecryptMsgCMSEnvelopeEx_BySoftCert(TEXT_ARG(0), TEXT_ARG(1), TEXT_ARG(2), TEXT_ARG(3), pText); }},
    {"EncryptFileCMSEnvelopeEx", kEncryptFileCMSEnvelopeEx, ResultKind::Boolean,
     [](CCryptoAgent& agent, [[maybe_unused]] const AgentArg* args, [[maybe_unused]] BSTR* pText,
        [[maybe_unused]] VARIANT_BOOL* pFlag) -> HRESULT { return agent.EncryptFileCMSEnvelopeEx(TEXT_ARG(0), TEXT_ARG(1), TEXT_ARG(2), pFlag); }},
    {"EncryptFileCMSEnvelopeEx_ByCert", kEncryptFileCMSEnvelopeEx_ByCert, ResultKind::Boolean,
     [](CCryptoAgent& agent, [[maybe_unused]] const AgentArg* args, [[maybe_unused]] BSTR* pText,
        [[maybe_unused]] VARIANT_BOOL* pFlag) -> HRESULT { return agent.EncryptFileCMSEnvelopeEx_ByCert(TEXT_ARG(0), TEXT_ARG(1), TEXT_ARG(2), TEXT_ARG(3), TEXT_ARG(4), pFlag); }},
    {"DecryptFileCMSEnvelopeEx", kDecryptFileCMSEnvelopeEx, ResultKind::Boolean,
     [](CCryptoAgent& agent, [[maybe_unused]] const AgentArg* args, [[maybe_unused]] BSTR* pText,
        [[maybe_unused]] VARIANT_BOOL* pFlag) -> HRESULT { return agent.DecryptFileCMSEnvelopeEx(TEXT_ARG(0), TEXT_ARG(1), TEXT_ARG(2), pFlag); }},
    {"DecryptFileCMSEnvelopeEx_BySoftCert", kDecryptFileCMSEnvelopeEx_BySoftCert, ResultKind::Boolean,
     [](CCryptoAgent& agent, [[maybe_unused]] const AgentArg* args, [[maybe_unused]] BSTR* pText,
        [[maybe_unused]] VARIANT_BOOL* pFlag) -> HRESULT { return agent.DecryptFileCMSEnvelopeEx_BySoftCert(TEXT_ARG(0), TEXT_ARG(1), TEXT_ARG(2), TEXT_ARG(3), TEXT_ARG(4), pFlag); }},
    {"GetVersion", {}, ResultKind::Text, InvokeGetVersion},
    {"GetLastErrorDesc", {}, ResultKind::Text,
     [](CCryptoAgent& agent, [[maybe_unused]] const AgentArg* args, [[maybe_unused]] BSTR* pText,
        [[maybe_unused]] VARIANT_BOOL* pFlag) -> HRESULT { return agent.GetLastErrorDesc(pText); }},
};
static_assert(std::size(kMethods) == 27);

#undef TEXT_ARG
#undef FLAG_ARG

}  // namespace

std::span<const MethodInfo> Methods() { return kMethods; }

const MethodInfo* FindMethod(std::string_view name) {
  for (const MethodInfo& method : kMethods)
    if (name == method.name) return &method;
  return nullptr;
}

std::string Signature(const MethodInfo& method) {
  std::string text = method.name;
  text += '(';
  for (std::size_t i = 0; i < method.args.size(); ++i) {
    if (i) text += ", ";
    text += method.args[i].kind == ArgKind::Boolean ? "boolean" : "string";
  }
  text += ')';
  return text;
}

const char* ModuleVersion() { return NPSIGIL_BRIDGE_VERSION; }

}  // namespace bridge
