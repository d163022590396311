#include "install/Diagnosis.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <system_error>

#include <nlohmann/json.hpp>

#include "bridge/KnownExtensions.h"
#include "install/JsonFile.h"

extern char** environ;

namespace install {
namespace fs = std::filesystem;
using Json = nlohmann::json;

namespace {

constexpr std::size_t kMaxProbeBytes = 64 << 10;
constexpr auto kProbeDeadline = std::chrono::seconds(20);

bool ListHas(const Json& object, const char* key, std::string_view value) {
  const auto it = object.find(key);
  if (it == object.end() || !it->is_array()) return false;
  for (const Json& item : *it)
    if (item.is_string() && item.get_ref<const std::string&>() == value) return true;
  return false;
}

struct Collector {
  std::vector<Finding>* out;
  BrowserKind browser;
  void Add(Level level, std::optional<Scope> scope, std::string text, fs::path path = {}) {
    out->push_back({level, browser, scope, std::move(text), std::move(path)});
  }
};

// One manifest: true when the browser will start a good host from it.
bool CheckManifest(Collector& c, Scope scope, const fs::path& manifest, const Environment& env,
                   const StatusRequest& request, const HostProber& prober) {
  std::string why;
  const auto json = ReadJsonFile(manifest, &why);
  if (!json) {
    c.Add(Level::Failure, scope, "the host manifest " + why, manifest);
    return false;
  }
  if (!json->is_object() || StringField(*json, "name") != bridge::kHostName) {
    c.Add(Level::Failure, scope, "the host manifest does not name " + std::string(bridge::kHostName),
          manifest);
    return false;
  }
  bool good = true;
  const bool firefox = c.browser == BrowserKind::Firefox;
  const bool allows =
      firefox ? ListHas(*json, "allowed_extensions", bridge::kFirefoxExtensionId)
              : ListHas(*json, "allowed_origins",
                        "chrome-extension://" + std::string(bridge::kChromiumExtensionId) + "/");
  if (!allows) {
    c.Add(Level::Failure, scope,
          std::string("the host manifest does not allow the npSigil extension (") +
              std::string(firefox ? bridge::kFirefoxExtensionId : bridge::kChromiumExtensionId) + ")",
          manifest);
    good = false;
  }
  if (StringField(*json, "type") != "stdio") {
    c.Add(Level::Failure, scope, "the host manifest's type is not \"stdio\"", manifest);
    good = false;
  }
  const std::string path = StringField(*json, "path");
  if (path.empty() || path.front() != '/') {
    c.Add(Level::Failure, scope, "the host manifest's path is not absolute: \"" + path + "\"",
          manifest);
    return false;
  }
  const fs::path host = env.System(path);
  if (::access(host.c_str(), X_OK) != 0) {
    c.Add(Level::Failure, scope, "the host " + path + " is missing or not executable", manifest);
    return false;
  }
  const HostProbe probe = prober(host);
  if (!probe.ran) {
    c.Add(Level::Failure, scope, "the host " + path + " does not start", manifest);
    return false;
  }
  if (!request.expectedVersion.empty() && probe.version != request.expectedVersion) {
    c.Add(Level::Warning, scope,
          "the host " + path + " is version " + (probe.version.empty() ? "?" : probe.version) +
              ", this tool " + request.expectedVersion,
          manifest);
  }
  if (probe.exitCode != 0) {
    c.Add(Level::Failure, scope,
          "the host " + path + " fails its self-test" +
              (probe.failure.empty() ? std::string() : ": " + probe.failure),
          manifest);
    return false;
  }
  if (good)
    c.Add(Level::Ok, scope, "host manifest names " + path + " (" + probe.version + "), self-test passed",
          manifest);
  return good;
}

void CheckChromiumPolicies(Collector& c, const Environment& env, bool onlyUserManifest) {
  for (const fs::path& file : PolicyFiles(c.browser, env)) {
    std::string why;
    const auto json = ReadJsonFile(file, &why);
    if (!json || !json->is_object()) {
      c.Add(Level::Warning, Scope::System, "the policy file " + why, file);
      continue;
    }
    const bool blocked = ListHas(*json, "NativeMessagingBlocklist", "*") ||
                         ListHas(*json, "NativeMessagingBlocklist", bridge::kHostName);
    if (blocked && !ListHas(*json, "NativeMessagingAllowlist", bridge::kHostName))
      c.Add(Level::Failure, Scope::System,
            "a policy blocks native hosts (NativeMessagingBlocklist) without allowing " +
                std::string(bridge::kHostName) + " in NativeMessagingAllowlist",
            file);
    if (const auto list = json->find("ExtensionInstallForcelist");
        list != json->end() && list->is_array())
      for (const Json& entry : *list)
        if (entry.is_string() && entry.get_ref<const std::string&>().starts_with(
                                     std::string(bridge::kChromiumExtensionId) + ";"))
          c.Add(Level::Ok, Scope::System,
                "a policy force-installs the npSigil extension from " +
                    entry.get<std::string>().substr(bridge::kChromiumExtensionId.size() + 1),
                file);
    const auto userLevel = json->find("NativeMessagingUserLevelHosts");
    if (userLevel != json->end() && userLevel->is_boolean() && !userLevel->get<bool>()) {
      c.Add(onlyUserManifest ? Level::Failure : Level::Info, Scope::User,
            "a policy ignores per-user host manifests (NativeMessagingUserLevelHosts false)" +
                std::string(onlyUserManifest ? ": install with --system" : ""),
            file);
    }
  }
}

void CheckFirefoxPolicies(Collector& c, const Environment& env) {
  for (const fs::path& file : PolicyFiles(c.browser, env)) {
    std::string why;
    const auto json = ReadJsonFile(file, &why);
    if (!json || !json->is_object()) {
      c.Add(Level::Warning, Scope::System, "the policy file " + why, file);
      continue;
    }
    const Json* settings = nullptr;
    if (const auto policies = json->find("policies"); policies != json->end() && policies->is_object())
      if (const auto it = policies->find("ExtensionSettings"); it != policies->end()) settings = &*it;
    if (!settings || !settings->is_object()) continue;
    auto mode = [&](const std::string& key) -> std::string {
      const auto it = settings->find(key);
      if (it == settings->end() || !it->is_object()) return "";
      return StringField(*it, "installation_mode");
    };
    const std::string ours = mode(std::string(bridge::kFirefoxExtensionId));
    if (ours == "force_installed" || ours == "normal_installed")
      c.Add(Level::Ok, Scope::System,
            "a policy installs the npSigil extension (" + ours + ") from " +
                StringField(settings->at(std::string(bridge::kFirefoxExtensionId)), "install_url", "?"),
            file);
    if (ours == "blocked" || (ours.empty() && mode("*") == "blocked"))
      c.Add(Level::Failure, Scope::System, "a policy blocks the npSigil extension (ExtensionSettings)",
            file);
  }
}

void CheckProfiles(Collector& c, const Environment& env) {
  const std::vector<fs::path> profiles = ProfileFolders(c.browser, env);
  if (profiles.empty()) {
    c.Add(Level::Info, Scope::User, "no profile of this user yet");
    return;
  }
  int installed = 0;
  for (const fs::path& profile : profiles) {
    std::string why;
    if (c.browser == BrowserKind::Firefox) {
      const auto json = ReadJsonFile(profile / "extensions.json", &why);
      if (!json || !json->is_object() || !(*json)["addons"].is_array()) continue;
      for (const Json& addon : (*json)["addons"]) {
        if (!addon.is_object() || StringField(addon, "id") != bridge::kFirefoxExtensionId) continue;
        ++installed;
        const bool active = BoolField(addon, "active", false);
        c.Add(active ? Level::Ok : Level::Warning, Scope::User,
              std::string("the npSigil extension is ") + (active ? "enabled" : "disabled") +
                  " in the profile " + profile.filename().string(),
              profile);
      }
      continue;
    }
    for (const char* name : {"Secure Preferences", "Preferences"}) {
      const auto json = ReadJsonFile(profile / name, &why);
      if (!json || !json->is_object()) continue;
      const Json::json_pointer pointer("/extensions/settings/" +
                                       std::string(bridge::kChromiumExtensionId));
      if (!json->contains(pointer)) continue;
      const Json& entry = (*json)[pointer];
      const bool disabled = entry.is_object() && ((entry.contains("disable_reasons") &&
                                                   entry["disable_reasons"] != Json(0) &&
                                                   entry["disable_reasons"] != Json::array()) ||
                                                  (entry.contains("state") && entry["state"] == 0));
      ++installed;
      c.Add(disabled ? Level::Warning : Level::Ok, Scope::User,
            std::string("the npSigil extension is ") + (disabled ? "disabled" : "installed") +
                " in the profile " + profile.filename().string(),
            profile);
      break;
    }
  }
  if (installed == 0)
    c.Add(Level::Warning, Scope::User,
          "the npSigil extension is in none of this user's " + std::to_string(profiles.size()) +
              " profile(s); install it (npsigil-bridge --extension-dir names the folder)");
}

}  // namespace

std::string_view LevelName(Level level) {
  switch (level) {
    case Level::Ok: return "ok";
    case Level::Info: return "info";
    case Level::Warning: return "warn";
    case Level::Failure: return "FAIL";
  }
  return "?";
}

HostProbe ProbeHost(const fs::path& host) {
  HostProbe probe;
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return probe;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  const std::string program = host.string();
  char arg0[] = "npsigil-bridge";
  char arg1[] = "--self-test";
  char* argv[] = {arg0, arg1, nullptr};
  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  if (spawned != 0) {
    ::close(pipeFds[0]);
    return probe;
  }
  std::string output;
  const auto deadline = std::chrono::steady_clock::now() + kProbeDeadline;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd pfd{pipeFds[0], POLLIN, 0};
    if (::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) break;
    char buffer[4096];
    const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
    if (n <= 0) break;
    if (output.size() < kMaxProbeBytes) output.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(pipeFds[0]);
  // Its output ending is not its exit: give it until the deadline to go.
  int status = 0;
  pid_t reaped = 0;
  while ((reaped = ::waitpid(pid, &status, WNOHANG)) == 0 &&
         std::chrono::steady_clock::now() < deadline)
    ::usleep(5000);
  if (reaped != pid) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return probe;  // a host that hangs is as good as none
  }
  probe.ran = WIFEXITED(status);
  probe.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::istringstream lines(output);
  std::string line;
  if (std::getline(lines, line) && line.starts_with("npsigil-bridge ")) {
    const std::string rest = line.substr(15);
    probe.version = rest.substr(0, rest.find(' '));
  }
  while (std::getline(lines, line))
    if (line.starts_with("FAILED")) {
      probe.failure = line.substr(line.find_first_not_of(' ', 6));
      break;
    }
  return probe;
}

