// The host over pipes, as a browser drives it: hello first, one agent per
// session, calls of a session in order and sessions side by side, failures
// with the agent's own description, the limits, closing mid-call, the end
// of input, and what a session's user chose staying in that session.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "HostHarness.h"
#include "agent/AgentTestSupport.h"
#include "bridge/CallTimings.h"
#include "bridge/Framing.h"
#include "consent/FolderGrants.h"
#include "consent/SiteApprovals.h"
#include "support/TempEnvironment.h"

namespace {

using bridgetest::Args;
using bridgetest::HostUnderTest;
using bridgetest::Json;
using bridgetest::StandInServices;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr char kSite[] = "https://pages.example";
constexpr char kStranger[] = "https://stranger.example";

// The machine's policy lets kSite use keys and files without a prompt and
// refuses every other site, so no test waits for a prompt.
void AllowOnlyTheSite() {
  const fs::path policy = consent::MachinePolicyPath();
  fs::create_directories(policy.parent_path());
  std::ofstream(policy) << "only-listed\n" << kSite << "\n";
}

class Host : public ::testing::Test {
 protected:
  void SetUp() override {
    AllowOnlyTheSite();
    host = std::make_unique<HostUnderTest>(services);
    const Json hello = host->Next();
    ASSERT_EQ(hello, Json::parse(R"({"type":"hello","protocol":1,"version":"3.4.0.1"})"));
  }
  void TearDown() override {
    services.Release();
    host.reset();
  }

  Json Ask(bridge::Number session, bridge::Number id, const std::string& method, Json args) {
    host->Call(session, id, method, std::move(args));
    return host->Result(session, id);
  }
  std::string LastErrorDesc(bridge::Number session, bridge::Number id) {
    const Json answer = Ask(session, id, "GetLastErrorDesc", Args({}));
    EXPECT_EQ(answer.value("ok", false), true) << answer;
    return answer.value("value", "");
  }

  StandInServices services;
  std::unique_ptr<HostUnderTest> host;
};

void ExpectFailure(const Json& answer, const std::string& reason, std::uint32_t code) {
  EXPECT_EQ(answer.value("type", ""), "result") << answer;
  EXPECT_EQ(answer.value("ok", true), false) << answer;
  EXPECT_EQ(answer.value("reason", ""), reason) << answer;
  EXPECT_EQ(answer.value("code", 0u), code) << answer;
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08x", code);
  EXPECT_EQ(answer.value("hex", ""), hex) << answer;
  EXPECT_FALSE(answer.value("message", "").empty()) << answer;
}

TEST_F(Host, VersionAndLastErrorOfAFreshSession) {
  host->Open(1, kSite);
  const Json version = Ask(1, 1, "GetVersion", Args({}));
  EXPECT_EQ(version, Json::parse(R"({"type":"result","session":1,"id":1,"ok":true,"value":"3.4.0.1","chunksSeen":0})"));
  const std::string desc = LastErrorDesc(1, 2);
  EXPECT_EQ(desc.substr(desc.size() - 13), "\n(0x00000000)");
}

TEST_F(Host, FailureCarriesTheAgentsDescriptionTakenRightAfter) {
  host->Open(1, kSite);
  // Pure work on data the page brings: no consent needed, fails on garbage.
  const Json failed = Ask(1, 1, "VerifyMsgSignaturePKCS7Attached", Args({"not a signature", "PKCS7"}));
  ASSERT_EQ(failed.value("ok", true), false) << failed;
  EXPECT_EQ(failed.value("reason", ""), "failed");
  const std::string desc = LastErrorDesc(1, 2);
  EXPECT_EQ(failed.value("message", ""), desc);
  char suffix[20];
  std::snprintf(suffix, sizeof suffix, "\n(0x%08x)", failed.value("code", 0u));
  EXPECT_NE(desc.find(suffix), std::string::npos) << desc;
}

TEST_F(Host, ArgumentMismatchLeavesTheLastErrorAlone) {
  host->Open(1, kSite);
  const Json failed = Ask(1, 1, "VerifyMsgSignaturePKCS7Attached", Args({"x", "PKCS7"}));
  const std::string before = LastErrorDesc(1, 2);
  struct Case {
    const char* method;
    Json args;
  };
  const Case cases[] = {
      {"SignMsgPKCS7", Args({"d", "SM3"})},                    // one short
      {"SignMsgPKCS7", Args({"d", "SM3", true, "extra"})},     // one over
      {"SignMsgPKCS7", Args({"d", "SM3", "true"})},            // string for boolean
      {"SignMsgPKCS7", Args({"d", 1, true})},                  // number for string
      {"SignMsgPKCS7", Args({nullptr, "SM3", true})},          // null for string
      {"SignMsgPKCS7", Args({Json::array(), "SM3", true})},    // array for string
      {"GetVersion", Args({""})},
      {"GetLastErrorDesc", Args({false})},
      {"SelectCertificate", Args({"", ""})},
  };
  bridge::Number id = 10;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method);
    const Json answer = Ask(1, id++, c.method, c.args);
    ExpectFailure(answer, "arguments", 0x80070057u);
    EXPECT_NE(answer.value("message", "").find(c.method), std::string::npos) << answer;
  }
  EXPECT_EQ(LastErrorDesc(1, 3), before);
}

