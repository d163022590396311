// The diagnosis names the missing or wrong piece, one finding each, and
// fails only for what keeps a browser from reaching the host.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "install/BrowserPlaces.h"
#include "install/Diagnosis.h"
#include "install/HostRegistration.h"

namespace {

namespace fs = std::filesystem;
using install::BrowserKind;
using install::Level;
using install::Scope;

class Diagnosis : public ::testing::Test {
 protected:
  void SetUp() override {
    env.home = fs::path(std::getenv("HOME"));
    env.configHome = env.home / ".config";
    env.root = env.home / "root";
    host = env.root / "usr/lib/npsigil/npsigil-bridge";
    fs::create_directories(host.parent_path());
    std::ofstream(host) << "#!/bin/sh\n";
    fs::permissions(host, fs::perms::owner_all);
    for (const char* program : {"usr/bin/chromium", "usr/bin/firefox-esr"}) {
      fs::create_directories((env.root / program).parent_path());
      std::ofstream(env.root / program) << "";
    }
  }

  void Register(BrowserKind browser, Scope scope) {
    const BrowserKind one[] = {browser};
    ASSERT_TRUE(
        install::InstallManifests(one, scope, env, "/usr/lib/npsigil/npsigil-bridge").front().done);
  }

  std::vector<install::Finding> Run(std::vector<BrowserKind> browsers,
                                    std::optional<Scope> scope = std::nullopt) {
    install::StatusRequest request{std::move(browsers), true, scope, "3.4.0.1"};
    return install::Diagnose(request, env, [this](const fs::path& path) {
      probed.push_back(path);
      return probe;
    });
  }

  static std::string Failures(const std::vector<install::Finding>& findings) {
    std::string out;
    for (const auto& f : findings)
      if (f.level == Level::Failure) out += f.text + "\n";
    return out;
  }

  install::Environment env;
  fs::path host;
  install::HostProbe probe{true, 0, "3.4.0.1", ""};
  std::vector<fs::path> probed;
};

TEST_F(Diagnosis, AGoodRegistrationPassesAndItsHostIsAskedUnderTheRoot) {
  Register(BrowserKind::Chromium, Scope::System);
  Register(BrowserKind::Firefox, Scope::User);
  const auto findings = Run({BrowserKind::Chromium, BrowserKind::Firefox});
  EXPECT_FALSE(install::AnyFailure(findings)) << Failures(findings);
  ASSERT_EQ(probed.size(), 2u);
  EXPECT_EQ(probed[0], host);
  int ok = 0;
  for (const auto& f : findings) ok += f.level == Level::Ok;
  EXPECT_EQ(ok, 2);
}

TEST_F(Diagnosis, AMissingManifestIsNamedWhereItWasLookedFor) {
  Register(BrowserKind::Chromium, Scope::User);
  const auto findings = Run({BrowserKind::Firefox});
  EXPECT_TRUE(install::AnyFailure(findings));
  const std::string failures = Failures(findings);
  EXPECT_NE(failures.find(".mozilla/native-messaging-hosts/org.npsigil.bridge.json"),
            std::string::npos)
      << failures;
  EXPECT_NE(failures.find("npsigil-cert browser install"), std::string::npos) << failures;
  // Only the place asked about counts.
  Register(BrowserKind::Firefox, Scope::User);
  EXPECT_FALSE(install::AnyFailure(Run({BrowserKind::Firefox}, Scope::User)));
  EXPECT_TRUE(install::AnyFailure(Run({BrowserKind::Firefox}, Scope::System)));
}

TEST_F(Diagnosis, BrokenManifestsAndHostsEachGiveTheirReason) {
  const fs::path manifest = install::ManifestPath(BrowserKind::Chromium, Scope::System, env);
  const struct {
    const char* what;
    std::string text;
    const char* reason;
  } cases[] = {
      {"not JSON", "{", "not valid JSON"},
      {"another host", R"({"name":"com.example.x"})", "does not name"},
      // Members of the wrong type are findings, not a crash of the tool.
      {"name of another type", R"({"name":5})", "does not name"},
      {"path of another type",
       R"({"name":"org.npsigil.bridge","type":["stdio"],"path":{"x":1},
           "allowed_origins":"chrome-extension://paojbdpmojlneibjgjlcnepdkkedbhcm/"})",
       "not absolute"},
      {"wrong extension",
       R"({"name":"org.npsigil.bridge","type":"stdio","path":"/usr/lib/npsigil/npsigil-bridge",
           "allowed_origins":["chrome-extension://aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa/"]})",
       "does not allow the npSigil extension"},
      {"relative path",
       R"({"name":"org.npsigil.bridge","type":"stdio","path":"npsigil-bridge",
           "allowed_origins":["chrome-extension://paojbdpmojlneibjgjlcnepdkkedbhcm/"]})",
       "not absolute"},
      {"missing host",
       R"({"name":"org.npsigil.bridge","type":"stdio","path":"/opt/gone/npsigil-bridge",
           "allowed_origins":["chrome-extension://paojbdpmojlneibjgjlcnepdkkedbhcm/"]})",
       "missing or not executable"},
  };
  fs::create_directories(manifest.parent_path());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::ofstream(manifest, std::ios::trunc) << c.text;
    const std::string failures = Failures(Run({BrowserKind::Chromium}, Scope::System));
    EXPECT_NE(failures.find(c.reason), std::string::npos) << failures;
  }

  Register(BrowserKind::Chromium, Scope::System);
  probe = {true, 1, "3.4.0.1", "the dialog helper runs from /x: not found or not executable"};
  std::string failures = Failures(Run({BrowserKind::Chromium}, Scope::System));
  EXPECT_NE(failures.find("fails its self-test: the dialog helper"), std::string::npos) << failures;
  probe = {false, -1, "", ""};
  failures = Failures(Run({BrowserKind::Chromium}, Scope::System));
  EXPECT_NE(failures.find("does not start"), std::string::npos) << failures;

  // Another version still works, but is worth saying.
  probe = {true, 0, "3.3.0.0", ""};
  const auto findings = Run({BrowserKind::Chromium}, Scope::System);
  EXPECT_FALSE(install::AnyFailure(findings));
  bool warned = false;
  for (const auto& f : findings) warned |= f.level == Level::Warning && f.text.find("3.3.0.0") != std::string::npos;
  EXPECT_TRUE(warned);
}

