#include "install/BrowserPlaces.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <system_error>

#include "bridge/KnownExtensions.h"

namespace install {
namespace fs = std::filesystem;

namespace {

bool Exists(const fs::path& path) {
  std::error_code ec;
  return fs::exists(path, ec);
}

bool IsFolder(const fs::path& path) {
  std::error_code ec;
  return fs::is_directory(path, ec);
}

// Firefox lists its profiles in profiles.ini, each "Path=" relative to the
// file's folder unless IsRelative=0.
void AddIniProfiles(const fs::path& folder, std::vector<fs::path>* out) {
  std::ifstream ini(folder / "profiles.ini");
  std::string line;
  bool relative = true;
  std::string path;
  auto flush = [&] {
    if (!path.empty()) {
      const fs::path profile = relative ? folder / path : fs::path(path);
      if (IsFolder(profile)) out->push_back(profile);
    }
    path.clear();
    relative = true;
  };
  while (std::getline(ini, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.starts_with("[")) flush();
    if (line.starts_with("Path=")) path = line.substr(5);
    if (line == "IsRelative=0") relative = false;
  }
  flush();
}

}  // namespace

Environment Environment::FromProcess(fs::path root) {
  Environment env;
  const char* home = std::getenv("HOME");
  env.home = home && *home ? home : "/";
  const char* config = std::getenv("XDG_CONFIG_HOME");
  env.configHome = config && *config == '/' ? fs::path(config) : env.home / ".config";
  env.root = std::move(root);
  return env;
}

fs::path Environment::System(std::string_view absolute) const {
  return root / fs::path(absolute).relative_path();
}

std::string_view BrowserName(BrowserKind browser) {
  switch (browser) {
    case BrowserKind::Chromium: return "chromium";
    case BrowserKind::Chrome: return "chrome";
    case BrowserKind::Firefox: return "firefox";
  }
  return "?";
}

std::string_view ScopeName(Scope scope) { return scope == Scope::User ? "user" : "system"; }

std::optional<std::vector<BrowserKind>> BrowsersNamed(std::string_view name) {
  if (name == "all") return std::vector<BrowserKind>(std::begin(kAllBrowsers), std::end(kAllBrowsers));
  for (BrowserKind browser : kAllBrowsers)
    if (name == BrowserName(browser)) return std::vector<BrowserKind>{browser};
  return std::nullopt;
}

fs::path ManifestFolder(BrowserKind browser, Scope scope, const Environment& env) {
  if (scope == Scope::User) {
    switch (browser) {
      case BrowserKind::Chromium: return env.configHome / "chromium" / "NativeMessagingHosts";
      case BrowserKind::Chrome: return env.configHome / "google-chrome" / "NativeMessagingHosts";
      case BrowserKind::Firefox: return env.home / ".mozilla" / "native-messaging-hosts";
    }
  }
  switch (browser) {
    case BrowserKind::Chromium: return env.System("/etc/chromium/native-messaging-hosts");
    case BrowserKind::Chrome: return env.System("/etc/opt/chrome/native-messaging-hosts");
    case BrowserKind::Firefox: return env.System("/usr/lib/mozilla/native-messaging-hosts");
  }
  return {};
}

fs::path ManifestPath(BrowserKind browser, Scope scope, const Environment& env) {
  return ManifestFolder(browser, scope, env) / (std::string(bridge::kHostName) + ".json");
}

std::vector<fs::path> BrowserPrograms(BrowserKind browser, const Environment& env) {
  switch (browser) {
    case BrowserKind::Chromium: return {env.System("/usr/bin/chromium")};
    case BrowserKind::Chrome:
      return {env.System("/usr/bin/google-chrome"), env.System("/opt/google/chrome/chrome")};
    case BrowserKind::Firefox:
      return {env.System("/usr/bin/firefox-esr"), env.System("/usr/bin/firefox")};
  }
  return {};
}

bool BrowserInstalled(BrowserKind browser, const Environment& env) {
  for (const fs::path& program : BrowserPrograms(browser, env))
    if (Exists(program)) return true;
  return false;
}

fs::path ManagedPolicyFolder(BrowserKind browser, const Environment& env) {
  return env.System(browser == BrowserKind::Chrome ? "/etc/opt/chrome/policies/managed"
                                                   : "/etc/chromium/policies/managed");
}

namespace {
// In the order Firefox prefers them: a file in /etc hides the others.
constexpr const char* kFirefoxPolicyFiles[] = {"/etc/firefox/policies/policies.json",
                                               "/usr/lib/firefox-esr/distribution/policies.json",
                                               "/usr/lib/firefox/distribution/policies.json"};
}  // namespace

fs::path FirefoxPolicyFile(const Environment& env) {
  for (const char* path : kFirefoxPolicyFiles)
    if (Exists(env.System(path))) return env.System(path);
  return env.System(kFirefoxPolicyFiles[0]);
}

std::vector<fs::path> PolicyFiles(BrowserKind browser, const Environment& env) {
  std::vector<fs::path> files;
  if (browser == BrowserKind::Firefox) {
    for (const char* path : kFirefoxPolicyFiles)
      if (Exists(env.System(path))) files.push_back(env.System(path));
    return files;
  }
  std::error_code ec;
  for (fs::directory_iterator it(ManagedPolicyFolder(browser, env), ec), end; !ec && it != end;
       it.increment(ec))
    if (it->path().extension() == ".json") files.push_back(it->path());
  std::sort(files.begin(), files.end());
  return files;
}

std::vector<fs::path> ProfileFolders(BrowserKind browser, const Environment& env) {
  std::vector<fs::path> profiles;
  if (browser == BrowserKind::Firefox) {
    AddIniProfiles(env.home / ".mozilla" / "firefox", &profiles);
    AddIniProfiles(env.configHome / "mozilla" / "firefox", &profiles);
    return profiles;
  }
  const fs::path data =
      env.configHome / (browser == BrowserKind::Chromium ? "chromium" : "google-chrome");
  std::error_code ec;
  for (fs::directory_iterator it(data, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if ((name == "Default" || name.starts_with("Profile ")) && Exists(it->path() / "Preferences"))
      profiles.push_back(it->path());
  }
  std::sort(profiles.begin(), profiles.end());
  return profiles;
}

std::optional<std::string> SandboxedPackage(BrowserKind browser, const Environment& env) {
  const char* snap = nullptr;
  const char* flatpak = nullptr;
  switch (browser) {
    case BrowserKind::Chromium:
      snap = "chromium";
      flatpak = "org.chromium.Chromium";
      break;
    case BrowserKind::Chrome:
      flatpak = "com.google.Chrome";
      break;
    case BrowserKind::Firefox:
      snap = "firefox";
      flatpak = "org.mozilla.firefox";
      break;
  }
  if (snap && Exists(env.System("/snap/bin") / snap))
    return "a snap package (" + env.System("/snap/bin").string() + "/" + snap + ")";
  for (const fs::path& apps : {env.System("/var/lib/flatpak/app"),
                               env.home / ".local" / "share" / "flatpak" / "app"})
    if (IsFolder(apps / flatpak)) return "a flatpak (" + (apps / flatpak).string() + ")";
  return std::nullopt;
}

}  // namespace install
