#include "install/RoundTrip.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <system_error>
#include <vector>

#include <nlohmann/json.hpp>

#include "bridge/KnownExtensions.h"
#include "install/JsonFile.h"
#include "install/ReportPage.h"

extern char** environ;

namespace install {
namespace fs = std::filesystem;

namespace {

constexpr auto kExitGrace = std::chrono::seconds(5);

// The extension may still be starting when the first page loads in a new
// profile, and a page it missed stays without npSigil: the page reloads
// itself a few times before it reports the extension missing.
constexpr char kPage[] = R"html(<!doctype html>
<meta charset="utf-8"><title>npSigil browser test</title>
<script>
(async () => {
  const send = (r) => fetch("report", {method: "POST", body: JSON.stringify(r)});
  const tries = Number(new URLSearchParams(location.search).get("try") || "0");
  if (!window.npSigil) {
    if (tries < 8) { setTimeout(() => location.replace("?try=" + (tries + 1)), 1000); return; }
    send({ok: false, stage: "extension", reason: "extension-unavailable",
          message: "the page never got window.npSigil"});
    return;
  }
  const started = performance.now();
  try {
    const status = await window.npSigil.status();
    if (!status.host) {
      send({ok: false, stage: "host", reason: status.reason, message: status.message});
      return;
    }
    const version = await window.npSigil.GetVersion();
    send({ok: true, host: status.version, version: version,
          ms: Math.round(performance.now() - started)});
  } catch (e) {
    send({ok: false, stage: "call", reason: String(e.reason), message: String(e.message)});
  }
})();
</script>
)html";

// A private folder for the profile, removed with everything in it. Its
// name is short: Chromium puts a socket in the TMPDIR it gets, and socket
// paths end at 108 bytes.
class ScratchFolder {
 public:
  ScratchFolder() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp == '/' ? tmp : "/tmp") +
                          "/npsigil-bt.XXXXXX";
    if (::mkdtemp(pattern.data())) path_ = pattern;
  }
  ~ScratchFolder() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

bool WriteText(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out.flush());
}

// The profile and the arguments that make the browser load the extension
// from its folder and open the page.
bool PrepareProfile(const RoundTripRequest& request, const fs::path& profile,
                    const std::string& url, std::vector<std::string>* args, std::string* why) {
  std::error_code ec;
  fs::create_directories(profile, ec);
  if (request.browser == BrowserKind::Firefox) {
    // A proxy file names the unpacked folder; release builds of Firefox
    // take an unsigned extension only in ESR and with the preference off.
    fs::create_directories(profile / "extensions", ec);
    const bool ready =
        !ec &&
        WriteText(profile / "extensions" / std::string(bridge::kFirefoxExtensionId),
                  request.extension.string() + "\n") &&
        WriteText(profile / "user.js",
                  "user_pref(\"xpinstall.signatures.required\", false);\n"
                  "user_pref(\"extensions.autoDisableScopes\", 0);\n"
                  "user_pref(\"extensions.enabledScopes\", 15);\n"
                  "user_pref(\"browser.shell.checkDefaultBrowser\", false);\n"
                  "user_pref(\"datareporting.policy.dataSubmissionEnabled\", false);\n"
                  "user_pref(\"toolkit.telemetry.reportingpolicy.firstRun\", false);\n");
    if (!ready) {
      *why = "cannot prepare a profile in " + profile.string();
      return false;
    }
    *args = {request.program.string(), "--headless", "--no-remote", "--profile", profile.string(),
             url};
    return true;
  }
  // Chromium looks for the user's host manifests inside the profile folder
  // it runs with: the registered one is copied in, the system one it finds
  // itself.
  const fs::path userManifest = ManifestPath(request.browser, Scope::User, request.env);
  if (fs::exists(userManifest, ec)) {
    fs::create_directories(profile / "NativeMessagingHosts", ec);
    fs::copy_file(userManifest, profile / "NativeMessagingHosts" / userManifest.filename(), ec);
    if (ec) {
      *why = "cannot copy " + userManifest.string() + " into the test profile: " + ec.message();
      return false;
    }
  }
  const std::string extension = request.extension.string();
  *args = {request.program.string(), "--headless=new", "--disable-gpu", "--no-first-run",
           "--no-default-browser-check", "--user-data-dir=" + profile.string(),
           "--load-extension=" + extension, "--disable-extensions-except=" + extension};
  // Chrome's own builds ignore --load-extension unless told otherwise.
  if (request.browser == BrowserKind::Chrome)
    args->push_back("--disable-features=DisableLoadExtensionCommandLineSwitch");
  // Chromium's sandbox refuses to run as root; a user's browser keeps it.
  if (::geteuid() == 0) args->push_back("--no-sandbox");
  args->push_back(url);
  return true;
}