TEST_F(Diagnosis, PoliciesThatBlockHostsOrTheExtension) {
  Register(BrowserKind::Chromium, Scope::User);
  const fs::path managed = env.root / "etc/chromium/policies/managed";
  fs::create_directories(managed);
  std::ofstream(managed / "block.json") << R"({"NativeMessagingBlocklist":["*"]})";
  std::string failures = Failures(Run({BrowserKind::Chromium}));
  EXPECT_NE(failures.find("NativeMessagingBlocklist"), std::string::npos) << failures;
  std::ofstream(managed / "block.json", std::ios::trunc)
      << R"({"NativeMessagingBlocklist":["*"],"NativeMessagingAllowlist":["org.npsigil.bridge"],
            "NativeMessagingUserLevelHosts":false})";
  failures = Failures(Run({BrowserKind::Chromium}));
  EXPECT_EQ(failures.find("NativeMessagingBlocklist"), std::string::npos) << failures;
  // Our only manifest is the user's, which that policy makes the browser ignore.
  EXPECT_NE(failures.find("NativeMessagingUserLevelHosts"), std::string::npos) << failures;
  Register(BrowserKind::Chromium, Scope::System);
  EXPECT_FALSE(install::AnyFailure(Run({BrowserKind::Chromium})));

  Register(BrowserKind::Firefox, Scope::User);
  const fs::path policies = env.root / "usr/lib/firefox-esr/distribution/policies.json";
  fs::create_directories(policies.parent_path());
  std::ofstream(policies) << R"({"policies":{"ExtensionSettings":{"*":{"installation_mode":"blocked"}}}})";
  failures = Failures(Run({BrowserKind::Firefox}));
  EXPECT_NE(failures.find("blocks the npSigil extension"), std::string::npos) << failures;
  std::ofstream(policies, std::ios::trunc)
      << R"({"policies":{"ExtensionSettings":{"*":{"installation_mode":"blocked"},
            "npsigil@npsigil.invalid":{"installation_mode":"allowed"}}}})";
  EXPECT_FALSE(install::AnyFailure(Run({BrowserKind::Firefox})));
}