TEST_F(Host, MalformedFramesAreAnsweredAndServingGoesOn) {
  host->Open(1, kSite);
  host->SendRaw(bridge::EncodeFrame("{not json"));
  Json error = host->Next();
  EXPECT_EQ(error.value("type", ""), "error") << error;
  EXPECT_EQ(error.value("reason", ""), "protocol");

  host->SendRaw(bridge::EncodeFrame("{\"type\":\"call\",\"session\":1,\"id\":2,\"method\":\"GetVersion\",\"args\":[\"\xFF\"]}"));
  error = host->Next();
  EXPECT_EQ(error.value("reason", ""), "protocol") << error;
  host->SendRaw(bridge::EncodeFrame(R"({"type":"call","session":1,"id":3,"method":"GetVersion","args":["\udbff"]})"));
  error = host->Next();
  EXPECT_EQ(error.value("reason", ""), "protocol") << error;

  // Readable session and id: a failed result for that call.
  host->SendRaw(bridge::EncodeFrame(R"({"type":"call","session":1,"id":4,"method":"GetVersion","args":"none"})"));
  ExpectFailure(host->Result(1, 4), "protocol", 0x80070057u);
  ExpectFailure(Ask(1, 5, "NoSuchMethod", Args({})), "protocol", 0x80070057u);
  ExpectFailure(Ask(1, 6, "getversion", Args({})), "protocol", 0x80070057u);
  ExpectFailure(Ask(99, 7, "GetVersion", Args({})), "protocol", 0x80070057u);  // never opened

  EXPECT_EQ(Ask(1, 8, "GetVersion", Args({})).value("value", ""), "3.4.0.1");
}

TEST_F(Host, OverLongFrameIsRefusedAndTheNextOneServed) {
  host->Open(1, kSite);
  std::string bytes(4, '\0');
  const std::uint32_t length = (32u << 20) + 1;
  std::memcpy(bytes.data(), &length, 4);
  std::thread writer([&] {
    host->SendRaw(bytes + std::string(length, 'x'));
    host->Call(1, 1, "GetVersion", Args({}));
  });
  const Json error = host->Next(120s);
  EXPECT_EQ(error.value("type", ""), "error") << error;
  EXPECT_EQ(error.value("reason", ""), "too-large");
  writer.join();
  EXPECT_EQ(host->Result(1, 1).value("value", ""), "3.4.0.1");

  // Just under the limit is a request like any other.
  const std::string big(30u << 20, 'a');
  std::thread bigWriter([&] { host->Call(1, 2, "VerifyMsgSignaturePKCS7Attached", Args({big, "PKCS7"})); });
  const Json answer = host->Result(1, 2, 240s);
  bigWriter.join();
  EXPECT_EQ(answer.value("ok", true), false);
  EXPECT_NE(answer.value("reason", ""), "too-large");
}

