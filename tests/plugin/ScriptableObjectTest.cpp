#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "consent/SiteApprovals.h"
#include "platform/etw/EventTrace.h"
#include "trace/Trace.h"
#include "plugin/FakeBrowser.h"
#include "plugin/ScriptableObject.h"
#include "support/TempEnvironment.h"

namespace {

using testsupport::ScopedEnv;

// The pages of these tests come from a site the machine's policy allows,
// so that the calls reach the agent's own checks.
constexpr char kAllowedOrigin[] = "https://pages.example";

void AllowSite(const std::string& line) {
  const std::filesystem::path policy = consent::MachinePolicyPath();
  std::filesystem::create_directories(policy.parent_path());
  std::ofstream(policy) << line << "\n";
}

class ScriptableObject : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(browser.Load(), NPERR_NO_ERROR);
    FakeBrowser::SetPage("https:", kAllowedOrigin);
    AllowSite(kAllowedOrigin);
  }
  void TearDown() override { browser.Unload(); }

  CCryptoAgent& Agent(FakeInstance& instance) {
    return static_cast<CScriptablePluginObject*>(
               static_cast<CScriptablePluginObjectBase*>(instance.Object()))
        ->Agent();
  }
  std::string LastErrorDesc(FakeInstance& instance) {
    NPVariant result{};
    EXPECT_TRUE(instance.Call("GetLastErrorDesc", {}, &result));
    std::string text = FakeBrowser::Text(result);
    FakeBrowser::Release(result);
    return text;
  }

  ScopedEnv lang{"LANG", "en_US.UTF-8"};
  ScopedEnv language{"LANGUAGE", nullptr};
  ScopedEnv lcAll{"LC_ALL", nullptr};
  ScopedEnv lcMessages{"LC_MESSAGES", nullptr};
  FakeBrowser browser;
};

TEST_F(ScriptableObject, KnowsExactlyItsMethodNames) {
  FakeInstance instance(browser);
  NPObject* obj = instance.Object();
  for (const char* name : {"SelectCertificate", "SignMsgPKCS7",
                           "DecryptFileCMSEnvelopeEx_BySoftCert", "GetVersion", "GetLastErrorDesc"})
    EXPECT_TRUE(obj->_class->hasMethod(obj, browser.Id(name))) << name;
  for (const char* name : {"signMsgPKCS7", "SIGNMSGPKCS7", "GetVersion ", "Sign", ""})
    EXPECT_FALSE(obj->_class->hasMethod(obj, browser.Id(name))) << name;
  EXPECT_FALSE(obj->_class->hasMethod(obj, browser.Funcs().getintidentifier(3)));
}

TEST_F(ScriptableObject, UnknownMethodLeavesTheResultAlone) {
  FakeInstance instance(browser);
  NPVariant result = FakeBrowser::Int(42);
  EXPECT_FALSE(instance.Call("signMsgPKCS7", {}, &result));
  EXPECT_EQ(result.type, NPVariantType_Int32);
  EXPECT_EQ(result.value.intValue, 42);
}

TEST_F(ScriptableObject, HasNoProperties) {
  FakeInstance instance(browser);
  NPObject* obj = instance.Object();
  NPVariant value = FakeBrowser::Int(7);
  EXPECT_FALSE(obj->_class->hasProperty(obj, browser.Id("GetVersion")));
  EXPECT_FALSE(obj->_class->getProperty(obj, browser.Id("GetVersion"), &value));
  EXPECT_FALSE(obj->_class->setProperty(obj, browser.Id("x"), &value));
  EXPECT_FALSE(obj->_class->removeProperty(obj, browser.Id("x")));
  EXPECT_EQ(value.value.intValue, 7);
}

TEST_F(ScriptableObject, CallingTheObjectReturnsTheDefaultText) {
  FakeInstance instance(browser);
  NPObject* obj = instance.Object();
  NPVariant args[] = {FakeBrowser::Int(1), FakeBrowser::Str("x")};
  NPVariant result{};
  ASSERT_TRUE(obj->_class->invokeDefault(obj, args, 2, &result));
  EXPECT_EQ(result.value.stringValue.UTF8Length, 25u);
  EXPECT_EQ(FakeBrowser::Text(result), "default method return val");
  FakeBrowser::Release(result);
}

TEST_F(ScriptableObject, VersionComesFromTheAdapter) {
  FakeInstance instance(browser);
  NPVariant result{};
  ASSERT_TRUE(instance.Call("GetVersion", {}, &result));
  EXPECT_EQ(FakeBrowser::Text(result), "3.4.0.1");
  FakeBrowser::Release(result);

  result = FakeBrowser::Int(1);
  EXPECT_FALSE(instance.Call("GetVersion", {FakeBrowser::Str("x")}, &result));
  EXPECT_EQ(result.type, NPVariantType_Null);
}

