// npsigil-bridge as a browser starts it, and as an installer asks it: the
// callers it serves and refuses, the host manifests, the extension's
// folder, and a whole exchange over its standard input and output ending
// with the browser closing.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bridge/Framing.h"
#include "bridge/Messages.h"
#include "support/Subprocess.h"

extern char** environ;

namespace {

using bridge::Json;
namespace fs = std::filesystem;

constexpr char kProgram[] = NPSIGIL_BRIDGE_PROGRAM;
constexpr char kChromiumCaller[] = "chrome-extension://paojbdpmojlneibjgjlcnepdkkedbhcm/";

// The program with both pipes, as the browser holds them.
class Started {
 public:
  explicit Started(const std::vector<std::string>& args) {
    ::signal(SIGPIPE, SIG_IGN);
    int in[2], out[2], err[2];
    EXPECT_EQ(::pipe(in), 0);
    EXPECT_EQ(::pipe(out), 0);
    EXPECT_EQ(::pipe(err), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]})
      posix_spawn_file_actions_addclose(&actions, fd);
    std::vector<std::string> all = {kProgram};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : all) argv.push_back(arg.data());
    argv.push_back(nullptr);
    EXPECT_EQ(posix_spawn(&pid_, kProgram, &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    toHost_ = in[1];
    fromHost_ = out[0];
    errors_ = err[0];
  }
  ~Started() {
    CloseInput();
    if (pid_ > 0 && !waited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(fromHost_);
    ::close(errors_);
  }

  void Send(const Json& message) {
    const std::string frame = bridge::EncodeFrame(message.dump());
    ASSERT_EQ(::write(toHost_, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
  }
  Json Next() {
    bridge::FrameReader reader(fromHost_, bridge::kMaxOutgoingFrame);
    std::string text;
    if (reader.Next(&text) != bridge::FrameStatus::Frame) return nullptr;
    return Json::parse(text, nullptr, false);
  }
  void CloseInput() {
    if (toHost_ >= 0) ::close(toHost_);
    toHost_ = -1;
  }
  // The exit code, or -1 when it did not exit within the wait.
  int Wait(std::chrono::milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        waited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }
  std::string Errors() {
    std::string all;
    char buffer[4096];
    for (ssize_t n; (n = ::read(errors_, buffer, sizeof buffer)) > 0;) all.append(buffer, n);
    return all;
  }

 private:
  pid_t pid_ = -1;
  bool waited_ = false;
  int toHost_ = -1, fromHost_ = -1, errors_ = -1;
};

TEST(Program, ServesTheKnownExtensionsAndEndsWithItsInput) {
  const std::vector<std::vector<std::string>> callers = {
      {kChromiumCaller},
      {"/home/u/.mozilla/native-messaging-hosts/org.npsigil.bridge.json", "npsigil@npsigil.invalid"},
  };
  for (const auto& caller : callers) {
    SCOPED_TRACE(caller.back());
    Started host(caller);
    EXPECT_EQ(host.Next(), Json::parse(R"({"type":"hello","protocol":1,"version":"3.4.0.1"})"));
    host.Send({{"type", "open"}, {"session", 1}, {"origin", "https://a.example"},
               {"top", "https://a.example"}});
    host.Send({{"type", "call"}, {"session", 1}, {"id", 1}, {"method", "GetVersion"}, {"args", Json::array()}});
    const Json answer = host.Next();
    EXPECT_EQ(answer.value("value", ""), "3.4.0.1") << answer;
    host.CloseInput();
    EXPECT_EQ(host.Wait(std::chrono::seconds(5)), 0);
    EXPECT_EQ(host.Errors(), "");
  }
}

TEST(Program, RefusesCallersItDoesNotKnow) {
  const std::vector<std::vector<std::string>> callers = {
      {"chrome-extension://aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa/"},
      {"chrome-extension://paojbdpmojlneibjgjlcnepdkkedbhcm"},  // not as Chromium writes it
      {"/some/manifest.json", "other@example.invalid"},
      {"--no-such-switch"},
  };
  for (const auto& caller : callers) {
    SCOPED_TRACE(caller.back());
    Started host(caller);
    EXPECT_EQ(host.Wait(std::chrono::seconds(5)), 2);
    const std::string errors = host.Errors();
    EXPECT_FALSE(errors.empty());
    EXPECT_EQ(errors.find('\n'), errors.size() - 1) << "more than one line: " << errors;
    EXPECT_TRUE(host.Next().is_null());  // no hello for a stranger
  }
}

TEST(Program, PrintsHostManifests) {
  const fs::path program = fs::canonical(kProgram);
  const auto chromium = testsupport::RunProcess({kProgram, "--print-manifest", "chromium"});
  ASSERT_EQ(chromium.exitCode, 0) << chromium.output;
  const Json c = Json::parse(chromium.output, nullptr, false);
  ASSERT_FALSE(c.is_discarded()) << chromium.output;
  EXPECT_EQ(c.value("name", ""), "org.npsigil.bridge");
  EXPECT_EQ(c.value("type", ""), "stdio");
  EXPECT_EQ(c.value("path", ""), program.string());
  EXPECT_FALSE(c.value("description", "").empty());
  EXPECT_EQ(c["allowed_origins"], Json::parse(R"(["chrome-extension://paojbdpmojlneibjgjlcnepdkkedbhcm/"])"));
  EXPECT_FALSE(c.contains("allowed_extensions"));

  const auto firefox = testsupport::RunProcess({kProgram, "--print-manifest", "firefox"});
  ASSERT_EQ(firefox.exitCode, 0) << firefox.output;
  const Json f = Json::parse(firefox.output, nullptr, false);
  ASSERT_FALSE(f.is_discarded()) << firefox.output;
  EXPECT_EQ(f.value("path", ""), program.string());
  EXPECT_EQ(f["allowed_extensions"], Json::parse(R"(["npsigil@npsigil.invalid"])"));
  EXPECT_FALSE(f.contains("allowed_origins"));

  EXPECT_NE(testsupport::RunProcess({kProgram, "--print-manifest", "opera"}).exitCode, 0);
  EXPECT_NE(testsupport::RunProcess({kProgram, "--print-manifest"}).exitCode, 0);
}

TEST(Program, NamesTheExtensionBesideIt) {
  const auto result = testsupport::RunProcess({kProgram, "--extension-dir"});
  const fs::path beside = fs::path(kProgram).parent_path() / "extension";
  if (fs::exists(beside / "manifest.json")) {
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_EQ(fs::canonical(result.output.substr(0, result.output.find('\n'))), fs::canonical(beside));
  } else {
    EXPECT_EQ(result.exitCode, 1) << result.output;
    EXPECT_FALSE(result.output.empty());
  }
}

// The diagnosis an installer or a help desk runs: it passes as built, and
// names what is missing when the dialog helper is not there.
TEST(Program, SelfTestNamesWhatIsMissing) {
  const auto good = testsupport::RunProcess({kProgram, "--self-test"});
  EXPECT_EQ(good.exitCode, 0) << good.output;
  EXPECT_NE(good.output.find("\nready\n"), std::string::npos) << good.output;
  EXPECT_EQ(good.output.find("FAILED"), std::string::npos) << good.output;

  setenv("NPSIGIL_SELECT_DIALOG", "/nonexistent/npsigil-select-dialog", 1);
  const auto bad = testsupport::RunProcess({kProgram, "--self-test"});
  unsetenv("NPSIGIL_SELECT_DIALOG");
  EXPECT_EQ(bad.exitCode, 1) << bad.output;
  EXPECT_NE(bad.output.find("FAILED  the dialog helper runs from /nonexistent/"), std::string::npos)
      << bad.output;
}

}  // namespace
