// npsigil-bridge: started by the browser for the npSigil extension, or by
// hand to print what installing it needs.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "bridge/Host.h"
#include "bridge/KnownExtensions.h"
#include "bridge/Manifest.h"
#include "bridge/SelfTest.h"
#include "bridge/Services.h"
#include "trace/Trace.h"

namespace {

constexpr const char kUsage[] =
    "usage: npsigil-bridge --print-manifest chromium|firefox\n"
    "       npsigil-bridge --extension-dir\n"
    "       npsigil-bridge --self-test\n"
    "Otherwise the browser starts npsigil-bridge for the npSigil extension.\n";

int PrintManifest(const char* name) {
  const auto browser = name ? bridge::BrowserNamed(name) : std::nullopt;
  if (!browser) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const std::string program = bridge::ProgramPath();
  if (program.empty()) {
    std::fputs("npsigil-bridge: cannot learn this program's path\n", stderr);
    return 1;
  }
  std::fputs(bridge::HostManifest(*browser, program).c_str(), stdout);
  return 0;
}

int PrintExtensionDir() {
  const auto folder = bridge::ExtensionFolder(bridge::ProgramPath());
  if (!folder) {
    std::fputs("npsigil-bridge: no built extension beside this program "
               "(extension/, or share/npsigil/extension above it)\n",
               stderr);
    return 1;
  }
  std::printf("%s\n", folder->c_str());
  return 0;
}

// Chromium passes the caller's origin, Firefox the manifest path and the
// extension's id.
bool CallerKnown(int argc, char** argv) {
  if (argc >= 2 && bridge::IsKnownChromiumOrigin(argv[1])) return true;
  if (argc >= 3 && bridge::IsKnownFirefoxId(argv[2])) return true;
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "--print-manifest") == 0)
    return PrintManifest(argc >= 3 ? argv[2] : nullptr);
  if (argc >= 2 && std::strcmp(argv[1], "--extension-dir") == 0) return PrintExtensionDir();
  if (argc >= 2 && std::strcmp(argv[1], "--self-test") == 0) return bridge::RunSelfTest(stdout);
  if (argc < 2) {
    if (::isatty(STDIN_FILENO)) {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }
  if (!CallerKnown(argc, argv)) {
    std::fputs("npsigil-bridge: refusing a caller that is not the npSigil extension\n", stderr);
    return 2;
  }
  // A browser that went away must not kill us halfway through a frame.
  ::signal(SIGPIPE, SIG_IGN);
  StartTracing();
  const int code = bridge::RunHost(STDIN_FILENO, STDOUT_FILENO, bridge::RealServices());
  StopTracing();
  // Calls still running inside an agent after the drain are abandoned.
  std::fflush(stdout);
  ::_exit(code);
}
