// The file chooser's texts and the call that runs it, with small shell
// scripts in the helper program's place; and the rule that a process shows
// one helper window at a time.
#include "ui/FileChooser.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "support/TempEnvironment.h"
#include "ui/ConsentProtocol.h"
#include "ui/FileChooserProtocol.h"
#include "ui/HelperProcess.h"

namespace ui {
namespace {

namespace fs = std::filesystem;
using testsupport::ScopedEnv;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

FileChoice Request(bool save = false) {
  FileChoice request;
  request.language = 0x0804;
  request.origin = "https://xn--bcher-kva.example:8443";
  request.save = save;
  return request;
}

TEST(FileChoiceProtocol, RequestRoundTripAndStrictReading) {
  const std::string text = EncodeFileChoiceRequest(Request(true));
  EXPECT_EQ(text,
            "npsigil-choose 1\nlanguage 2052\norigin https://xn--bcher-kva.example:8443\n"
            "mode save\nend\n");
  FileChoice decoded;
  ASSERT_TRUE(DecodeFileChoiceRequest(text, &decoded));
  EXPECT_EQ(decoded.language, 0x0804);
  EXPECT_EQ(decoded.origin, "https://xn--bcher-kva.example:8443");
  EXPECT_TRUE(decoded.save);

  const std::string head = "npsigil-choose 1\nlanguage 1033\n";
  for (const std::string& bad : std::vector<std::string>{
           head + "origin https://a.example\nmode open\n",                   // no end
           head + "origin https://a.example\nmode open\nend\nmore\n",        // after end
           head + "origin https://a.example\nend\n",                         // no mode
           head + "origin https://a.example\nmode write\nend\n",             // unknown mode
           head + "origin https://a.example\nmode open\nmode save\nend\n",   // twice
           head + "origin https://a\\tb.example\nmode open\nend\n",          // not printable
           head + "origin \nmode open\nend\n",                               // empty
           "npsigil-choose 2\nlanguage 1033\norigin https://a.example\nmode open\nend\n",
           head + "origin https://" + std::string(kMaxFileChoiceRequestBytes, 'a') +
               "\nmode open\nend\n",
       }) {
    EXPECT_FALSE(DecodeFileChoiceRequest(bad, &decoded)) << bad;
    EXPECT_TRUE(decoded.origin.empty());
  }
}

TEST(FileChoiceProtocol, AnswersReadStrictly) {
  FileChoiceAnswer answer;
  answer.outcome = FileChoiceOutcome::kChosen;
  answer.path = "/home/me/a\\b\nc.pdf";
  const std::string line = EncodeFileChoiceAnswer(answer);
  EXPECT_EQ(line, "chosen /home/me/a\\\\b\\nc.pdf\n");
  FileChoiceAnswer decoded;
  ASSERT_TRUE(DecodeFileChoiceAnswer(line, &decoded));
  EXPECT_EQ(decoded.outcome, FileChoiceOutcome::kChosen);
  EXPECT_EQ(decoded.path, answer.path);

  ASSERT_TRUE(DecodeFileChoiceAnswer("cancel\r\n", &decoded));
  EXPECT_EQ(decoded.outcome, FileChoiceOutcome::kCancelled);
  ASSERT_TRUE(DecodeFileChoiceAnswer("failed 80004005 no display\n", &decoded));
  EXPECT_EQ(decoded.outcome, FileChoiceOutcome::kFailed);
  EXPECT_EQ(decoded.failure, E_FAIL);
  EXPECT_EQ(decoded.message, "no display");

  const std::string longest = "/" + std::string(kMaxFileChoicePathBytes - 1, 'a');
  EXPECT_TRUE(DecodeFileChoiceAnswer("chosen " + longest + "\n", &decoded));
  for (const std::string& bad : std::vector<std::string>{
           std::string("chosen relative/x.pdf\n"),
           std::string("chosen \n"),
           std::string("chosen /a/../etc/passwd\n"),
           std::string("chosen /a/./b\n"),
           std::string("chosen /a//b\n"),
           std::string("chosen /a/b\nchosen /etc/passwd\n"),  // a second line
           std::string("chosen /a/b\rx\n"),
           std::string("chosen /a/b\\q\n"),                    // unknown escape
           std::string("chosen /a/b"),                         // no newline
           std::string("chosen  /a/b\n"),                      // the path would be " /a/b"
           "chosen " + longest + "a\n",                        // a byte too long
           "chosen /" + std::string(kMaxFileChoiceAnswerBytes, 'a') + "\n",
           std::string("cancelled\n"),
           std::string("failed 8000400 short\n"),
           std::string("allow-once\n"),
       }) {
    EXPECT_FALSE(DecodeFileChoiceAnswer(bad, &decoded)) << bad.substr(0, 60);
    EXPECT_TRUE(decoded.path.empty());
  }
}

class FileChooserTest : public ::testing::Test {
 protected:
  void SetUp() override { m_folder = testsupport::MakeTempDir("chooser"); }
  void TearDown() override {
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "a helper was left unreaped";
  }

