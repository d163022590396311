#include "install/PolicyRegistration.h"

#include <system_error>

#include <nlohmann/json.hpp>

#include "bridge/KnownExtensions.h"
#include "install/JsonFile.h"

namespace install {
namespace fs = std::filesystem;
using Json = nlohmann::json;

namespace {

constexpr char kForcelist[] = "ExtensionInstallForcelist";

bool UsableUrl(const std::string& url) {
  return url.starts_with("https://") || url.starts_with("file:///");
}

std::string ForcelistEntry(const std::string& updateUrl) {
  return std::string(bridge::kChromiumExtensionId) + ";" + updateUrl;
}

// Our file holds our forcelist entry and nothing else; anything more means
// someone else wrote it, or into it.
bool IsOurPolicy(const Json& json) {
  if (!json.is_object() || json.size() != 1 || !json.contains(kForcelist)) return false;
  const Json& list = json[kForcelist];
  if (!list.is_array()) return false;
  for (const Json& entry : list)
    if (!entry.is_string() ||
        !entry.get_ref<const std::string&>().starts_with(std::string(bridge::kChromiumExtensionId) +
                                                         ";"))
      return false;
  return true;
}

RegistrationStep InstallChromiumPolicy(BrowserKind browser, const Environment& env,
                                       const std::string& updateUrl) {
  RegistrationStep step{browser, Scope::System, OurPolicyFile(browser, env), false, {}};
  if (!UsableUrl(updateUrl)) {
    step.text = "force-install needs --update-url: the https: or file: address of the update "
                "manifest of a signed npSigil crx";
    return step;
  }
  // Chromium takes each policy from one file only: a second forcelist
  // beside the administrator's would hide theirs or ours.
  for (const fs::path& file : PolicyFiles(browser, env)) {
    if (file == step.manifest) continue;
    std::string why;
    const auto json = ReadJsonFile(file, &why);
    if (json && json->is_object() && json->contains(kForcelist)) {
      step.text = "left alone: " + file.string() + " already sets " + kForcelist + "; add \"" +
                  ForcelistEntry(updateUrl) + "\" to it";
      return step;
    }
  }
  std::error_code ec;
  if (fs::exists(fs::symlink_status(step.manifest, ec))) {
    std::string why;
    const auto json = ReadJsonFile(step.manifest, &why);
    if (!json || !IsOurPolicy(*json)) {
      step.text = "left alone: " + step.manifest.string() + " is not npSigil's";
      return step;
    }
  }
  fs::create_directories(step.manifest.parent_path(), ec);
  if (ec) {
    step.text = "cannot make " + step.manifest.parent_path().string() + ": " + ec.message();
    return step;
  }
  const Json policy = {{kForcelist, Json::array({ForcelistEntry(updateUrl)})}};
  if (WriteFileAtomically(step.manifest, policy.dump(2) + "\n", &step.text)) {
    step.done = true;
    step.text = "wrote " + step.manifest.string() + " (force-installs from " + updateUrl + ")";
  }
  return step;
}

RegistrationStep UninstallChromiumPolicy(BrowserKind browser, const Environment& env) {
  RegistrationStep step{browser, Scope::System, OurPolicyFile(browser, env), false, {}};
  RemoveOurFile(step, [](const fs::path& file) {
    std::string why;
    const auto json = ReadJsonFile(file, &why);
    return json && IsOurPolicy(*json);
  });
  return step;
}

// policies.json as an object whose "policies" and "ExtensionSettings" are
// objects (made when absent), or why it cannot be merged into.
std::optional<Json> ReadFirefoxPolicies(const fs::path& file, std::string* why) {
  std::error_code ec;
  const auto status = fs::symlink_status(file, ec);
  if (!fs::exists(status)) return Json::object();
  if (fs::is_symlink(status)) {
    *why = file.string() + " is a symbolic link";
    return std::nullopt;
  }
  auto json = ReadJsonFile(file, why);
  if (!json) {
    *why = file.string() + " " + *why;
    return std::nullopt;
  }
  const bool shaped = json->is_object() &&
                      (!json->contains("policies") || (*json)["policies"].is_object()) &&
                      (!json->contains("policies") ||
                       !(*json)["policies"].contains("ExtensionSettings") ||
                       (*json)["policies"]["ExtensionSettings"].is_object());
  if (!shaped) {
    *why = file.string() + " does not hold policies as Firefox reads them";
    return std::nullopt;
  }
  return json;
}

RegistrationStep InstallFirefoxPolicy(const Environment& env, const std::string& xpiUrl) {
  RegistrationStep step{BrowserKind::Firefox, Scope::System, FirefoxPolicyFile(env), false, {}};
  if (!UsableUrl(xpiUrl)) {
    step.text = "force-install needs --xpi-url: the https: or file: address of the signed "
                "npSigil xpi";
    return step;
  }
  std::string why;
  auto json = ReadFirefoxPolicies(step.manifest, &why);
  if (!json) {
    step.text = "left alone: " + why;
    return step;
  }
  (*json)["policies"]["ExtensionSettings"][std::string(bridge::kFirefoxExtensionId)] = {
      {"installation_mode", "force_installed"}, {"install_url", xpiUrl}};
  std::error_code ec;
  fs::create_directories(step.manifest.parent_path(), ec);
  if (ec) {
    step.text = "cannot make " + step.manifest.parent_path().string() + ": " + ec.message();
  } else if (WriteFileAtomically(step.manifest, json->dump(2) + "\n", &step.text)) {
    step.done = true;
    step.text = "merged into " + step.manifest.string() + " (force-installs from " + xpiUrl + ")";
  }
  return step;
}

RegistrationStep UninstallFirefoxPolicy(const Environment& env) {
  RegistrationStep step{BrowserKind::Firefox, Scope::System, FirefoxPolicyFile(env), false, {}};
  std::string why;
  auto json = ReadFirefoxPolicies(step.manifest, &why);
  if (!json) {
    step.text = "left alone: " + why;
    return step;
  }
  Json* settings = nullptr;
  if (json->contains("policies") && (*json)["policies"].contains("ExtensionSettings"))
    settings = &(*json)["policies"]["ExtensionSettings"];
  if (!settings || settings->erase(std::string(bridge::kFirefoxExtensionId)) == 0) {
    step.done = true;
    step.text = "no npSigil entry in " + step.manifest.string();
    return step;
  }
  if (settings->empty()) (*json)["policies"].erase("ExtensionSettings");
  std::error_code ec;
  if (json->size() == 1 && (*json)["policies"].empty()) {
    // Only our entry was there: the file goes, as install found it absent.
    if (!fs::remove(step.manifest, ec) || ec) {
      step.text = "cannot remove " + step.manifest.string() + ": " + ec.message();
      return step;
    }
    step.done = true;
    step.text = "removed " + step.manifest.string();
  } else if (WriteFileAtomically(step.manifest, json->dump(2) + "\n", &step.text)) {
    step.done = true;
    step.text = "took the npSigil entry out of " + step.manifest.string();
  }
  return step;
}

}  // namespace

fs::path OurPolicyFile(BrowserKind browser, const Environment& env) {
  return ManagedPolicyFolder(browser, env) / "npsigil.json";
}

std::vector<RegistrationStep> InstallPolicies(std::span<const BrowserKind> browsers,
                                              const Environment& env,
                                              const ExtensionSource& source) {
  std::vector<RegistrationStep> steps;
  for (BrowserKind browser : browsers)
    steps.push_back(browser == BrowserKind::Firefox
                        ? InstallFirefoxPolicy(env, source.xpiUrl)
                        : InstallChromiumPolicy(browser, env, source.updateUrl));
  return steps;
}

std::vector<RegistrationStep> UninstallPolicies(std::span<const BrowserKind> browsers,
                                                const Environment& env) {
  std::vector<RegistrationStep> steps;
  for (BrowserKind browser : browsers)
    steps.push_back(browser == BrowserKind::Firefox ? UninstallFirefoxPolicy(env)
                                                    : UninstallChromiumPolicy(browser, env));
  return steps;
}

}  // namespace install