TEST_F(ScriptableObject, LastErrorDescriptionFollowsTheAgent) {
  FakeInstance instance(browser);
  std::string fresh = LastErrorDesc(instance);
  EXPECT_GT(fresh.size(), std::string("\n(0x00000000)").size());
  EXPECT_EQ(fresh.substr(fresh.size() - 13), "\n(0x00000000)");

  NPVariant result = FakeBrowser::Int(1);
  EXPECT_FALSE(
      instance.Call("SignMsgPKCS1", {FakeBrowser::Str(""), FakeBrowser::Str("SHA-1")}, &result));
  EXPECT_EQ(result.type, NPVariantType_Null);
  EXPECT_EQ(Agent(instance).LastResult(), E_INVALIDARG);
  std::string invalid = LastErrorDesc(instance);
  EXPECT_EQ(invalid.substr(invalid.size() - 13), "\n(0x80070057)");
  EXPECT_EQ(LastErrorDesc(instance), invalid);  // reading it changes nothing
}

TEST_F(ScriptableObject, ArgumentMismatchNeverReachesTheAgent) {
  FakeInstance instance(browser);
  NPVariant result{};
  EXPECT_FALSE(
      instance.Call("SignMsgPKCS1", {FakeBrowser::Str(""), FakeBrowser::Str("SHA-1")}, &result));
  ASSERT_EQ(Agent(instance).LastResult(), E_INVALIDARG);

  struct Case {
    const char* method;
    std::vector<NPVariant> args;
  };
  const Case cases[] = {
      {"SignMsgPKCS7",
       {FakeBrowser::Str("d"), FakeBrowser::Str("SHA-1"), FakeBrowser::Str("true")}},
      {"SignMsgPKCS7", {FakeBrowser::Str("d"), FakeBrowser::Str("SHA-1")}},
      {"SignMsgPKCS1", {FakeBrowser::Str("d"), FakeBrowser::Str("SHA-1"), FakeBrowser::Str("x")}},
      {"SignMsgPKCS1", {FakeBrowser::Str("d"), FakeBrowser::Int(1)}},
      {"SelectCertificate", {FakeBrowser::Str(""), FakeBrowser::Str("")}},
      {"GetLastErrorDesc", {FakeBrowser::Str("")}},
  };
  for (const Case& c : cases) {
    result = FakeBrowser::Int(5);
    EXPECT_FALSE(instance.Call(c.method, c.args, &result)) << c.method;
    EXPECT_EQ(Agent(instance).LastResult(), E_INVALIDARG) << c.method;
  }
}

TEST_F(ScriptableObject, BooleanMethodsAlwaysAnswerABoolean) {
  FakeInstance instance(browser);
  NPVariant result = FakeBrowser::Int(5);
  EXPECT_FALSE(instance.Call("VerifyMsgSignaturePKCS7Attached", {FakeBrowser::Str("x")}, &result));
  EXPECT_EQ(result.type, NPVariantType_Bool);
  EXPECT_FALSE(result.value.boolValue);

  result = FakeBrowser::Int(5);
  EXPECT_FALSE(instance.Call("VerifyMsgSignaturePKCS7Attached",
                             {FakeBrowser::Str(""), FakeBrowser::Str("SM2")}, &result));
  EXPECT_EQ(result.type, NPVariantType_Bool);
  EXPECT_FALSE(result.value.boolValue);
  EXPECT_EQ(Agent(instance).LastResult(), E_INVALIDARG);
}

TEST_F(ScriptableObject, TwoInstancesKeepTheirOwnLastError) {
  FakeInstance first(browser);
  FakeInstance second(browser);
  NPVariant result{};
  EXPECT_FALSE(
      first.Call("SignMsgPKCS1", {FakeBrowser::Str(""), FakeBrowser::Str("SHA-1")}, &result));
  EXPECT_EQ(Agent(first).LastResult(), E_INVALIDARG);
  EXPECT_EQ(Agent(second).LastResult(), S_OK);
  EXPECT_NE(first.Object(), second.Object());
}

TEST_F(ScriptableObject, StringsAreCutAtAnEmbeddedNul) {
  FakeInstance instance(browser);
  // "\0abc" reaches the agent as an empty text, which it refuses.
  NPVariant data{};
  data.type = NPVariantType_String;
  data.value.stringValue = {"\0abc", 4};
  NPVariant result{};
  EXPECT_FALSE(instance.Call("SignMsgPKCS1", {data, FakeBrowser::Str("SHA-1")}, &result));
  EXPECT_EQ(Agent(instance).LastResult(), E_INVALIDARG);
}

