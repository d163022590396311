// npsigil-cert browser install | uninstall | status | test: registering
// the bridge's host with the browsers (and, for a machine, the extension by
// policy), the diagnosis a user or a help desk runs when a page says
// npSigil is not there, and one real call through a headless browser.
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

#include "CliSupport.h"
#include "Commands.h"
#include "bridge/Manifest.h"
#include "bridge/MethodTable.h"
#include "install/BrowserPlaces.h"
#include "install/Diagnosis.h"
#include "install/HostRegistration.h"
#include "install/PolicyRegistration.h"
#include "install/RoundTrip.h"

namespace certcli {
namespace {

struct BrowserArgs {
  std::vector<install::BrowserKind> browsers;
  bool named = false;
  std::optional<install::Scope> scope;
  install::Environment env;
};

std::optional<BrowserArgs> ReadBrowserArgs(const ParsedArgs& parsed, bool scopeDefaultsToUser) {
  BrowserArgs out;
  if (parsed.Has("--user") && parsed.Has("--system")) {
    Error("--user and --system exclude each other");
    return std::nullopt;
  }
  if (parsed.Has("--user")) out.scope = install::Scope::User;
  if (parsed.Has("--system")) out.scope = install::Scope::System;
  if (!out.scope && scopeDefaultsToUser) out.scope = install::Scope::User;
  const std::string* name = parsed.Value("--browser");
  out.named = name && *name != "all";
  const auto browsers = install::BrowsersNamed(name ? *name : "all");
  if (!browsers) {
    Error("--browser takes chromium, chrome, firefox or all, not \"" + *name + "\"");
    return std::nullopt;
  }
  out.browsers = *browsers;
  const std::string* root = parsed.Value("--root");
  if (root && (root->empty() || root->front() != '/')) {
    Error("--root takes an absolute folder");
    return std::nullopt;
  }
  out.env = install::Environment::FromProcess(root ? *root : "/");
  return out;
}

int Report(const std::vector<install::RegistrationStep>& steps) {
  bool failed = false;
  for (const auto& step : steps) {
    std::printf("%-4s %s %s: %s\n", step.done ? "ok" : "FAIL",
                std::string(install::BrowserName(step.browser)).c_str(),
                std::string(install::ScopeName(step.scope)).c_str(), step.text.c_str());
    failed |= !step.done;
  }
  return failed ? kExitFailure : kExitOk;
}

std::string Text(const ParsedArgs& parsed, std::string_view name) {
  const std::string* value = parsed.Value(name);
  return value ? *value : std::string();
}

// --host as given, else the host installed beside this tool.
std::filesystem::path HostNamed(const ParsedArgs& parsed) {
  const std::string* given = parsed.Value("--host");
  return install::FindHost(given ? std::optional(*given) : std::nullopt, bridge::ProgramPath());
}

// Policies bind the whole machine: only with --system.
bool PolicyArgsFit(const ParsedArgs& parsed, const BrowserArgs& args) {
  const bool urls = parsed.Value("--update-url") || parsed.Value("--xpi-url");
  if (!parsed.Has("--policy") && urls) {
    Error("--update-url and --xpi-url go with --policy");
    return false;
  }
  if (parsed.Has("--policy") && args.scope != install::Scope::System) {
    Error("--policy writes machine policy: give --system");
    return false;
  }
  return true;
}

int Install(const ParsedArgs& parsed) {
  const auto args = ReadBrowserArgs(parsed, true);
  if (!args || !PolicyArgsFit(parsed, *args)) return kExitUsage;
  const install::Scope scope = *args->scope;
  const auto host = HostNamed(parsed);
  if (host.empty()) {
    Error("no executable npsigil-bridge found (give it with --host PATH)");
    return kExitFailure;
  }
  const auto probe = install::ProbeHost(host);
  if (!probe.ran || probe.exitCode != 0) {
    Error("the host " + host.string() + " fails its self-test" +
          (probe.failure.empty() ? "" : ": " + probe.failure) + "; nothing installed");
    return kExitFailure;
  }
  // Unless named, only the browsers that are there: no stray folders of a
  // browser the user never installed.
  std::vector<install::BrowserKind> browsers;
  for (install::BrowserKind browser : args->browsers)
    if (args->named || install::BrowserInstalled(browser, args->env)) browsers.push_back(browser);
  if (browsers.empty()) {
    Error("no Chromium, Chrome or Firefox found; name one with --browser");
    return kExitFailure;
  }
  auto steps = install::InstallManifests(browsers, scope, args->env, host);
  if (parsed.Has("--policy")) {
    const install::ExtensionSource source{Text(parsed, "--update-url"), Text(parsed, "--xpi-url")};
    for (auto& step : install::InstallPolicies(browsers, args->env, source))
      steps.push_back(std::move(step));
  }
  const int code = Report(steps);
  if (code == kExitOk && !parsed.Has("--policy")) {
    const auto extension = bridge::ExtensionFolder(host.string());
    std::printf("The browser still needs the npSigil extension%s%s.\n",
                extension ? ": load it from " : "", extension ? extension->c_str() : "");
  }
  return code;
}

int Uninstall(const ParsedArgs& parsed) {
  const auto args = ReadBrowserArgs(parsed, true);
  if (!args || !PolicyArgsFit(parsed, *args)) return kExitUsage;
  auto steps = install::UninstallManifests(args->browsers, *args->scope, args->env);
  if (parsed.Has("--policy"))
    for (auto& step : install::UninstallPolicies(args->browsers, args->env))
      steps.push_back(std::move(step));
  return Report(steps);
}

int Status(const ParsedArgs& parsed) {
  const auto args = ReadBrowserArgs(parsed, false);
  if (!args) return kExitUsage;
  install::StatusRequest request{args->browsers, args->named, args->scope, bridge::ModuleVersion()};
  const auto findings = install::Diagnose(request, args->env, install::ProbeHost);
  const bool failed = install::AnyFailure(findings);
  if (parsed.Has("--json")) {
    nlohmann::ordered_json out = {{"ok", !failed}, {"findings", nlohmann::ordered_json::array()}};
    for (const auto& f : findings) {
      nlohmann::ordered_json item = {{"level", install::LevelName(f.level)},
                                     {"browser", install::BrowserName(f.browser)}};
      item["scope"] = f.scope ? nlohmann::ordered_json(install::ScopeName(*f.scope)) : nullptr;
      item["text"] = f.text;
      item["path"] = f.path.empty() ? nlohmann::ordered_json(nullptr)
                                    : nlohmann::ordered_json(f.path.string());
      out["findings"].push_back(std::move(item));
    }
    std::printf("%s\n", out.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
  } else {
    for (const auto& f : findings) {
      std::string where(install::BrowserName(f.browser));
      if (f.scope) where += " " + std::string(install::ScopeName(*f.scope));
      std::printf("%-4s %s: %s%s%s\n", std::string(install::LevelName(f.level)).c_str(),
                  where.c_str(), f.text.c_str(), f.path.empty() ? "" : " [",
                  f.path.empty() ? "" : (f.path.string() + "]").c_str());
    }
    std::printf("%s\n", failed ? "Something is missing or wrong: see the FAIL lines above."
                               : "Nothing wrong found.");
  }
  return failed ? kExitFailure : kExitOk;
}

// Each browser named (or, by default, each one installed) loads the page
// in a throw-away profile with the extension from its folder; the host is
// whichever the browser finds where it looks.
int Test(const ParsedArgs& parsed) {
  const auto args = ReadBrowserArgs(parsed, false);
  if (!args) return kExitUsage;
  if (args->scope) {
    Error("test uses whichever manifest the browser finds: no --user or --system");
    return kExitUsage;
  }
  if (parsed.Has("--json") || parsed.Value("--root")) {
    Error("test takes --browser, --host and --timeout");
    return kExitUsage;
  }
  int seconds = 60;
  if (const std::string* timeout = parsed.Value("--timeout")) {
    const auto [end, ec] = std::from_chars(timeout->data(), timeout->data() + timeout->size(), seconds);
    if (ec != std::errc() || end != timeout->data() + timeout->size() || seconds < 1 ||
        seconds > 600) {
      Error("--timeout takes 1 to 600 seconds");
      return kExitUsage;
    }
  }
  const auto host = HostNamed(parsed);
  const auto extension = host.empty() ? std::nullopt : bridge::ExtensionFolder(host.string());
  if (!extension) {
    Error("the npSigil extension's folder is not found beside an npsigil-bridge (give one with "
          "--host PATH)");
    return kExitFailure;
  }
  bool failed = false;
  bool any = false;
  for (install::BrowserKind browser : args->browsers) {
    const std::string name(install::BrowserName(browser));
    std::filesystem::path program;
    for (const auto& candidate : install::BrowserPrograms(browser, args->env))
      if (::access(candidate.c_str(), X_OK) == 0) {
        program = candidate;
        break;
      }
    if (program.empty()) {
      if (args->named) {
        std::printf("FAIL %s: not installed\n", name.c_str());
        failed = true;
      }
      continue;
    }
    any = true;
    if (const auto sandboxed = install::SandboxedPackage(browser, args->env)) {
      std::printf("FAIL %s: installed as %s, which cannot start native hosts\n", name.c_str(),
                  sandboxed->c_str());
      failed = true;
      continue;
    }
    const auto result = install::RunRoundTrip(
        {browser, program, *extension, args->env, std::chrono::seconds(seconds)});
    std::printf("%-4s %s: %s\n", result.ok ? "ok" : "FAIL", name.c_str(), result.text.c_str());
    std::fflush(stdout);
    failed |= !result.ok;
  }
  if (!any && !args->named) {
    Error("no Chromium, Chrome or Firefox found to test with");
    return kExitFailure;
  }
  if (failed) std::printf("npsigil-cert browser status tells what is missing.\n");
  return failed ? kExitFailure : kExitOk;
}

}  // namespace

int RunBrowser(std::span<const std::string> args) {
  if (args.empty()) {
    Error("browser needs install, uninstall, status or test");
    return kExitUsage;
  }
  const OptionTable options{{"--user", "--system", "--json", "--policy"},
                            {"--browser", "--root", "--host", "--update-url", "--xpi-url",
                             "--timeout"}};
  const auto parsed = ParseArgs(args.subspan(1), options);
  if (!parsed) return kExitUsage;
  if (!parsed->positional.empty()) {
    Error("unexpected argument \"" + parsed->positional.front() + "\"");
    return kExitUsage;
  }
  const std::string& verb = args[0];
  if ((parsed->Value("--timeout") && verb != "test") ||
      ((parsed->Has("--policy") || parsed->Value("--update-url") || parsed->Value("--xpi-url")) &&
       verb != "install" && verb != "uninstall")) {
    Error("--policy, --update-url and --xpi-url go with install and uninstall, --timeout with test");
    return kExitUsage;
  }
  if (args[0] == "install") return Install(*parsed);
  if (args[0] == "uninstall") return Uninstall(*parsed);
  if (args[0] == "status") return Status(*parsed);
  if (args[0] == "test") return Test(*parsed);
  Error("browser needs install, uninstall, status or test, not \"" + args[0] + "\"");
  return kExitUsage;
}

}  // namespace certcli
