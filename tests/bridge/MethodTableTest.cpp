// The bridge's method table held to the plug-in's adapters: the same names
// in the same order, and, by driving the plug-in's scriptable object, the
// same argument counts and kinds (a call the adapter accepts reaches the
// agent, one it refuses leaves the agent's last result alone) and the same
// kind of answer. The argument roles are checked against the adapters'
// labels: paths are what the file checks guard, passwords and contents what
// the traces hide.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "bridge/MethodTable.h"
#include "plugin/FakeBrowser.h"
#include "plugin/ScriptableObject.h"

namespace {

using bridge::ArgKind;
using bridge::ArgRole;

// The plug-in's dispatch order (ScriptableObject.cpp).
const std::vector<std::string> kPluginOrder = {
    "SelectCertificate", "GetSignCertInfo", "SignMsgPKCS1", "SignMsgPKCS7",
    "SignMsgPKCS1_BySoftCert", "SignMsgPKCS7_BySoftCert", "VerifyMsgSignaturePKCS1",
    "VerifyMsgSignaturePKCS7Attached", "VerifyMsgSignaturePKCS7Detached", "SignFilePKCS1",
    "SignFilePKCS7Detached", "SignFilePKCS1_BySoftCert", "SignFilePKCS7Detached_BySoftCert",
    "VerifyFileSignaturePKCS1", "VerifyFileSignaturePKCS7Detached", "SelectEncryptCertificate",
    "GetEncryptCertInfo", "EncryptMsgCMSEnvelopeEx", "EncryptMsgCMSEnvelopeEx_ByCert",
    "DecryptMsgCMSEnvelopeEx", "DecryptMsgCMSEnvelopeEx_BySoftCert", "EncryptFileCMSEnvelopeEx",
    "EncryptFileCMSEnvelopeEx_ByCert", "DecryptFileCMSEnvelopeEx",
    "DecryptFileCMSEnvelopeEx_BySoftCert", "GetVersion", "GetLastErrorDesc"};

// Each argument as the adapters label it: T text, P password (masked), C
// content (shown by length), I a file read, O a file written, B boolean.
const std::map<std::string, std::string> kRoles = {
    {"SelectCertificate", "TTT"},
    {"GetSignCertInfo", "T"},
    {"SignMsgPKCS1", "CT"},
    {"SignMsgPKCS7", "CTB"},
    {"SignMsgPKCS1_BySoftCert", "IPTCT"},
    {"SignMsgPKCS7_BySoftCert", "IPTCTB"},
    {"VerifyMsgSignaturePKCS1", "CTCTT"},
    {"VerifyMsgSignaturePKCS7Attached", "CT"},
    {"VerifyMsgSignaturePKCS7Detached", "CTC"},
    {"SignFilePKCS1", "IT"},
    {"SignFilePKCS7Detached", "IT"},
    {"SignFilePKCS1_BySoftCert", "IPTIT"},
    {"SignFilePKCS7Detached_BySoftCert", "IPTIT"},
    {"VerifyFileSignaturePKCS1", "CTITT"},
    {"VerifyFileSignaturePKCS7Detached", "CTI"},
    {"SelectEncryptCertificate", "TTT"},
    {"GetEncryptCertInfo", "T"},
    {"EncryptMsgCMSEnvelopeEx", "CT"},
    {"EncryptMsgCMSEnvelopeEx_ByCert", "TTCT"},
    {"DecryptMsgCMSEnvelopeEx", "CT"},
    {"DecryptMsgCMSEnvelopeEx_BySoftCert", "IPCT"},
    {"EncryptFileCMSEnvelopeEx", "ITO"},
    {"EncryptFileCMSEnvelopeEx_ByCert", "TTITO"},
    {"DecryptFileCMSEnvelopeEx", "ITO"},
    {"DecryptFileCMSEnvelopeEx_BySoftCert", "IPITO"},
    {"GetVersion", ""},
    {"GetLastErrorDesc", ""},
};

char Letter(const bridge::MethodArg& arg) {
  if (arg.kind == ArgKind::Boolean) return 'B';
  switch (arg.role) {
    case ArgRole::Password: return 'P';
    case ArgRole::Content: return 'C';
    case ArgRole::InputPath: return 'I';
    case ArgRole::OutputPath: return 'O';
    case ArgRole::Text: return 'T';
  }
  return '?';
}

TEST(MethodTable, NamesInThePluginsOrder) {
  std::vector<std::string> names;
  for (const auto& method : bridge::Methods()) names.emplace_back(method.name);
  EXPECT_EQ(names, kPluginOrder);
  for (const std::string& name : kPluginOrder) {
    ASSERT_NE(bridge::FindMethod(name), nullptr) << name;
    EXPECT_EQ(std::string(bridge::FindMethod(name)->name), name);
  }
  EXPECT_EQ(bridge::FindMethod("getversion"), nullptr);  // case matters, as in the plug-in
  EXPECT_EQ(bridge::FindMethod("chooseFile"), nullptr);  // the bridge's own, not the plug-in's
}

TEST(MethodTable, RolesFollowTheAdaptersLabels) {
  for (const auto& method : bridge::Methods()) {
    std::string letters;
    for (const auto& arg : method.args) letters += Letter(arg);
    EXPECT_EQ(letters, kRoles.at(method.name)) << method.name;
  }
}

class PluginParity : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(browser.Load(), NPERR_NO_ERROR);
    // No page to learn an origin from: the agent refuses everything but
    // pure work at once, so no call here asks anybody or touches a file.
    FakeBrowser::SetPage("", "");
  }
  void TearDown() override { browser.Unload(); }

  static NPVariant Value(char letter) {
    return letter == 'B' ? FakeBrowser::Bool(true) : FakeBrowser::Str("/nonexistent/x");
  }
  static NPVariant Other(char letter) {
    return letter == 'B' ? FakeBrowser::Str("true") : FakeBrowser::Bool(true);
  }

  // Calls on a fresh object whose agent holds a marker result; true when the
  // call reached the agent (the marker is gone). *type is the answer's type.
  bool ReachesTheAgent(const std::string& method, const std::vector<NPVariant>& args,
                       NPVariantType* type = nullptr) {
    FakeInstance instance(browser);
    CCryptoAgent& agent = static_cast<CScriptablePluginObject*>(
                              static_cast<CScriptablePluginObjectBase*>(instance.Object()))
                              ->Agent();
    agent.RecordRefusal(kMarker);
    NPVariant result = FakeBrowser::Int(7);
    instance.Call(method, args, &result);
    if (type) *type = result.type;
    FakeBrowser::Release(result);
    return agent.LastResult() != kMarker;
  }

  static constexpr HRESULT kMarker = static_cast<HRESULT>(0x8000FFFFu);
  FakeBrowser browser;
};