TEST_F(ScriptableObject, StringResultsLeaveNoAllocationBehind) {
  long before = FakeBrowser::LiveAllocations();
  {
    FakeInstance instance(browser);
    for (int i = 0; i < 3; ++i) {
      NPVariant result{};
      ASSERT_TRUE(instance.Call("GetLastErrorDesc", {}, &result));
      FakeBrowser::Release(result);
      EXPECT_FALSE(instance.Call("GetSignCertInfo", {FakeBrowser::Str("SubjectDN")}, &result));
      FakeBrowser::Release(result);
    }
  }
  EXPECT_EQ(FakeBrowser::LiveAllocations(), before);
}

TEST_F(ScriptableObject, WorksForThePageThatEmbedsIt) {
  ScopedEnv prompt{"NPSIGIL_CONSENT_DIALOG", "/nonexistent/prompt"};
  struct Case {
    const char* protocol;
    const char* origin;
    bool allowed;
  };
  // The machine lists the allowed site; the others cannot be asked (no
  // prompt program), so they are refused.
  const Case cases[] = {{"https:", kAllowedOrigin, true},
                        {"https:", "https://elsewhere.example", false},
                        {"file:", "null", false},
                        {"", "", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.origin);
    FakeBrowser::SetPage(c.protocol, c.origin);
    FakeInstance instance(browser);
    NPVariant result{};
    EXPECT_FALSE(
        instance.Call("SignMsgPKCS1", {FakeBrowser::Str(""), FakeBrowser::Str("SHA-1")}, &result));
    EXPECT_EQ(Agent(instance).LastResult(), c.allowed ? E_INVALIDARG : E_ACCESSDENIED);
    if (!c.allowed) {
      EXPECT_EQ(LastErrorDesc(instance),
                "This site is not allowed to use your certificates.\n(0x80070005)");
    }
    // Pure work on the page's own data needs nobody's consent.
    result = FakeBrowser::Int(5);
    EXPECT_FALSE(instance.Call("VerifyMsgSignaturePKCS7Attached",
                               {FakeBrowser::Str(""), FakeBrowser::Str("SM2")}, &result));
    EXPECT_EQ(Agent(instance).LastResult(), E_INVALIDARG);
    EXPECT_EQ(FakeBrowser::LivePageObjects(), 0);
  }
}

TEST_F(ScriptableObject, FilePagesAreOneOrigin) {
  AllowSite("file://");
  FakeBrowser::SetPage("file:", "null");
  FakeInstance instance(browser);
  NPVariant result{};
  EXPECT_FALSE(
      instance.Call("SignMsgPKCS1", {FakeBrowser::Str(""), FakeBrowser::Str("SHA-1")}, &result));
  EXPECT_EQ(Agent(instance).LastResult(), E_INVALIDARG);
  ASSERT_NE(Agent(instance).Site(), nullptr);
}

// Every record's arguments in both text widths, while the object lives.
class AllTraceText {
 public:
  AllTraceText() {
    m_session = StartTraceSession([this](const TRACE_RECORD& r) {
      for (const std::string& bytes : r.Arguments) m_text += bytes + "\n";
    });
    // The module started tracing when it was loaded; this session joins in.
    EnableTrace(TRUE, 0xF, 5, &kTraceControlGuid, m_session);
  }
  ~AllTraceText() { StopTraceSession(m_session); }
  // True when the text appears as UTF-8 or as UTF-16.
  bool Contains(const std::string& text) const {
    std::string wide;
    for (char c : text) wide += std::string{c, '\0'};
    return m_text.find(text) != std::string::npos || m_text.find(wide) != std::string::npos;
  }

 private:
  TRACEHANDLE m_session = 0;
  std::string m_text;
};

TEST_F(ScriptableObject, PasswordsAndContentsStayOutOfTraces) {
  AllTraceText trace;
  FakeInstance instance(browser);
  NPVariant result{};
  EXPECT_FALSE(instance.Call("SignMsgPKCS7_BySoftCert",
                             {FakeBrowser::Str("/nonexistent/key.sm2"),
                              FakeBrowser::Str("password-canary-91"), FakeBrowser::Str("SM2"),
                              FakeBrowser::Str("content-canary-17"), FakeBrowser::Str("SM3"),
                              FakeBrowser::Bool(true)},
                             &result));
  EXPECT_FALSE(instance.Call("VerifyMsgSignaturePKCS7Detached",
                             {FakeBrowser::Str("signature-canary-33"), FakeBrowser::Str("SM2"),
                              FakeBrowser::Str("content-canary-17")},
                             &result));
  EXPECT_TRUE(trace.Contains("/nonexistent/key.sm2"));  // the trace did record the calls
  EXPECT_FALSE(trace.Contains("password-canary-91"));
  EXPECT_FALSE(trace.Contains("content-canary-17"));
  EXPECT_FALSE(trace.Contains("signature-canary-33"));
}

}  // namespace