TEST_F(Host, RefusedOriginsGetAnAnswerForEveryCall) {
  const std::string tooLong = "https://" + std::string(250, 'a') + ".example";
  struct Case {
    bridge::Number session;
    std::string origin, top;
  };
  const Case cases[] = {
      {1, "http://pages.example", ""},
      {2, kSite, "http://pages.example"},  // the top page is not secure
      {3, tooLong, ""},
      {4, "https://pages.example/path", ""},
      {5, "file://", ""},
      {6, "null", ""},
      {7, "http://192.168.1.1", ""},
      {8, "chrome-extension://paojbdpmojlneibjgjlcnepdkkedbhcm", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.origin + " in " + c.top);
    host->Open(c.session, c.origin, c.top.empty() ? c.origin : c.top);
    ExpectFailure(Ask(c.session, 1, "GetVersion", Args({})), "origin-refused", 0x80070005u);
    ExpectFailure(Ask(c.session, 2, "SelectCertificate", Args({"", "", ""})), "origin-refused",
                  0x80070005u);
  }
  for (const char* local : {"http://localhost:8080", "http://127.0.0.1", "http://[::1]:3000"}) {
    SCOPED_TRACE(local);
    host->Open(100, local);
    EXPECT_EQ(Ask(100, 1, "GetVersion", Args({})).value("ok", false), true);
    host->Close(100);
  }
}

TEST_F(Host, SiteTheUserRefusedHearsConsentDenied) {
  host->Open(1, kStranger);
  const Json answer = Ask(1, 1, "SelectCertificate", Args({"", "", "1001"}));
  ExpectFailure(answer, "consent-denied", 0x80070005u);
  EXPECT_EQ(answer.value("message", "").rfind("This site is not allowed to use your certificates.", 0), 0u)
      << answer;
  EXPECT_EQ(LastErrorDesc(1, 2), answer.value("message", ""));
}

TEST_F(Host, CallsOfASessionRunInOrderWhileSessionsRunSideBySide) {
  host->Open(1, kSite);
  host->Open(2, kSite);
  services.Hold();
  services.Answer("/nonexistent/chosen.txt");
  host->Call(1, 1, "chooseFile", Args({}));
  ASSERT_TRUE(services.WaitForCalls(1));
  // Session 1 is busy in the chooser; its next calls wait behind it...
  for (int id = 2; id <= 6; ++id) host->Call(1, id, "GetVersion", Args({}));
  // ...while session 2 is answered at once.
  EXPECT_EQ(Ask(2, 1, "GetVersion", Args({})).value("value", ""), "3.4.0.1");
  for (const Json& frame : host->Pending()) EXPECT_NE(frame.value("session", 0), 1) << frame;

  services.Release();
  std::vector<bridge::Number> order;
  for (int n = 0; n < 6; ++n) {
    const Json frame = host->Next();
    ASSERT_FALSE(frame.is_null());
    EXPECT_EQ(frame.value("session", 0), 1);
    order.push_back(frame.value("id", 0));
  }
  EXPECT_EQ(order, (std::vector<bridge::Number>{1, 2, 3, 4, 5, 6}));
}

