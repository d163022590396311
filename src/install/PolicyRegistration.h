// Making the browsers install the npSigil extension by machine policy
// (`npsigil-cert browser install --system --policy`). Chromium and Chrome
// take an ExtensionInstallForcelist entry from a file of ours in their
// managed folder; Firefox reads a single policies.json, into which our
// ExtensionSettings entry is merged beside whatever else it holds. Taking
// it back removes our entry and nothing else.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "install/BrowserPlaces.h"
#include "install/HostRegistration.h"

namespace install {

// Where each browser fetches the extension: Chromium and Chrome the update
// manifest of a crx signed with the key the extension's ID comes from,
// Firefox a signed xpi. https: or file: addresses.
struct ExtensionSource {
  std::string updateUrl;  // Chromium, Chrome
  std::string xpiUrl;     // Firefox
};

// Our policy file in Chromium's or Chrome's managed folder.
std::filesystem::path OurPolicyFile(BrowserKind browser, const Environment& env);

std::vector<RegistrationStep> InstallPolicies(std::span<const BrowserKind> browsers,
                                              const Environment& env,
                                              const ExtensionSource& source);
std::vector<RegistrationStep> UninstallPolicies(std::span<const BrowserKind> browsers,
                                                const Environment& env);

}  // namespace install
