// The extensions this host serves. The Chromium id follows from the public
// key in browser/extension/manifest.json (the first 32 hex digits of the
// key's SHA-256, written with the letters a-p); Firefox takes the id from
// the manifest's browser_specific_settings.
#pragma once

#include <string_view>

namespace bridge {

inline constexpr std::string_view kHostName = "org.npsigil.bridge";
inline constexpr std::string_view kChromiumExtensionId = "paojbdpmojlneibjgjlcnepdkkedbhcm";
inline constexpr std::string_view kFirefoxExtensionId = "npsigil@npsigil.invalid";

// Chromium names its caller as "chrome-extension://<id>/".
inline bool IsKnownChromiumOrigin(std::string_view origin) {
  constexpr std::string_view prefix = "chrome-extension://";
  return origin.size() == prefix.size() + kChromiumExtensionId.size() + 1 &&
         origin.starts_with(prefix) && origin.ends_with('/') &&
         origin.substr(prefix.size(), kChromiumExtensionId.size()) == kChromiumExtensionId;
}

inline bool IsKnownFirefoxId(std::string_view id) { return id == kFirefoxExtensionId; }

}  // namespace bridge