TEST_F(Host, QueueAndSessionLimitsAnswerBusy) {
  host->Open(1, kSite);
  services.Hold();
  host->Call(1, 1, "chooseFile", Args({}));
  ASSERT_TRUE(services.WaitForCalls(1));
  for (int id = 2; id <= 30; ++id) host->Call(1, id, "GetVersion", Args({}));
  int busy = 0;
  std::vector<Json> early;
  for (int n = 0; n < 13; ++n) {  // at least 29 - 16 busy answers come at once
    const Json frame = host->Next(5s);
    ASSERT_FALSE(frame.is_null());
    ExpectFailure(frame, "busy", 0x800700AAu);
    ++busy;
  }
  services.Release();
  int served = 0;
  for (Json frame; !(frame = host->Next(2s)).is_null();) {
    if (frame.value("ok", false))
      ++served;
    else
      ++busy;
  }
  // Sixteen calls a session, the running one counted or not.
  EXPECT_GE(served, 1 + 15);
  EXPECT_LE(served, 1 + 16);
  EXPECT_EQ(served + busy, 30);

  // 256 sessions; the next one is refused, and so are its calls.
  for (int s = 2; s <= 256; ++s) host->Open(s, kSite);
  EXPECT_EQ(Ask(256, 1, "GetVersion", Args({})).value("ok", false), true);
  host->Open(257, kSite);
  const Json refused = host->Next();
  EXPECT_EQ(refused.value("reason", ""), "busy") << refused;
  EXPECT_EQ(refused.value("session", 0), 257) << refused;
  // A refused session was never opened: its calls name no session.
  ExpectFailure(Ask(257, 1, "GetVersion", Args({})), "protocol", 0x80070057u);
  // Closing one makes room.
  host->Close(2);
  host->Open(258, kSite);
  EXPECT_EQ(Ask(258, 1, "GetVersion", Args({})).value("ok", false), true);
}

TEST_F(Host, ClosingMidCallDropsItsAnswerAndTheQueue) {
  host->Open(1, kSite);
  host->Open(2, kSite);
  services.Hold();
  services.Answer("/tmp/whatever");
  host->Call(1, 1, "chooseFile", Args({}));
  ASSERT_TRUE(services.WaitForCalls(1));
  host->Call(1, 2, "GetVersion", Args({}));
  host->Close(1);
  EXPECT_EQ(Ask(2, 1, "GetVersion", Args({})).value("ok", false), true);
  services.Release();
  EXPECT_EQ(Ask(2, 2, "GetVersion", Args({})).value("ok", false), true);
  std::this_thread::sleep_for(200ms);
  for (const Json& frame : host->Pending()) ADD_FAILURE() << "answer after close: " << frame;
  // The number may be opened again, as a new session.
  host->Open(1, kSite);
  const std::string desc = LastErrorDesc(1, 3);
  EXPECT_EQ(desc.substr(desc.size() - 13), "\n(0x00000000)");
}

TEST_F(Host, EndOfInputReturnsPromptlyEvenWithACallRunning) {
  host->Open(1, kSite);
  services.Hold();
  host->Call(1, 1, "chooseFile", Args({}));
  ASSERT_TRUE(services.WaitForCalls(1));
  bool finished = false;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(host->EndInput(5s, &finished));
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_TRUE(finished);
  EXPECT_LT(seconds, 3.5);  // waits for the running call about 2 s, no longer
  EXPECT_GT(seconds, 1.0);
  // The worker, still in the chooser, ends once it returns; nothing is sent.
  services.Release();
  std::this_thread::sleep_for(300ms);
  EXPECT_TRUE(host->Pending().empty());
}

TEST_F(Host, EndOfInputWithNothingRunningReturnsAtOnce) {
  host->Open(1, kSite);
  EXPECT_EQ(Ask(1, 1, "GetVersion", Args({})).value("ok", false), true);
  bool finished = false;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(host->EndInput(5s, &finished));
  EXPECT_TRUE(finished);
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 1.0);
}

TEST_F(Host, ChooserCancelledAndChosen) {
  host->Open(1, kSite);
  services.Answer("");
  ExpectFailure(Ask(1, 1, "chooseFile", Args({})), "cancelled", 0x800704C7u);
  ExpectFailure(Ask(1, 2, "chooseFile", Args({"x"})), "arguments", 0x80070057u);
  const fs::path folder = fs::path(testsupport::MakeTempDir("chosen"));
  services.Answer((folder / "a.txt").string());
  const Json chosen = Ask(1, 3, "chooseFile", Args({}));
  EXPECT_EQ(chosen.value("ok", false), true) << chosen;
  EXPECT_EQ(chosen.value("value", ""), fs::weakly_canonical(folder / "a.txt").string());
}

}  // namespace

