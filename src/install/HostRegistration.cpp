#include "install/HostRegistration.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <system_error>

#include <nlohmann/json.hpp>

#include "bridge/KnownExtensions.h"
#include "bridge/Manifest.h"

namespace install {
namespace fs = std::filesystem;

namespace {

bool Executable(const fs::path& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// Written beside and renamed into place, so a browser starting meanwhile
// reads the old manifest or the new one, never half of one.
bool WriteAtomically(const fs::path& path, const std::string& text, std::string* why) {
  const fs::path temp = path.string() + ".npsigil-new";
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) {
    *why = "cannot write " + temp.string() + ": " + std::generic_category().message(errno);
    return false;
  }
  ::fchmod(fd, 0644);  // whatever the umask: browsers run as the user
  const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                       ::fsync(fd) == 0;
  const bool closed = ::close(fd) == 0;
  if (!written || !closed || ::rename(temp.c_str(), path.c_str()) != 0) {
    *why = "cannot write " + path.string() + ": " + std::generic_category().message(errno);
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}

}  // namespace

fs::path FindHost(const std::optional<std::string>& given, const fs::path& self) {
  std::vector<fs::path> candidates;
  if (given) {
    candidates.push_back(*given);
  } else {
    if (const char* env = std::getenv("NPSIGIL_BRIDGE"); env && *env) candidates.push_back(env);
    const fs::path folder = self.parent_path();
    candidates.push_back(folder / "npsigil-bridge");
    candidates.push_back(folder / ".." / "plugins" / "npsigil-bridge");
    candidates.push_back(folder / ".." / "lib" / "npsigil" / "npsigil-bridge");
  }
  for (const fs::path& candidate : candidates) {
    std::error_code ec;
    const fs::path absolute = fs::weakly_canonical(fs::absolute(candidate), ec);
    if (!ec && Executable(absolute)) return absolute;
  }
  return {};
}

std::string ManifestText(BrowserKind browser, const fs::path& host) {
  return bridge::HostManifest(
      browser == BrowserKind::Firefox ? bridge::Browser::Firefox : bridge::Browser::Chromium,
      host.string());
}

bool IsOurManifest(const fs::path& manifest) {
  std::ifstream in(manifest);
  if (!in) return false;
  std::stringstream text;
  text << in.rdbuf();
  const auto json = nlohmann::json::parse(text.str(), nullptr, false);
  return json.is_object() && json.value("name", "") == bridge::kHostName;
}

std::vector<RegistrationStep> InstallManifests(std::span<const BrowserKind> browsers, Scope scope,
                                               const Environment& env, const fs::path& host) {
  std::vector<RegistrationStep> steps;
  for (BrowserKind browser : browsers) {
    RegistrationStep step{browser, scope, ManifestPath(browser, scope, env), false, {}};
    std::error_code ec;
    if (fs::exists(fs::symlink_status(step.manifest, ec)) && !IsOurManifest(step.manifest)) {
      step.text = "left alone: " + step.manifest.string() + " is not npSigil's";
    } else {
      fs::create_directories(step.manifest.parent_path(), ec);
      if (ec) {
        step.text = "cannot make " + step.manifest.parent_path().string() + ": " + ec.message();
      } else if (WriteAtomically(step.manifest, ManifestText(browser, host), &step.text)) {
        step.done = true;
        step.text = "wrote " + step.manifest.string();
      }
    }
    steps.push_back(std::move(step));
  }
  return steps;
}

std::vector<RegistrationStep> UninstallManifests(std::span<const BrowserKind> browsers,
                                                 Scope scope, const Environment& env) {
  std::vector<RegistrationStep> steps;
  for (BrowserKind browser : browsers) {
    RegistrationStep step{browser, scope, ManifestPath(browser, scope, env), false, {}};
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(step.manifest, ec))) {
      step.done = true;
      step.text = "nothing at " + step.manifest.string();
    } else if (!IsOurManifest(step.manifest)) {
      step.text = "left alone: " + step.manifest.string() + " is not npSigil's";
    } else if (!fs::remove(step.manifest, ec) || ec) {
      step.text = "cannot remove " + step.manifest.string() + ": " + ec.message();
    } else {
      step.done = true;
      step.text = "removed " + step.manifest.string();
    }
    steps.push_back(std::move(step));
  }
  return steps;
}

}  // namespace install
