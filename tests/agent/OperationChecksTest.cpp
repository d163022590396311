// The opening of every scripted operation: which argument or state each one
// refuses first, with which code, and what it leaves in its output.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "AgentTestSupport.h"
#include "agent/CryptoAgent.h"
#include "platform/base/Bstr.h"
#include "platform/etw/EventTrace.h"
#include "platform/base/WideString.h"
#include "resources/ResultCodes.h"
#include "support/TempEnvironment.h"
#include "trace/Trace.h"

namespace {

constexpr HRESULT kFileNotFound = MakeHResult(0x80070002u);

enum class Role {
  Text,          // required, any text
  Optional,      // not checked in the opening
  Input,         // required, an input path that must exist and pass the gate
  GatedInput,    // required, an input path that only passes the gate
  Output,        // required, an output path that passes the gate
  InfoType,      // required, one of the certificate information types
  EnvelopeType,  // required, "SM2" or "RSA"
};
enum class Side { None, Sign, Encrypt };
enum class Out { Text, TextMayStayNull, Bool };

using agenttest::FailureLines;
using Args = std::array<LPCWSTR, 5>;

WCHAR g_stale[] = u"stale";

struct Outputs {
  BSTR text = g_stale;  // must be cleared on entry
  VARIANT_BOOL flag = VARIANT_TRUE;
  ~Outputs() {
    if (text != g_stale) SysFreeString(text);
  }
};

struct Param {
  const char* name;
  Role role;
};

struct Operation {
  const char* name;
  Side side;
  Out out;
  std::vector<Param> params;
  HRESULT (*call)(CCryptoAgent&, const Args&, Outputs&);
};

// Sets the pointer members directly; they are dummies and must not be freed.
class TestAgent : public CCryptoAgent {
 public:
  ~TestAgent() {
    m_pSignCertContext = m_pEncryptCertContext = nullptr;
    m_pUnregisteredSignCertContext = m_pUnregisteredEncryptCertContext = nullptr;
  }
  void SelectStoreCert(Side side) {
    (side == Side::Sign ? m_pSignCertContext : m_pEncryptCertContext) = &m_cert;
  }
  void SelectUnregisteredCert(Side side) {
    (side == Side::Sign ? m_pUnregisteredSignCertContext : m_pUnregisteredEncryptCertContext) =
        &m_unregistered;
  }
  void SelectBoth() {
    SelectStoreCert(Side::Sign);
    SelectStoreCert(Side::Encrypt);
  }
  void SeedLastResult(HRESULT hr) { Finish(hr); }