TEST_F(PluginParity, ArgumentCountsAndKindsAreTheAdapters) {
  for (const auto& method : bridge::Methods()) {
    const std::string name = method.name;
    if (name == "GetVersion" || name == "GetLastErrorDesc") continue;  // no agent step to see
    SCOPED_TRACE(name);
    std::string letters;
    for (const auto& arg : method.args) letters += Letter(arg);
    std::vector<NPVariant> args;
    for (char letter : letters) args.push_back(Value(letter));

    NPVariantType type = NPVariantType_Void;
    EXPECT_TRUE(ReachesTheAgent(name, args, &type)) << "the adapter refused the bridge's arguments";
    // A boolean method answers a boolean even when the agent fails; a text
    // method answers null then.
    EXPECT_EQ(type == NPVariantType_Bool, method.result == bridge::ResultKind::Boolean);

    std::vector<NPVariant> more = args;
    more.push_back(FakeBrowser::Str("extra"));
    EXPECT_FALSE(ReachesTheAgent(name, more)) << "the adapter takes more arguments";
    std::vector<NPVariant> fewer(args.begin(), args.end() - 1);
    EXPECT_FALSE(ReachesTheAgent(name, fewer)) << "the adapter takes fewer arguments";
    for (std::size_t i = 0; i < args.size(); ++i) {
      std::vector<NPVariant> swapped = args;
      swapped[i] = Other(letters[i]);
      EXPECT_FALSE(ReachesTheAgent(name, swapped)) << "argument " << i << " has another kind";
    }
  }
}

TEST_F(PluginParity, VersionIsThePluginsAnswer) {
  FakeInstance instance(browser);
  NPVariant result{};
  ASSERT_TRUE(instance.Call("GetVersion", {}, &result));
  EXPECT_EQ(FakeBrowser::Text(result), bridge::ModuleVersion());
  FakeBrowser::Release(result);
  EXPECT_FALSE(instance.Call("GetVersion", {FakeBrowser::Str("")}, &result));
  EXPECT_FALSE(instance.Call("GetLastErrorDesc", {FakeBrowser::Str("")}, &result));
  EXPECT_TRUE(bridge::FindMethod("GetVersion")->args.empty());
  EXPECT_TRUE(bridge::FindMethod("GetLastErrorDesc")->args.empty());
}

}  // namespace
