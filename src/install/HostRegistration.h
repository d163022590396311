// Writing and removing our host manifests where the browsers look. Only
// files that are ours are ever replaced or removed: a manifest of the same
// name that names another host is left alone and reported.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "install/BrowserPlaces.h"

namespace install {

struct RegistrationStep {
  BrowserKind browser;
  Scope scope;
  std::filesystem::path manifest;
  bool done = false;
  std::string text;  // what happened, or why not
};

// The installed host: `--host` as given, else NPSIGIL_BRIDGE, else beside
// this program, in ../plugins (a build tree) or ../lib/npsigil (an
// installed one). Empty when none is executable.
std::filesystem::path FindHost(const std::optional<std::string>& given,
                               const std::filesystem::path& self);

// Our manifest's text for the browser, naming `host`.
std::string ManifestText(BrowserKind browser, const std::filesystem::path& host);

// Whether a manifest file is one of ours (parses and names our host).
bool IsOurManifest(const std::filesystem::path& manifest);

// Removes step.manifest when it is there and `isOurs` says it is ours,
// and says which of those it was in step.done and step.text.
void RemoveOurFile(RegistrationStep& step,
                   const std::function<bool(const std::filesystem::path&)>& isOurs);

std::vector<RegistrationStep> InstallManifests(std::span<const BrowserKind> browsers, Scope scope,
                                               const Environment& env,
                                               const std::filesystem::path& host);
std::vector<RegistrationStep> UninstallManifests(std::span<const BrowserKind> browsers,
                                                 Scope scope, const Environment& env);

}  // namespace install
