// Why a browser does or does not find npsigil-bridge, one finding at a
// time: the manifests where it looks (there, readable, ours, pointing at a
// host of this version that passes its self-test, allowing our extension),
// policies that block native hosts, the extension in the user's profiles,
// and sandboxed packages that cannot start native hosts at all.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "install/BrowserPlaces.h"

namespace install {

enum class Level { Ok, Info, Warning, Failure };
std::string_view LevelName(Level level);  // "ok", "info", "warn", "FAIL"

struct Finding {
  Level level;
  BrowserKind browser;
  std::optional<Scope> scope;
  std::string text;
  std::filesystem::path path;  // the file concerned, if any
};

// What running `<host> --self-test` told.
struct HostProbe {
  bool ran = false;
  int exitCode = -1;
  std::string version;  // from its first line
  std::string failure;  // its first FAILED line, if any
};
using HostProber = std::function<HostProbe(const std::filesystem::path& host)>;
HostProbe ProbeHost(const std::filesystem::path& host);

struct StatusRequest {
  std::vector<BrowserKind> browsers;
  bool browsersNamed = false;   // the user named them: a missing browser is worth a warning
  std::optional<Scope> scope;   // none: a good manifest in either place will do
  std::string expectedVersion;  // the host version this tool belongs with
};

std::vector<Finding> Diagnose(const StatusRequest& request, const Environment& env,
                              const HostProber& prober);
bool AnyFailure(const std::vector<Finding>& findings);

}  // namespace install
