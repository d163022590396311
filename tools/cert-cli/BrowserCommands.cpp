// npsigil-cert browser install | uninstall | status: registering the
// bridge's host with the browsers, and the diagnosis a user or a help desk
// runs when a page says npSigil is not there.
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

int Install(const ParsedArgs& parsed) {
  const auto args = ReadBrowserArgs(parsed, true);
  if (!args) return kExitUsage;
  const install::Scope scope = *args->scope;
  const auto host = install::FindHost(parsed.Value("--host") ? std::optional(*parsed.Value("--host"))
                                                             : std::nullopt,
                                      bridge::ProgramPath());
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
  const int code = Report(install::InstallManifests(browsers, scope, args->env, host));
  if (code == kExitOk) {
    const auto extension = bridge::ExtensionFolder(host.string());
    std::printf("The browser still needs the npSigil extension%s%s.\n",
                extension ? ": load it from " : "", extension ? extension->c_str() : "");
  }
  return code;
}

int Uninstall(const ParsedArgs& parsed) {
  const auto args = ReadBrowserArgs(parsed, true);
  if (!args) return kExitUsage;
  return Report(install::UninstallManifests(args->browsers, *args->scope, args->env));
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

}  // namespace

int RunBrowser(std::span<const std::string> args) {
  if (args.empty()) {
    Error("browser needs install, uninstall or status");
    return kExitUsage;
  }
  const OptionTable options{{"--user", "--system", "--json"}, {"--browser", "--root", "--host"}};
  const auto parsed = ParseArgs(args.subspan(1), options);
  if (!parsed) return kExitUsage;
  if (!parsed->positional.empty()) {
    Error("unexpected argument \"" + parsed->positional.front() + "\"");
    return kExitUsage;
  }
  if (args[0] == "install") return Install(*parsed);
  if (args[0] == "uninstall") return Uninstall(*parsed);
  if (args[0] == "status") return Status(*parsed);
  Error("browser needs install, uninstall or status, not \"" + args[0] + "\"");
  return kExitUsage;
}

}  // namespace certcli
