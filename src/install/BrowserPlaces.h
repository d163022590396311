// Where each browser looks for native-messaging host manifests, its
// policies and its profiles. System places sit under a root (normally "/",
// another for an unpacked package); the user's under their home.
#pragma once

#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace install {

enum class BrowserKind { Chromium, Chrome, Firefox };
enum class Scope { User, System };

inline constexpr BrowserKind kAllBrowsers[] = {BrowserKind::Chromium, BrowserKind::Chrome,
                                               BrowserKind::Firefox};

struct Environment {
  std::filesystem::path home;        // the user's home
  std::filesystem::path configHome;  // XDG_CONFIG_HOME, else home/.config
  std::filesystem::path root = "/";  // prefix of every system path

  // From HOME and XDG_CONFIG_HOME, with the given root.
  static Environment FromProcess(std::filesystem::path root = "/");
  std::filesystem::path System(std::string_view absolute) const;
};

std::string_view BrowserName(BrowserKind browser);
std::string_view ScopeName(Scope scope);
// "chromium", "chrome", "firefox", or "all".
std::optional<std::vector<BrowserKind>> BrowsersNamed(std::string_view name);

// The folder that holds `<host name>.json` for the browser in that scope.
std::filesystem::path ManifestFolder(BrowserKind browser, Scope scope, const Environment& env);
std::filesystem::path ManifestPath(BrowserKind browser, Scope scope, const Environment& env);

// The browser's programs as Debian installs them; the first that exists
// under the root means the browser is installed.
std::vector<std::filesystem::path> BrowserPrograms(BrowserKind browser, const Environment& env);
bool BrowserInstalled(BrowserKind browser, const Environment& env);

// Chromium's or Chrome's folder of managed policy files.
std::filesystem::path ManagedPolicyFolder(BrowserKind browser, const Environment& env);
// The policies.json Firefox reads: the first of /etc/firefox/policies and
// the distribution folders that has one, else the one in /etc to create.
std::filesystem::path FirefoxPolicyFile(const Environment& env);

// Managed policy files (Chromium and Chrome: every *.json of the managed
// folder; Firefox: policies.json where Debian's builds read it).
std::vector<std::filesystem::path> PolicyFiles(BrowserKind browser, const Environment& env);

// Profile folders found for the user.
std::vector<std::filesystem::path> ProfileFolders(BrowserKind browser, const Environment& env);

// A sandboxed package of the browser (snap, flatpak), which cannot start
// native hosts: a description of what was found, or nothing.
std::optional<std::string> SandboxedPackage(BrowserKind browser, const Environment& env);

}  // namespace install
