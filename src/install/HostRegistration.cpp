#include "install/HostRegistration.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>

#include <nlohmann/json.hpp>

#include "bridge/KnownExtensions.h"
#include "bridge/Manifest.h"
#include "install/JsonFile.h"

namespace install {
namespace fs = std::filesystem;

namespace {

bool Executable(const fs::path& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
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
  std::string why;
  const auto json = ReadJsonFile(manifest, &why);
  return json && json->is_object() && StringField(*json, "name") == bridge::kHostName;
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
      } else if (WriteFileAtomically(step.manifest, ManifestText(browser, host), &step.text)) {
        step.done = true;
        step.text = "wrote " + step.manifest.string();
      }
    }
    steps.push_back(std::move(step));
  }
  return steps;
}

void RemoveOurFile(RegistrationStep& step, const std::function<bool(const fs::path&)>& isOurs) {
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(step.manifest, ec))) {
    step.done = true;
    step.text = "nothing at " + step.manifest.string();
  } else if (!isOurs(step.manifest)) {
    step.text = "left alone: " + step.manifest.string() + " is not npSigil's";
  } else if (!fs::remove(step.manifest, ec) || ec) {
    step.text = "cannot remove " + step.manifest.string() + ": " + ec.message();
  } else {
    step.done = true;
    step.text = "removed " + step.manifest.string();
  }
}

std::vector<RegistrationStep> UninstallManifests(std::span<const BrowserKind> browsers,
                                                 Scope scope, const Environment& env) {
  std::vector<RegistrationStep> steps;
  for (BrowserKind browser : browsers) {
    RegistrationStep step{browser, scope, ManifestPath(browser, scope, env), false, {}};
    RemoveOurFile(step, IsOurManifest);
    steps.push_back(std::move(step));
  }
  return steps;
}

}  // namespace install