TEST_F(Diagnosis, TheExtensionInTheUsersProfilesAndSandboxedPackages) {
  Register(BrowserKind::Chromium, Scope::User);
  Register(BrowserKind::Firefox, Scope::User);
  const fs::path chromiumProfile = env.configHome / "chromium" / "Default";
  fs::create_directories(chromiumProfile);
  std::ofstream(chromiumProfile / "Preferences") << R"({"extensions":{"settings":{}}})";
  auto levelOf = [&](BrowserKind browser, const std::string& needle) {
    for (const auto& f : Run({browser}))
      if (f.text.find(needle) != std::string::npos) return f.level;
    return Level::Info;
  };
  EXPECT_EQ(levelOf(BrowserKind::Chromium, "in none of this user's 1 profile"), Level::Warning);
  std::ofstream(chromiumProfile / "Secure Preferences")
      << R"({"extensions":{"settings":{"paojbdpmojlneibjgjlcnepdkkedbhcm":{"disable_reasons":[1]}}}})";
  EXPECT_EQ(levelOf(BrowserKind::Chromium, "disabled in the profile Default"), Level::Warning);
  std::ofstream(chromiumProfile / "Secure Preferences", std::ios::trunc)
      << R"({"extensions":{"settings":{"paojbdpmojlneibjgjlcnepdkkedbhcm":{"state":1}}}})";
  EXPECT_EQ(levelOf(BrowserKind::Chromium, "installed in the profile Default"), Level::Ok);

  const fs::path firefox = env.home / ".mozilla" / "firefox";
  fs::create_directories(firefox / "abc.default-esr");
  std::ofstream(firefox / "profiles.ini") << "[Profile0]\nName=default-esr\nIsRelative=1\n"
                                             "Path=abc.default-esr\n";
  std::ofstream(firefox / "abc.default-esr" / "extensions.json")
      << R"({"addons":[{"id":"npsigil@npsigil.invalid","active":true}]})";
  EXPECT_EQ(levelOf(BrowserKind::Firefox, "enabled in the profile abc.default-esr"), Level::Ok);

  fs::create_directories(env.root / "snap/bin");
  std::ofstream(env.root / "snap/bin/firefox") << "";
  const std::string failures = Failures(Run({BrowserKind::Firefox}));
  EXPECT_NE(failures.find("snap package"), std::string::npos) << failures;
  EXPECT_NE(failures.find("apt install firefox-esr"), std::string::npos) << failures;
}

// A package's tree is checked before any browser is installed in it: its
// manifests count, an absent browser without one is no failure.
TEST_F(Diagnosis, ManifestsOfAbsentBrowsersAreStillChecked) {
  fs::remove(env.root / "usr/bin/chromium");
  fs::remove(env.root / "usr/bin/firefox-esr");
  install::StatusRequest all{std::vector<BrowserKind>(std::begin(install::kAllBrowsers),
                                                      std::end(install::kAllBrowsers)),
                             false, Scope::System, "3.4.0.1"};
  auto prober = [this](const fs::path&) { return probe; };
  EXPECT_FALSE(install::AnyFailure(install::Diagnose(all, env, prober)));
  Register(BrowserKind::Chrome, Scope::System);
  auto findings = install::Diagnose(all, env, prober);
  EXPECT_FALSE(install::AnyFailure(findings));
  bool checked = false;
  for (const auto& f : findings) checked |= f.browser == BrowserKind::Chrome && f.level == Level::Ok;
  EXPECT_TRUE(checked);
  probe.exitCode = 1;
  EXPECT_TRUE(install::AnyFailure(install::Diagnose(all, env, prober)));
}

// The real host as built answers the probe with its version.
TEST(HostProbe, TheBuiltHostPassesItsSelfTest) {
  const install::HostProbe probe = install::ProbeHost(NPSIGIL_BRIDGE_PROGRAM);
  EXPECT_TRUE(probe.ran);
  EXPECT_EQ(probe.exitCode, 0) << probe.failure;
  EXPECT_EQ(probe.version, NPSIGIL_BRIDGE_VERSION);
  EXPECT_FALSE(install::ProbeHost("/nonexistent/npsigil-bridge").ran);

  // A host that closes its output a moment before it exits is still heard.
  const fs::path slow = fs::path(std::getenv("HOME")) / "slow-bridge";
  std::ofstream(slow) << "#!/bin/sh\necho 'npsigil-bridge 9.9 at x'\nexec >&-\nsleep 0.3\nexit 0\n";
  fs::permissions(slow, fs::perms::owner_all);
  const install::HostProbe late = install::ProbeHost(slow);
  EXPECT_TRUE(late.ran);
  EXPECT_EQ(late.exitCode, 0);
  EXPECT_EQ(late.version, "9.9");
}

}  // namespace
