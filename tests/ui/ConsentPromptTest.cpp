// The consent prompt as the agent runs it, with small shell scripts in the
// helper program's place. Whatever a stand-in does short of a clean,
// well-formed allow must come back as a refusal, and quickly.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/TempEnvironment.h"
#include "ui/ConsentProtocol.h"
#include "ui/HelperProcess.h"

namespace ui {
namespace {

namespace fs = std::filesystem;
using testsupport::ScopedEnv;
using Clock = std::chrono::steady_clock;

// Far below the prompt's own deadline: a stand-in that is not done by then
// has hung, and the test would otherwise wait minutes to tell.
constexpr auto kQuick = std::chrono::seconds(5);

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

ConsentRequest SecureRequest() {
  ConsentRequest request;
  request.language = 0x0409;
  request.origin = "https://xn--bcher-kva.example";
  request.secure = true;
  request.asksKeys = true;
  request.method = "SignMsgPKCS7";
  return request;
}

class ConsentPromptTest : public ::testing::Test {
 protected:
  void SetUp() override { m_folder = testsupport::MakeTempDir("consent"); }

  void TearDown() override {
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "a helper was left unreaped";
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    EXPECT_FALSE(sigismember(&pending, SIGPIPE));
  }

  // A stand-in that keeps the request in request.txt, then runs `body`.
  fs::path StandIn(const std::string& body, bool readsRequest = true) {
    const fs::path script = m_folder / ("helper-" + std::to_string(++m_scripts));
    std::ofstream out(script);
    out << "#!/bin/sh\n";
    if (readsRequest) out << "cat > '" << RequestFile().string() << "'\n";
    out << body << "\n";
    out.close();
    chmod(script.c_str(), 0700);
    return script;
  }
  fs::path RequestFile() const { return m_folder / "request.txt"; }

  // Runs the prompt against `program` and checks that it ended quickly.
  ConsentResponse Run(const fs::path& program, const ConsentRequest& request,
                      const std::string& what) {
    ScopedEnv helper(kConsentDialogPathVariable, program.c_str());
    const auto start = Clock::now();
    ConsentResponse response = RunConsentPrompt(request);
    EXPECT_LT(Clock::now() - start, kQuick) << what;
    return response;
  }