std::vector<Finding> Diagnose(const StatusRequest& request, const Environment& env,
                              const HostProber& prober) {
  std::vector<Finding> findings;
  for (BrowserKind browser : request.browsers) {
    Collector c{&findings, browser};
    if (const auto sandboxed = SandboxedPackage(browser, env)) {
      c.Add(Level::Failure, std::nullopt,
            "is installed as " + *sandboxed +
                ", which cannot start native hosts: use Debian's package (apt install " +
                (browser == BrowserKind::Firefox ? "firefox-esr" : "chromium") + ")");
    }
    // A browser that is not there needs no manifest, but one left for it
    // (or put in a root being checked before it is installed) still counts.
    const bool expected = request.browsersNamed || BrowserInstalled(browser, env);
    if (!BrowserInstalled(browser, env))
      c.Add(request.browsersNamed ? Level::Warning : Level::Info, std::nullopt,
            "is not installed (looked for " + BrowserPrograms(browser, env).front().string() + ")");
    std::vector<Scope> scopes;
    if (request.scope)
      scopes.push_back(*request.scope);
    else
      scopes = {Scope::User, Scope::System};
    bool anyGood = false;
    bool goodUser = false;
    bool goodSystem = false;
    std::vector<std::string> looked;
    for (Scope scope : scopes) {
      const fs::path manifest = ManifestPath(browser, scope, env);
      std::error_code ec;
      if (!fs::exists(manifest, ec)) {
        looked.push_back(manifest.string());
        continue;
      }
      const bool good = CheckManifest(c, scope, manifest, env, request, prober);
      anyGood |= good;
      (scope == Scope::User ? goodUser : goodSystem) |= good;
    }
    if (!expected && looked.size() == scopes.size()) continue;
    if (!looked.empty() && !anyGood) {
      std::string where = looked.front();
      for (std::size_t i = 1; i < looked.size(); ++i) where += " nor " + looked[i];
      c.Add(Level::Failure, request.scope,
            "no host manifest at " + where + ": run npsigil-cert browser install" +
                (request.scope == Scope::System ? " --system" : ""));
    }
    if (browser == BrowserKind::Firefox)
      CheckFirefoxPolicies(c, env);
    else
      CheckChromiumPolicies(c, env, goodUser && !goodSystem);
    if (request.scope != Scope::System) CheckProfiles(c, env);
  }
  return findings;
}

bool AnyFailure(const std::vector<Finding>& findings) {
  for (const Finding& finding : findings)
    if (finding.level == Level::Failure) return true;
  return false;
}

}  // namespace install