 private:
  CERT_CONTEXT m_cert{};
  UNREGISTERED_CERT_CONTEXT m_unregistered{};
};

// clang-format off
const std::vector<Operation>& Operations() {
  constexpr Role T = Role::Text, O = Role::Optional, I = Role::Input, G = Role::GatedInput,
                 W = Role::Output, Info = Role::InfoType, Env = Role::EnvelopeType;
  using A = CCryptoAgent;
  static const std::vector<Operation> ops = {
    {"SelectCertificate", Side::None, Out::Bool,
     {{"bstrSubjectDNFilter", O}, {"bstrIssuerDNFilter", O}, {"bstrSNFilter", O}},
     [](A& a, const Args& v, Outputs& o) {
       return a.SelectCertificate(v[0], v[1], v[2], &o.flag); }},
    {"GetSignCertInfo", Side::Sign, Out::Text, {{"bstrInfoType", Info}},
     [](A& a, const Args& v, Outputs& o) { return a.GetSignCertInfo(v[0], &o.text); }},
    {"SignMsgPKCS1", Side::Sign, Out::Text, {{"bstrSourceData", T}, {"bstrHashAlg", O}},
     [](A& a, const Args& v, Outputs& o) { return a.SignMsgPKCS1(v[0], v[1], &o.text); }},
    {"SignMsgPKCS7", Side::Sign, Out::TextMayStayNull, {{"bstrSourceData", T}, {"bstrHashAlg", O}},
     [](A& a, const Args& v, Outputs& o) {
       return a.SignMsgPKCS7(v[0], v[1], VARIANT_TRUE, &o.text); }},
    {"SignMsgPKCS1_BySoftCert", Side::None, Out::Text,
     {{"bstrSoftCertFileName", G}, {"bstrSoftCertPassword", T}, {"bstrSoftCertType", T},
      {"bstrSourceData", T}, {"bstrHashAlg", O}},
     [](A& a, const Args& v, Outputs& o) {
       return a.SignMsgPKCS1_BySoftCert(v[0], v[1], v[2], v[3], v[4], &o.text); }},
    {"SignMsgPKCS7_BySoftCert", Side::None, Out::Text,
     {{"bstrSoftCertFileName", G}, {"bstrSoftCertPassword", T}, {"bstrSoftCertType", T},
      {"bstrSourceData", T}, {"bstrHashAlg", O}},
     [](A& a, const Args& v, Outputs& o) {
       return a.SignMsgPKCS7_BySoftCert(v[0], v[1], v[2], v[3], v[4], VARIANT_FALSE, &o.text); }},
    {"VerifyMsgSignaturePKCS1", Side::None, Out::Bool,
     {{"bstrSignature", T}, {"bstrSignatureType", T}, {"bstrSourceMsg", T}, {"bstrHashAlg", O},
      {"bstrBase64CertContent", T}},
     [](A& a, const Args& v, Outputs& o) {
       return a.VerifyMsgSignaturePKCS1(v[0], v[1], v[2], v[3], v[4], &o.flag); }},
    {"VerifyMsgSignaturePKCS7Attached", Side::None, Out::Bool,
     {{"bstrSignature", T}, {"bstrSignatureType", T}},
     [](A& a, const Args& v, Outputs& o) {
       return a.VerifyMsgSignaturePKCS7Attached(v[0], v[1], &o.flag); }},
    {"VerifyMsgSignaturePKCS7Detached", Side::None, Out::Bool,
     {{"bstrSignature", T}, {"bstrSignatureType", T}, {"bstrSourceMsg", T}},
     [](A& a, const Args& v, Outputs& o) {
       return a.VerifyMsgSignaturePKCS7Detached(v[0], v[1], v[2], &o.flag); }},
    {"SignFilePKCS1", Side::Sign, Out::Text, {{"bstrSourceFile", I}, {"bstrHashAlg", O}},
     [](A& a, const Args& v, Outputs& o) { return a.SignFilePKCS1(v[0], v[1], &o.text); }},
    {"SignFilePKCS7Detached", Side::Sign, Out::TextMayStayNull,
     {{"bstrSourceFile", I}, {"bstrHashAlg", O}},
     [](A& a, const Args& v, Outputs& o) { return a.SignFilePKCS7Detached(v[0], v[1], &o.text); }},
    {"SignFilePKCS1_BySoftCert", Side::None, Out::Text,
     {{"bstrSoftCertFileName", I}, {"bstrSoftCertPassword", T}, {"bstrSoftCertType", T},
      {"bstrSourceFile", I}, {"bstrHashAlg", O}},
     [](A& a, const Args& v, Outputs& o) {
       return a.SignFilePKCS1_BySoftCert(v[0], v[1], v[2], v[3], v[4], &o.text); }},
    {"SignFilePKCS7Detached_BySoftCert", Side::None, Out::Text,
     {{"bstrSoftCertFileName", I}, {"bstrSoftCertPassword", T}, {"bstrSoftCertType", T},
      {"bstrSourceFile", I}, {"bstrHashAlg", O}},
     [](A& a, const Args& v, Outputs& o) {
       return a.SignFilePKCS7Detached_BySoftCert(v[0], v[1], v[2], v[3], v[4], &o.text); }},
    // The path is looked at only after the signature is converted.
    {"VerifyFileSignaturePKCS1", Side::None, Out::Bool,
     {{"bstrSignature", T}, {"bstrSignatureType", T}, {"bstrSourceFile", T}, {"bstrHashAlg", O},
      {"bstrBase64CertContent", T}},
     [](A& a, const Args& v, Outputs& o) {
       return a.VerifyFileSignaturePKCS1(v[0], v[1], v[2], v[3], v[4], &o.flag); }},
    {"VerifyFileSignaturePKCS7Detached", Side::None, Out::Bool,
     {{"bstrSignature", T}, {"bstrSignatureType", T}, {"bstrSourceFile", I}},
     [](A& a, const Args& v, Outputs& o) {
       return a.VerifyFileSignaturePKCS7Detached(v[0], v[1], v[2], &o.flag); }},
    {"SelectEncryptCertificate", Side::None, Out::Text,
     {{"bstrSubjectDNFilter", O}, {"bstrIssuerDNFilter", O}, {"bstrSerialNumFilter", O}},
     [](A& a, const Args& v, Outputs& o) {
       return a.SelectEncryptCertificate(v[0], v[1], v[2], &o.text); }},
    {"GetEncryptCertInfo", Side::Encrypt, Out::Text, {{"bstrInfoType", Info}},
     [](A& a, const Args& v, Outputs& o) { return a.GetEncryptCertInfo(v[0], &o.text); }},
    {"EncryptMsgCMSEnvelopeEx", Side::Encrypt, Out::Text,
     {{"bstrMessage", T}, {"bstrEncryptAlg", O}},
     [](A& a, const Args& v, Outputs& o) {
       return a.EncryptMsgCMSEnvelopeEx(v[0], v[1], &o.text); }},
    {"EncryptMsgCMSEnvelopeEx_ByCert", Side::None, Out::Text,
     {{"bstrBase64CertContent", T}, {"bstrCertType", T}, {"bstrMessage", T}, {"bstrEncryptAlg", O}},
     [](A& a, const Args& v, Outputs& o) {
       return a.EncryptMsgCMSEnvelopeEx_ByCert(v[0], v[1], v[2], v[3], &o.text); }},
    {"DecryptMsgCMSEnvelopeEx", Side::None, Out::Text,
     {{"bstrEnvelope", T}, {"bstrEnvelopeType", T}},
     [](A& a, const Args& v, Outputs& o) {
       return a.DecryptMsgCMSEnvelopeEx(v[0], v[1], &o.text); }},
    {"DecryptMsgCMSEnvelopeEx_BySoftCert", Side::None, Out::Text,
     {{"bstrSoftCertFileName", G}, {"bstrSoftCertPassword", T}, {"bstrEnvelope", T},
      {"bstrEnvelopeType", T}},
     [](A& a, const Args& v, Outputs& o) {
       return a.DecryptMsgCMSEnvelopeEx_BySoftCert(v[0], v[1], v[2], v[3], &o.text); }},
    {"EncryptFileCMSEnvelopeEx", Side::Encrypt, Out::Bool,
     {{"bstrSourceFile", I}, {"bstrEncryptAlg", O}, {"bstrEncryptedFile", W}},
     [](A& a, const Args& v, Outputs& o) {
       return a.EncryptFileCMSEnvelopeEx(v[0], v[1], v[2], &o.flag); }},
    {"EncryptFileCMSEnvelopeEx_ByCert", Side::None, Out::Bool,
     {{"bstrBase64CertContent", T}, {"bstrCertType", T}, {"bstrSourceFile", I},
      {"bstrEncryptAlg", T}, {"bstrEncryptedFile", W}},
     [](A& a, const Args& v, Outputs& o) {
       return a.EncryptFileCMSEnvelopeEx_ByCert(v[0], v[1], v[2], v[3], v[4], &o.flag); }},
    {"DecryptFileCMSEnvelopeEx", Side::None, Out::Bool,
     {{"bstrEncryptedFile", G}, {"bstrEnvelopeType", Env}, {"bstrPlainTextFile", W}},
     [](A& a, const Args& v, Outputs& o) {
       return a.DecryptFileCMSEnvelopeEx(v[0], v[1], v[2], &o.flag); }},
    {"DecryptFileCMSEnvelopeEx_BySoftCert", Side::None, Out::Bool,
     {{"bstrSoftCertFileName", G}, {"bstrSoftCertPassword", T}, {"bstrEncryptedFile", G},
      {"bstrEnvelopeType", Env}, {"bstrPlainTextFile", W}},
     [](A& a, const Args& v, Outputs& o) {
       return a.DecryptFileCMSEnvelopeEx_BySoftCert(v[0], v[1], v[2], v[3], v[4], &o.flag); }},
  };
  return ops;
}
// clang-format on

std::u16string Wide(const std::filesystem::path& p) { return FromUtf8(p.string()); }

struct Paths {
  std::u16string input = Wide(testsupport::WriteTempFile("input.txt", "data"));
  std::u16string executable = Wide(testsupport::WriteTempFile("tool.exe", "MZ"));
  std::u16string missing = Wide(testsupport::TempRoot() / "missing.txt");
  std::u16string existing = Wide(testsupport::WriteTempFile("taken.p7", "x"));
  std::u16string freshOutput = Wide(testsupport::TempRoot() / "never-written.p7");
};

const Paths& TestPaths() {
  static const Paths paths;
  return paths;
}

class OperationChecks : public testing::TestWithParam<Operation> {
 protected:
  Args ValidArgs() const {
    Args args{};
    const auto& params = GetParam().params;
    for (std::size_t i = 0; i < params.size(); ++i) args[i] = ValidValue(params[i].role);
    return args;
  }
  static LPCWSTR ValidValue(Role role) {
    switch (role) {
      case Role::Text:
        return u"text";
      case Role::Optional:
        return u"SHA-256";
      case Role::Input:
      case Role::GatedInput:
        return TestPaths().input.c_str();
      case Role::Output:
        return TestPaths().freshOutput.c_str();
      case Role::InfoType:
        return u"certtype";
      case Role::EnvelopeType:
        return u"rsa";
    }
    return nullptr;
  }
  bool Required(std::size_t i) const { return GetParam().params[i].role != Role::Optional; }

