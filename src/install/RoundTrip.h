// One real call from a page through a browser, the extension and the host
// the browser finds: `npsigil-cert browser test`. The browser runs headless
// in a throw-away profile that loads the extension from its folder; the
// host comes from the manifests the user or the machine registered.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>

#include "install/BrowserPlaces.h"

namespace install {

struct RoundTripRequest {
  BrowserKind browser;
  std::filesystem::path program;    // the browser's executable
  std::filesystem::path extension;  // the unpacked extension's folder
  Environment env;
  std::chrono::seconds timeout{60};
};

struct RoundTripResult {
  bool ok = false;
  std::string text;  // what the page found, or why there was no answer
};

RoundTripResult RunRoundTrip(const RoundTripRequest& request);

// The page's report (the JSON it posts) as a line for the user.
RoundTripResult ReadReport(std::string_view report);

}  // namespace install
