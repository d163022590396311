#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "agent/CryptoAgent.h"
#include "platform/base/Bstr.h"
#include "platform/base/WideString.h"
#include "support/TempEnvironment.h"

namespace {

using testsupport::ScopedEnv;

// Lets a test put any code where the last operation would have left it.
class AgentWithResult : public CCryptoAgent {
 public:
  void Set(HRESULT hResult) { Finish(hResult); }
};

std::u16string Describe(AgentWithResult& agent, HRESULT code) {
  agent.Set(code);
  BSTR desc = reinterpret_cast<BSTR>(1);
  EXPECT_EQ(agent.GetLastErrorDesc(&desc), S_OK);
  std::u16string text = desc ? std::u16string(desc) : u"<null>";
  SysFreeString(desc);
  EXPECT_EQ(agent.LastResult(), code);  // describing never changes the code
  return text;
}

class LastErrorDescription : public ::testing::Test {
 protected:
  void UseLanguage(const char* lang) { lang_.emplace("LANG", lang); }
  ScopedEnv language_{"LANGUAGE", nullptr};
  ScopedEnv lcAll_{"LC_ALL", nullptr};
  ScopedEnv lcMessages_{"LC_MESSAGES", nullptr};
  std::optional<ScopedEnv> lang_;
  AgentWithResult agent;
};

TEST_F(LastErrorDescription, FreshAgentDescribesSuccess) {
  UseLanguage("en_US.UTF-8");
  CCryptoAgent fresh;
  BSTR desc = nullptr;
  ASSERT_EQ(fresh.GetLastErrorDesc(&desc), S_OK);
  std::u16string text(desc);
  SysFreeString(desc);
  ASSERT_GT(text.size(), 13u);
  EXPECT_EQ(text.substr(text.size() - 13), u"\n(0x00000000)");
}

TEST_F(LastErrorDescription, OwnCodesComeFromTheStringTableInTheUsersLanguage) {
  UseLanguage("en_US.UTF-8");
  EXPECT_EQ(Describe(agent, MakeHResult(0xA0071006)),
            u"Malicious target path or file name.\n(0xa0071006)");
  EXPECT_EQ(Describe(agent, MakeHResult(0xA0072020)), u"Invalid hash algorithm.\n(0xa0072020)");
  UseLanguage("zh_CN.UTF-8");
  EXPECT_EQ(Describe(agent, MakeHResult(0xA0071006)), u"恶意的目标路径或文件名\n(0xa0071006)");
  UseLanguage("zh_TW.UTF-8");
  EXPECT_EQ(Describe(agent, MakeHResult(0xA0071006)), u"惡意的目標路徑或文件名\n(0xa0071006)");
}

TEST_F(LastErrorDescription, CodesWithoutTextGiveOnlyTheSuffix) {
  UseLanguage("en_US.UTF-8");
  EXPECT_EQ(Describe(agent, MakeHResult(0xA0071402)), u"\n(0xa0071402)");
  EXPECT_EQ(Describe(agent, MakeHResult(0x8123ABCD)), u"\n(0x8123abcd)");
}

TEST_F(LastErrorDescription, SystemCodesUseTheSystemText) {
  UseLanguage("en_US.UTF-8");
  std::u16string invalid = Describe(agent, E_INVALIDARG);
  ASSERT_GT(invalid.size(), 13u);
  EXPECT_EQ(invalid.substr(invalid.size() - 13), u"\n(0x80070057)");
  EXPECT_NE(Describe(agent, E_OUTOFMEMORY), Describe(agent, E_INVALIDARG));
}

TEST(CryptoAgent, GetVersionSlotGivesANullText) {
  CCryptoAgent agent;
  BSTR version = reinterpret_cast<BSTR>(1);
  EXPECT_EQ(agent.GetVersion(&version), S_OK);
  EXPECT_EQ(version, nullptr);
}

TEST(CryptoAgent, LastErrorsBecomeResultCodes) {
  struct Case {
    DWORD lastError;
    std::uint32_t expected;
  } cases[] = {
      {0x20001002u, 0xA0071002u},  // the dialog's Cancel
      {5u, 0x80070005u},
      {0x80090006u, 0x80090006u},  // already a result code
      {0u, 0u},
      {0x000100B7u, 0x800700B7u},  // only the low 16 bits survive
  };
  for (const Case& c : cases)
    EXPECT_EQ(static_cast<std::uint32_t>(ResultFromLastError(c.lastError)), c.expected)
        << std::hex << c.lastError;
}

}  // namespace

#include "platform/etw/EventTrace.h"
#include "trace/Trace.h"

namespace {

TEST(CryptoAgentTrace, PasswordsNeverReachATrace) {
  std::vector<std::string> recorded;
  TRACEHANDLE session = StartTraceSession([&](const TRACE_RECORD& record) {
    for (const std::string& arg : record.Arguments) recorded.push_back(arg);
  });
  ASSERT_EQ(EnableTrace(TRUE, 0xF, 5, &kTraceControlGuid, session), ERROR_SUCCESS);
  StartTracing();
  {
    CCryptoAgent agent;
    BSTR signature = nullptr;
    agent.SignMsgPKCS1_BySoftCert(u"/nonexistent/cert.sm2", u"hunter2", u"SM2", u"data", u"SHA-1",
                                  &signature);
    SysFreeString(signature);
  }
  StopTracing();
  StopTraceSession(session);

  const std::u16string password = u"hunter2";
  const std::string passwordBytes(reinterpret_cast<const char*>(password.data()),
                                  password.size() * sizeof(char16_t));
  bool sawData = false;
  for (const std::string& arg : recorded) {
    EXPECT_EQ(arg.find(passwordBytes), std::string::npos);
    sawData |= arg.find(std::string("S\0H\0A\0-\0""1\0", 10)) != std::string::npos;
  }
  EXPECT_TRUE(sawData);  // other inputs are still traced
}

}  // namespace

#include <openssl/evp.h>

namespace {

TEST(CryptoAgent, ConstructionMakesSm3FindableByName) {
  CCryptoAgent agent;
  EVP_MD* md = EVP_MD_fetch(nullptr, "tls1-sm3", "provider=npsigil");
  ASSERT_NE(md, nullptr);
  EXPECT_EQ(EVP_MD_get_size(md), 32);
  EVP_MD_free(md);
}

}  // namespace