  // Calls and checks what every path promises: the result recorded, the
  // boolean false, the text output an empty string unless the routine owns it.
  HRESULT Call(TestAgent& agent, const Args& args) {
    Outputs out;
    agent.SeedLastResult(S_FALSE);
    const HRESULT hr = GetParam().call(agent, args, out);
    EXPECT_EQ(agent.LastResult(), hr);
    EXPECT_EQ(out.flag, GetParam().out == Out::Bool ? VARIANT_FALSE : VARIANT_TRUE);
    if (GetParam().out == Out::Bool) {
      EXPECT_EQ(out.text, g_stale);
    } else if (GetParam().out == Out::TextMayStayNull) {
      EXPECT_EQ(out.text, nullptr);
    } else {
      const bool emptyString = out.text && out.text != g_stale && SysStringLen(out.text) == 0;
      EXPECT_TRUE(emptyString) << "text output is not a new empty string";
    }
    return hr;
  }
  HRESULT NoCertificateResult() const {
    return GetParam().side == Side::None ? E_NOTIMPL : SIGIL_E_CERT_NOT_READY;
  }
};

class CertificateChecks : public OperationChecks {};
class PathChecks : public OperationChecks {};
class TypeNameChecks : public OperationChecks {};

TEST_P(CertificateChecks, EitherMemberOfTheOwnPairCountsAsSelected) {
  const Side side = GetParam().side;
  const std::string name = side == Side::Sign ? "Sign" : "Encrypt";
  FailureLines lines;
  TestAgent bare;
  EXPECT_EQ(Call(bare, ValidArgs()), SIGIL_E_CERT_NOT_READY);
  EXPECT_NE(lines.Last().find("[Reason:NULL == m_p" + name +
                              "CertContext && NULL == m_pUnregistered" + name + "CertContext]"),
            std::string::npos)
      << lines.Last();
  TestAgent otherSide;
  otherSide.SelectStoreCert(side == Side::Sign ? Side::Encrypt : Side::Sign);
  EXPECT_EQ(Call(otherSide, ValidArgs()), SIGIL_E_CERT_NOT_READY);
}

TEST_P(OperationChecks, EachRequiredTextNullOrEmptyIsRefusedBeforeTheCertificate) {
  for (std::size_t i = 0; i < GetParam().params.size(); ++i) {
    for (LPCWSTR bad : {static_cast<LPCWSTR>(nullptr), u""}) {
      // Without a certificate to wait for, an optional text leads into the
      // work itself, which the route tests cover.
      if (!Required(i) && GetParam().side == Side::None) continue;
      SCOPED_TRACE(std::string(GetParam().params[i].name) + (bad ? " empty" : " null"));
      Args args = ValidArgs();
      args[i] = bad;
      TestAgent bare;
      EXPECT_EQ(Call(bare, args), Required(i) ? E_INVALIDARG : NoCertificateResult());
    }
  }
}

TEST_P(OperationChecks, TheFirstMissingTextIsTheOneReported) {
  const auto& params = GetParam().params;
  for (std::size_t i = 0; i < params.size(); ++i) {
    if (!Required(i)) continue;
    Args args = ValidArgs();
    for (std::size_t j = i; j < params.size(); ++j) args[j] = nullptr;
    FailureLines lines;
    TestAgent bare;
    EXPECT_EQ(Call(bare, args), E_INVALIDARG);
    const std::string name = params[i].name;
    EXPECT_NE(lines.Last().find("CCryptoAgent::" + std::string(GetParam().name) + " - "),
              std::string::npos);
    EXPECT_NE(lines.Last().find("[Reason:(NULL == " + name + " || 0 == wcslen(" + name + "))]"),
              std::string::npos)
        << lines.Last();
  }
}

// Each bad path is paired with later paths that are bad in another way, so
// the code tells which one was looked at first.
TEST_P(PathChecks, PathsPassTheGateInOrderAfterTheCertificate) {
  const auto& params = GetParam().params;
  const Paths& paths = TestPaths();
  for (std::size_t i = 0; i < params.size(); ++i) {
    const Role role = params[i].role;
    const bool input = role == Role::Input || role == Role::GatedInput;
    if (!input && role != Role::Output) continue;
    struct Bad {
      LPCWSTR path;
      HRESULT code;
    };
    const std::vector<Bad> cases =
        input ? std::vector<Bad>{{paths.missing.c_str(), kFileNotFound},
                                 {paths.executable.c_str(), SIGIL_E_MALICIOUS_PATH}}
              : std::vector<Bad>{{paths.existing.c_str(), SIGIL_E_ALREADY_EXISTS}};
    for (const Bad& bad : cases) {
      SCOPED_TRACE(params[i].name);
      Args args = ValidArgs();
      args[i] = bad.path;
      for (std::size_t j = 0; j < params.size(); ++j) {
        // The envelope type is looked at after every path.
        if (params[j].role == Role::EnvelopeType) args[j] = u"AES";
        if (j <= i) continue;
        if (params[j].role == Role::Input || params[j].role == Role::GatedInput)
          args[j] = bad.code == kFileNotFound ? paths.executable.c_str() : paths.missing.c_str();
        if (params[j].role == Role::Output) args[j] = paths.existing.c_str();
      }
      TestAgent bare;
      EXPECT_EQ(Call(bare, args),
                GetParam().side == Side::None ? bad.code : SIGIL_E_CERT_NOT_READY);
      FailureLines lines;
      TestAgent ready;
      ready.SelectBoth();
      EXPECT_EQ(Call(ready, args), bad.code);
      // A missing input is caught by the existence check where there is one.
      const char* step = role == Role::Input && bad.code == kFileNotFound
                             ? " - PathFileExists [Reason:bRetCode == FALSE]"
                             : " - IsMaliciousFilePathName [Reason:FAILED(hResult)]";
      EXPECT_NE(lines.Last().find(step), std::string::npos) << lines.Last();
    }
  }
}

TEST_P(TypeNameChecks, TypeNamesInTheOpeningAreCheckedWithoutRegardToCase) {
  const auto& params = GetParam().params;
  for (std::size_t i = 0; i < params.size(); ++i) {
    const Role role = params[i].role;
    if (role != Role::InfoType && role != Role::EnvelopeType) continue;
    for (LPCWSTR unknown : {u"Email", u"AES", u"SM2 "}) {
      Args args = ValidArgs();
      args[i] = unknown;
      TestAgent ready;
      ready.SelectBoth();
      EXPECT_EQ(Call(ready, args), E_INVALIDARG) << ToUtf8(unknown);
    }
  }
}

std::string OperationName(const testing::TestParamInfo<Operation>& info) { return info.param.name; }

template <typename Pred>
std::vector<Operation> OperationsWhere(Pred pred) {
  std::vector<Operation> chosen;
  for (const Operation& op : Operations())
    if (pred(op)) chosen.push_back(op);
  return chosen;
}

bool HasParam(const Operation& op, std::initializer_list<Role> roles) {
  for (const Param& p : op.params)
    for (Role r : roles)
      if (p.role == r) return true;
  return false;
}

INSTANTIATE_TEST_SUITE_P(AllSlots, OperationChecks, testing::ValuesIn(Operations()), OperationName);
INSTANTIATE_TEST_SUITE_P(NeedingACertificate, CertificateChecks,
                         testing::ValuesIn(OperationsWhere([](const Operation& op) {
                           return op.side != Side::None;
                         })),
                         OperationName);
INSTANTIATE_TEST_SUITE_P(WithPaths, PathChecks,
                         testing::ValuesIn(OperationsWhere([](const Operation& op) {
                           return HasParam(op, {Role::Input, Role::GatedInput, Role::Output});
                         })),
                         OperationName);
INSTANTIATE_TEST_SUITE_P(WithTypeNames, TypeNameChecks,
                         testing::ValuesIn(OperationsWhere([](const Operation& op) {
                           return HasParam(op, {Role::InfoType, Role::EnvelopeType});
                         })),
                         OperationName);

}  // namespace