  fs::path StandIn(const std::string& body) {
    const fs::path script = m_folder / ("chooser-" + std::to_string(++m_scripts));
    std::ofstream out(script);
    out << "#!/bin/sh\ncat > '" << (m_folder / "request.txt").string() << "'\n" << body << "\n";
    out.close();
    chmod(script.c_str(), 0700);
    return script;
  }

  HRESULT Choose(const fs::path& program, const FileChoice& request, std::string* path) {
    ScopedEnv chooser(kFileChooserPathVariable, program.c_str());
    StepTrace trace(kTraceGuidUi, u"FileChooserTest", u"ChooseFile");
    return ChooseFile(request, path, trace);
  }

  ScopedEnv m_noDisplay{"DISPLAY", nullptr};
  ScopedEnv m_noWayland{"WAYLAND_DISPLAY", nullptr};
  fs::path m_folder;
  int m_scripts = 0;
};

TEST_F(FileChooserTest, TheStandInGetsTheRequestAndItsChoiceComesBack) {
  std::string path = "stale";
  ASSERT_EQ(Choose(StandIn("printf 'chosen /home/me/in\\\\tvoice.pdf\\n'"), Request(), &path),
            S_OK);
  EXPECT_EQ(path, "/home/me/in\tvoice.pdf");
  EXPECT_EQ(ReadFile(m_folder / "request.txt"), EncodeFileChoiceRequest(Request()));

  EXPECT_EQ(Choose(StandIn("printf 'cancel\\n'"), Request(), &path), kFileChoiceCancelled);
  EXPECT_TRUE(path.empty());
  EXPECT_EQ(Choose(StandIn("printf 'failed 80070057 bad\\n'"), Request(), &path), E_INVALIDARG);
  EXPECT_EQ(Choose(StandIn("printf 'failed 00000000 odd\\n'"), Request(), &path), E_FAIL);
}

TEST_F(FileChooserTest, NothingButACleanWellFormedChoiceIsAPath) {
  std::string path;
  for (const std::string& body : std::vector<std::string>{
           std::string("printf 'chosen etc/passwd\\n'"),
           std::string("printf 'chosen /a\\nchosen /b\\n'"),
           std::string("printf 'chosen /a/../b\\n'"),
           std::string("true"),                                  // no answer
           std::string("printf 'chosen /tmp/x\\n'; kill -9 $$"),  // then crashes
           std::string("printf 'chosen /tmp/x\\n'; exit 3"),
           std::string("head -c 20000 /dev/zero | tr '\\\\0' a"),  // overlong
       }) {
    const HRESULT hResult = Choose(StandIn(body), Request(), &path);
    EXPECT_TRUE(FAILED(hResult)) << body;
    EXPECT_NE(hResult, kFileChoiceCancelled) << body;
    EXPECT_TRUE(path.empty()) << body;
  }
  FileChoice bad = Request();
  bad.origin = "https://a example";
  EXPECT_EQ(Choose(StandIn("printf 'chosen /tmp/x\\n'"), bad, &path), E_INVALIDARG);
}

TEST_F(FileChooserTest, SaveNeverNamesAnExistingFile) {
  const fs::path existing = m_folder / "existing.pdf";
  std::ofstream(existing) << "mine";
  std::string path;
  EXPECT_EQ(Choose(StandIn("printf 'chosen " + existing.string() + "\\n'"), Request(true), &path),
            HRESULT_FROM_WIN32(80));
  EXPECT_TRUE(path.empty());
  EXPECT_EQ(ReadFile(existing), "mine");
  const fs::path fresh = m_folder / "new.pdf";
  EXPECT_EQ(Choose(StandIn("printf 'chosen " + fresh.string() + "\\n'"), Request(true), &path),
            S_OK);
  EXPECT_EQ(path, fresh.string());
  // Opening an existing file is what open mode is for.
  EXPECT_EQ(Choose(StandIn("printf 'chosen " + existing.string() + "\\n'"), Request(), &path),
            S_OK);
}

TEST_F(FileChooserTest, WithoutAStandInOrADisplayNothingRuns) {
  ScopedEnv chooser(kFileChooserPathVariable, nullptr);
  std::string path;
  StepTrace trace(kTraceGuidUi, u"FileChooserTest", u"ChooseFile");
  EXPECT_EQ(ChooseFile(Request(), &path, trace), E_FAIL);
  EXPECT_EQ(ChooseFile(Request(), nullptr, trace), E_POINTER);
}

// Sessions on threads each asking for a window: the chooser and the consent
// prompt are shown one after the other, never together. Each stand-in
// holds a marker while it "shows" its window and fails if it finds one.
TEST_F(FileChooserTest, OneHelperWindowAtATimeAcrossThreads) {
  const fs::path marker = m_folder / "on-screen";
  const fs::path log = m_folder / "log";
  const std::string show =
      "if ! mkdir '" + marker.string() + "' 2>/dev/null; then echo overlap >> '" + log.string() +
      "'; fi; echo start >> '" + log.string() + "'; sleep 0.2; rmdir '" + marker.string() +
      "'; ";
  const fs::path chooser = StandIn(show + "printf 'chosen /tmp/x\\n'");
  const fs::path consent = StandIn(show + "printf 'allow-once\\n'");
  ScopedEnv chooserEnv(kFileChooserPathVariable, chooser.c_str());
  ScopedEnv consentEnv(kConsentDialogPathVariable, consent.c_str());

  constexpr int kThreads = 4;
  std::vector<HRESULT> results(kThreads, E_UNEXPECTED);
  std::vector<ConsentAnswer> answers(kThreads, ConsentAnswer::kDeny);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i)
    threads.emplace_back([&, i] {
      std::string path;
      StepTrace trace(kTraceGuidUi, u"FileChooserTest", u"ChooseFile");
      results[i] = ChooseFile(Request(), &path, trace);
      ConsentRequest request;
      request.language = 0x0409;
      request.origin = "https://a.example";
      request.secure = true;
      request.asksFiles = true;
      request.method = "SignFile";
      answers[i] = RunConsentPrompt(request).answer;
    });
  for (std::thread& thread : threads) thread.join();
  for (int i = 0; i < kThreads; ++i) {
    EXPECT_EQ(results[i], S_OK);
    EXPECT_EQ(answers[i], ConsentAnswer::kAllowOnce);
  }
  const std::string text = ReadFile(log);
  EXPECT_EQ(text.find("overlap"), std::string::npos) << text;
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2 * kThreads);
}

TEST(HelperProgramPath, BesideTheExecutableWhenLinkedIntoOne) {
  // These tests link the code into their own executable, as a host program
  // does; whatever argv[0] was, the helper is looked for beside the binary.
  ScopedEnv none("NPSIGIL_NO_SUCH_VARIABLE", nullptr);
  EXPECT_EQ(HelperProgramPath("NPSIGIL_NO_SUCH_VARIABLE", "npsigil-select-dialog"),
            (fs::read_symlink("/proc/self/exe").parent_path() / "npsigil-select-dialog").string());
  ScopedEnv set("NPSIGIL_NO_SUCH_VARIABLE", "/opt/x/helper");
  EXPECT_EQ(HelperProgramPath("NPSIGIL_NO_SUCH_VARIABLE", "npsigil-select-dialog"),
            "/opt/x/helper");
}

}  // namespace
}  // namespace ui