  ScopedEnv m_display{"DISPLAY", ":77"};
  fs::path m_folder;
  int m_scripts = 0;
};

TEST_F(ConsentPromptTest, AFolderComesBackOnlyWhereThePromptOffersOne) {
  ConsentRequest request = SecureRequest();
  request.asksFiles = true;
  const std::string answer = "printf 'allow-once\\nfolder /srv/contracts\\n'";
  ConsentResponse response = Run(StandIn(answer), request, "files, secure");
  EXPECT_EQ(response.answer, ConsentAnswer::kAllowOnce);
  EXPECT_EQ(response.folder, "/srv/contracts");

  request.secure = false;
  response = Run(StandIn(answer), request, "files, not secure");
  EXPECT_EQ(response.answer, ConsentAnswer::kAllowOnce);
  EXPECT_TRUE(response.folder.empty());

  response = Run(StandIn(answer), SecureRequest(), "keys only");
  EXPECT_EQ(response.answer, ConsentAnswer::kAllowOnce);
  EXPECT_TRUE(response.folder.empty());

  // A folder with a deny, or from a helper that then crashes, is nothing.
  request.secure = true;
  response = Run(StandIn("printf 'deny\\nfolder /srv/contracts\\n'"), request, "deny");
  EXPECT_EQ(response.answer, ConsentAnswer::kDeny);
  EXPECT_TRUE(response.folder.empty());
  response = Run(StandIn(answer + "; kill -9 $$"), request, "crash");
  EXPECT_EQ(response.answer, ConsentAnswer::kDeny);
  EXPECT_TRUE(response.folder.empty());
}

TEST_F(ConsentPromptTest, TheHelperGetsTheRequestAndItsAnswerCounts) {
  const ConsentRequest request = SecureRequest();
  ConsentResponse response = Run(StandIn("printf 'allow-once\\n'"), request, "allow-once");
  EXPECT_EQ(response.answer, ConsentAnswer::kAllowOnce);
  EXPECT_EQ(response.failure, S_OK);
  EXPECT_EQ(ReadFile(RequestFile()), EncodeConsentRequest(request));

  response = Run(StandIn("printf 'allow-always\\r\\n'"), request, "allow-always");
  EXPECT_EQ(response.answer, ConsentAnswer::kAllowAlways);

  response = Run(StandIn("printf 'deny\\n'"), request, "deny");
  EXPECT_EQ(response.answer, ConsentAnswer::kDeny);
  EXPECT_EQ(response.failure, S_OK);

  response =
      Run(StandIn("printf 'failed 80070057 the request cannot be read\\n'"), request, "failed");
  EXPECT_EQ(response.answer, ConsentAnswer::kFailed);
  EXPECT_EQ(response.failure, E_INVALIDARG);
  EXPECT_EQ(response.message, "the request cannot be read");

  // A "failure" that carries a success code is still a failure.
  response = Run(StandIn("printf 'failed 00000000 odd\\n'"), request, "failed with S_OK");
  EXPECT_EQ(response.answer, ConsentAnswer::kFailed);
  EXPECT_EQ(response.failure, E_FAIL);
}

// "Always" is never offered to a page that is not secure; if it comes back
// anyway, it allows this once and nothing more.
TEST_F(ConsentPromptTest, AlwaysForAPageThatIsNotSecureIsOnce) {
  ConsentRequest request = SecureRequest();
  request.origin = "http://a.example";
  request.secure = false;
  const ConsentResponse response =
      Run(StandIn("printf 'allow-always\\n'"), request, "allow-always, secure 0");
  EXPECT_EQ(response.answer, ConsentAnswer::kAllowOnce);
  ConsentRequest sent;
  ASSERT_TRUE(DecodeConsentRequest(ReadFile(RequestFile()), &sent));
  EXPECT_FALSE(sent.secure);
}

TEST_F(ConsentPromptTest, NoUsableAnswerIsADenyNeverAnAllow) {
  const fs::path notExecutable = m_folder / "plain-file";
  std::ofstream(notExecutable) << "printf 'allow-once\\n'\n";
  const std::vector<std::pair<std::string, fs::path>> helpers = {
      {"garbage", StandIn("printf 'yes please\\n'")},
      {"allow without a newline", StandIn("printf 'allow-once'")},
      {"two answers", StandIn("printf 'deny\\nallow-once\\n'")},
      {"allow then a second line", StandIn("printf 'allow-once\\nallow-once\\n'")},
      {"exits without answering", StandIn("exit 0")},
      {"crash", StandIn("kill -9 $$")},
      {"allow, then a crash", StandIn("printf 'allow-once\\n'; kill -9 $$")},
      {"allow, then a failing exit", StandIn("printf 'allow-always\\n'; exit 1")},
      {"answer far too long", StandIn("yes allow-once | head -c 200000")},
      {"never reads, exits", StandIn("exec 0<&-; exit 0", false)},
      {"never reads, answers nonsense", StandIn("exec 0<&-; printf 'ok\\n'", false)},
      {"missing", m_folder / "no-such-helper"},
      {"not executable", notExecutable},
      {"a folder", m_folder},
  };
  for (const auto& [name, path] : helpers) {
    const ConsentResponse response = Run(path, SecureRequest(), name);
    EXPECT_EQ(response.answer, ConsentAnswer::kDeny) << name;
    EXPECT_TRUE(FAILED(response.failure)) << name;
    EXPECT_FALSE(response.message.empty()) << name;
  }
  const ConsentResponse missing = Run(m_folder / "no-such-helper", SecureRequest(), "missing");
  EXPECT_EQ(missing.failure, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
}

// A helper that stops reading at once must neither hang the prompt nor
// take the browser down with SIGPIPE; its own answer still counts.
TEST_F(ConsentPromptTest, HelperThatNeverReadsItsInput) {
  const ConsentResponse response =
      Run(StandIn("exec 0<&-; printf 'deny\\n'", false), SecureRequest(), "never reads");
  EXPECT_EQ(response.answer, ConsentAnswer::kDeny);
  EXPECT_EQ(response.failure, S_OK);
}

TEST_F(ConsentPromptTest, NothingIsStartedWithoutADisplayOrForABadRequest) {
  const fs::path helper = StandIn("printf 'allow-once\\n'");
  {
    ScopedEnv noX("DISPLAY", nullptr);
    ScopedEnv noWayland("WAYLAND_DISPLAY", nullptr);
    // A stand-in program answers without a screen; only our own window needs one.
    const ConsentResponse response = Run(helper, SecureRequest(), "no display");
    EXPECT_EQ(response.answer, ConsentAnswer::kAllowOnce);
  }
  fs::remove(RequestFile());
  ConsentRequest nothingAsked = SecureRequest();
  nothingAsked.asksKeys = false;
  ConsentRequest spaced = SecureRequest();
  spaced.origin = "https://a.example https://b.example";
  ConsentRequest noMethod = SecureRequest();
  noMethod.method.clear();
  for (const ConsentRequest& bad : {nothingAsked, spaced, noMethod}) {
    const ConsentResponse response = Run(helper, bad, bad.origin);
    EXPECT_EQ(response.answer, ConsentAnswer::kDeny);
    EXPECT_EQ(response.failure, E_INVALIDARG);
  }
  EXPECT_FALSE(fs::exists(RequestFile()));

  // The same helper is asked once there is a display and a good request.
  EXPECT_EQ(Run(helper, SecureRequest(), "good").answer, ConsentAnswer::kAllowOnce);
  EXPECT_TRUE(fs::exists(RequestFile()));
}

// The prompt's deadline is minutes, so the mechanism is checked here on
// the shared runner with a short one.
TEST_F(ConsentPromptTest, HelperPastItsDeadlineIsKilledAndReaped) {
  const struct {
    const char* what;
    std::string body;
  } cases[] = {
      {"silent and asleep", "exec sleep 30"},
      {"answers, then lingers with stdout open", "printf 'allow-once\\n'; exec sleep 30"},
      {"answers and closes stdout, then lingers",
       "printf 'allow-once\\n'; exec >&-; exec sleep 30"},
  };
  for (const auto& c : cases) {
    StepTrace trace(kTraceGuidUi, u"ConsentPromptTest", u"deadline");
    HelperLimits limits;
    limits.deadline = std::chrono::milliseconds(300);
    HelperResult result;
    const auto start = Clock::now();
    EXPECT_EQ(RunHelperProcess(StandIn(c.body).string(), EncodeConsentRequest(SecureRequest()),
                               limits, &result, trace),
              kHelperTimedOut)
        << c.what;
    const auto elapsed = Clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(250)) << c.what;
    EXPECT_LT(elapsed, std::chrono::seconds(3)) << c.what;
    EXPECT_TRUE(result.output.empty()) << c.what;
    EXPECT_FALSE(result.exitedCleanly) << c.what;
  }

  // Within the deadline the answer and the exit come back as they were.
  StepTrace trace(kTraceGuidUi, u"ConsentPromptTest", u"deadline");
  HelperLimits limits;
  limits.deadline = std::chrono::seconds(5);
  HelperResult result;
  ASSERT_EQ(RunHelperProcess(StandIn("printf 'deny\\n'").string(), "x", limits, &result, trace),
            S_OK);
  EXPECT_EQ(result.output, "deny\n");
  EXPECT_TRUE(result.exitedCleanly);
  ASSERT_EQ(
      RunHelperProcess(StandIn("printf 'deny\\n'; exit 3").string(), "x", limits, &result, trace),
      S_OK);
  EXPECT_FALSE(result.exitedCleanly);
}

}  // namespace
}  // namespace ui