// The browser in a process group of its own, so that every process it
// starts goes with it.
class BrowserProcess {
 public:
  // `tmp` becomes its TMPDIR, so that what it leaves there goes with the
  // scratch folder.
  BrowserProcess(const std::vector<std::string>& args, const fs::path& log, const fs::path& tmp) {
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> variables;
    for (char** entry = environ; *entry; ++entry)
      if (!std::string_view(*entry).starts_with("TMPDIR=")) variables.emplace_back(*entry);
    variables.push_back("TMPDIR=" + tmp.string());
    std::vector<char*> envp;
    for (const std::string& variable : variables) envp.push_back(const_cast<char*>(variable.c_str()));
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    if (::posix_spawn(&pid_, argv[0], &actions, &attributes, argv.data(), envp.data()) != 0)
      pid_ = -1;
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
  }
  ~BrowserProcess() { Stop(); }
  BrowserProcess(const BrowserProcess&) = delete;
  BrowserProcess& operator=(const BrowserProcess&) = delete;

  bool started() const { return pid_ > 0; }
  bool Running() {
    if (pid_ <= 0 || exited_) return false;
    if (::waitpid(pid_, &status_, WNOHANG) == pid_) exited_ = true;
    return !exited_;
  }
  int status() const { return status_; }

  void Stop() {
    if (pid_ <= 0) return;
    ::kill(-pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + kExitGrace;
    while (Running() && std::chrono::steady_clock::now() < deadline) ::usleep(20000);
    ::kill(-pid_, SIGKILL);  // whatever of the group is left
    if (!exited_) ::waitpid(pid_, &status_, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int status_ = 0;
  bool exited_ = false;
};

}  // namespace

RoundTripResult ReadReport(std::string_view report) {
  const auto json = nlohmann::json::parse(report, nullptr, false);
  if (!json.is_object()) return {false, "the page sent a report that is not JSON"};
  auto text = [&](const char* key) { return StringField(json, key, "?"); };
  if (BoolField(json, "ok", false)) {
    const auto ms = json.find("ms");
    return {true, "the page reached npsigil-bridge " + text("host") + " (GetVersion answered " +
                      text("version") + " in " +
                      (ms != json.end() && ms->is_number_integer() ? std::to_string(ms->get<long long>())
                                                           : std::string("?")) +
                      " ms)"};
  }
  const std::string stage = text("stage");
  const std::string what = stage == "extension" ? "the extension did not load"
                           : stage == "host"    ? "the extension did not reach the host"
                                                : "the call failed";
  return {false, what + " (" + text("reason") + "): " + text("message")};
}

RoundTripResult RunRoundTrip(const RoundTripRequest& request) {
  ScratchFolder scratch;
  if (scratch.path().empty()) return {false, "cannot make a folder for the test profile"};
  auto page = ReportPage::Open(kPage);
  if (!page) return {false, "cannot listen on the loopback for the test page"};
  std::vector<std::string> args;
  std::string why;
  if (!PrepareProfile(request, scratch.path() / "profile", page->Url(), &args, &why))
    return {false, why};
  BrowserProcess browser(args, scratch.path() / "browser.log", scratch.path());
  if (!browser.started()) return {false, "cannot start " + request.program.string()};
  const auto report = page->WaitForReport(std::chrono::steady_clock::now() + request.timeout,
                                          [&] { return browser.Running(); });
  const bool exited = !browser.Running();
  browser.Stop();
  if (report) return ReadReport(*report);
  if (exited)
    return {false, request.program.string() + " ended (status " +
                       std::to_string(WIFEXITED(browser.status()) ? WEXITSTATUS(browser.status())
                                                                  : 128 + WTERMSIG(browser.status())) +
                       ") before the page reported"};
  return {false, "the page did not report within " + std::to_string(request.timeout.count()) +
                     " s"};
}

}  // namespace install