// The benchmark's record of agent times says which method ran and how long,
// never what it was given.
TEST_F(Host, CallTimingsNameTheMethodAndNothingOfItsArguments) {
  const fs::path file = fs::path(std::getenv("HOME")) / "timings";
  setenv(bridge::kCallTimingsVariable, file.c_str(), 1);
  host->Open(1, kSite);
  EXPECT_EQ(Ask(1, 1, "GetVersion", Args({})).value("ok", false), true);
  Ask(1, 2, "VerifyMsgSignaturePKCS7Attached", Args({"c2VjcmV0LXBheWxvYWQ=", "RSA"}));
  unsetenv(bridge::kCallTimingsVariable);
  std::ifstream in(file);
  std::string method, rest;
  long micros = -1;
  ASSERT_TRUE(in >> method >> micros);
  EXPECT_EQ(method, "GetVersion");
  EXPECT_GE(micros, 0);
  ASSERT_TRUE(in >> method >> micros);
  EXPECT_EQ(method, "VerifyMsgSignaturePKCS7Attached");
  EXPECT_FALSE(in >> rest) << rest;
  EXPECT_EQ(fs::status(file).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
}

// The options page's view of what the user allowed, and its two buttons.
TEST_F(Host, TheOptionsPageListsRevokesAndUngrants) {
  consent::Origin shop;
  ASSERT_TRUE(consent::ParseOrigin("https://shop.example", &shop));
  ASSERT_EQ(consent::RememberSite(shop, consent::kKeys), S_OK);
  const fs::path folder = fs::path(std::getenv("HOME")) / "granted";
  fs::create_directories(folder);
  ASSERT_EQ(consent::GrantFolder(shop, folder.string()), S_OK);

  host->Send({{"type", "manage"}, {"id", 1}, {"action", "list"}});
  Json listed = host->Next();
  ASSERT_EQ(listed.value("type", ""), "managed") << listed;
  ASSERT_TRUE(listed.value("ok", false)) << listed;
  const Json& value = listed["value"];
  EXPECT_EQ(value.value("version", ""), "3.4.0.1");
  bool shopListed = false;
  for (const Json& site : value["sites"])
    shopListed |= site.value("origin", "") == "https://shop.example" && site.value("keys", false) &&
                  !site.value("files", true) && !site.value("machine", true);
  EXPECT_TRUE(shopListed) << value;
  // The machine policy of the fixture is listed too, marked as such.
  bool machine = false;
  for (const Json& site : value["sites"]) machine |= site.value("machine", false);
  EXPECT_TRUE(machine) << value;
  ASSERT_EQ(value["grants"].size(), 1u) << value;
  EXPECT_EQ(value["grants"][0].value("folder", ""), fs::canonical(folder).string());

  host->Send({{"type", "manage"}, {"id", 2}, {"action", "ungrant"}, {"origin", "https://shop.example"},
              {"folder", folder.string()}});
  EXPECT_EQ(host->Next(), Json::parse(R"({"type":"managed","id":2,"ok":true,"value":true})"));
  EXPECT_FALSE(consent::IsInsideGrantedFolder(shop, (fs::canonical(folder) / "a").string()));
  host->Send({{"type", "manage"}, {"id", 3}, {"action", "revoke"}, {"origin", "https://shop.example"}});
  EXPECT_EQ(host->Next(), Json::parse(R"({"type":"managed","id":3,"ok":true,"value":true})"));
  std::vector<consent::SiteEntry> left;
  ASSERT_EQ(consent::ListSites(&left, nullptr), S_OK);
  for (const consent::SiteEntry& site : left) EXPECT_NE(site.origin, "https://shop.example");
  // Nothing left to revoke; a garbled origin or action is refused.
  host->Send({{"type", "manage"}, {"id", 4}, {"action", "revoke"}, {"origin", "https://shop.example"}});
  EXPECT_EQ(host->Next().value("value", true), false);
  host->Send({{"type", "manage"}, {"id", 5}, {"action", "revoke"}, {"origin", "shop"}});
  EXPECT_EQ(host->Next().value("ok", true), false);
  host->Send({{"type", "manage"}, {"id", 6}, {"action", "format-disk"}});
  EXPECT_EQ(host->Next().value("ok", true), false);
}
