// Force-install by machine policy: our entry goes in beside the
// administrator's policies and comes out again without touching theirs.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "install/BrowserPlaces.h"
#include "install/Diagnosis.h"
#include "install/PolicyRegistration.h"

namespace {

namespace fs = std::filesystem;
using install::BrowserKind;
using Json = nlohmann::json;

std::string Slurp(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void Put(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << text;
}

class Policies : public ::testing::Test {
 protected:
  void SetUp() override {
    env.home = fs::path(std::getenv("HOME")) /
               ::testing::UnitTest::GetInstance()->current_test_info()->name();
    env.configHome = env.home / ".config";
    env.root = env.home / "root";
    fs::create_directories(env.root);
  }

  install::RegistrationStep Install(BrowserKind browser) {
    const BrowserKind one[] = {browser};
    return install::InstallPolicies(one, env, source).front();
  }
  install::RegistrationStep Uninstall(BrowserKind browser) {
    const BrowserKind one[] = {browser};
    return install::UninstallPolicies(one, env).front();
  }

  install::Environment env;
  install::ExtensionSource source{"https://example.org/npsigil/updates.xml",
                                  "file:///usr/share/npsigil/npsigil.xpi"};
};

TEST_F(Policies, FirefoxEntryIsMergedBesideTheAdministratorsAndTakenOutAlone) {
  const fs::path file = env.root / "etc/firefox/policies/policies.json";
  const Json theirs = {{"policies",
                        {{"DisableTelemetry", true},
                         {"ExtensionSettings",
                          {{"*", {{"installation_mode", "blocked"}}},
                           {"ublock@example.org", {{"installation_mode", "allowed"}}}}}}}};
  Put(file, theirs.dump());

  const auto step = Install(BrowserKind::Firefox);
  ASSERT_TRUE(step.done) << step.text;
  EXPECT_EQ(step.manifest, file);
  Json merged = Json::parse(Slurp(file));
  EXPECT_EQ(merged["policies"]["DisableTelemetry"], true);
  EXPECT_EQ(merged["policies"]["ExtensionSettings"]["ublock@example.org"],
            theirs["policies"]["ExtensionSettings"]["ublock@example.org"]);
  EXPECT_EQ(merged["policies"]["ExtensionSettings"]["npsigil@npsigil.invalid"],
            Json({{"installation_mode", "force_installed"},
                  {"install_url", "file:///usr/share/npsigil/npsigil.xpi"}}));

  // The diagnosis sees it, and our own entry overrides the "*" block.
  bool seen = false;
  for (const auto& f : install::Diagnose({{BrowserKind::Firefox}, true, install::Scope::System, ""}, env,
                                         [](const fs::path&) { return install::HostProbe{}; })) {
    seen |= f.text.find("a policy installs the npSigil extension (force_installed)") == 0;
    EXPECT_EQ(f.text.find("blocks the npSigil extension"), std::string::npos) << f.text;
  }
  EXPECT_TRUE(seen);

  ASSERT_TRUE(Uninstall(BrowserKind::Firefox).done);
  EXPECT_EQ(Json::parse(Slurp(file)), theirs);
  EXPECT_TRUE(Uninstall(BrowserKind::Firefox).done);  // nothing left of ours: still fine
  EXPECT_EQ(Json::parse(Slurp(file)), theirs);
}

TEST_F(Policies, FirefoxFileOfOursAloneGoesAndTheOneInEffectIsUsed) {
  // No file anywhere: one is made in /etc, and goes again.
  const fs::path etc = env.root / "etc/firefox/policies/policies.json";
  ASSERT_TRUE(Install(BrowserKind::Firefox).done);
  EXPECT_TRUE(fs::exists(etc));
  EXPECT_EQ(fs::status(etc).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                fs::perms::others_read);
  ASSERT_TRUE(Uninstall(BrowserKind::Firefox).done);
  EXPECT_FALSE(fs::exists(etc));

  // Only the distribution's file: merging elsewhere would hide it.
  const fs::path distribution = env.root / "usr/lib/firefox-esr/distribution/policies.json";
  Put(distribution, R"({"policies": {"DisableAppUpdate": true}})");
  ASSERT_TRUE(Install(BrowserKind::Firefox).done);
  EXPECT_FALSE(fs::exists(etc));
  EXPECT_TRUE(Json::parse(Slurp(distribution))["policies"].contains("ExtensionSettings"));
  ASSERT_TRUE(Uninstall(BrowserKind::Firefox).done);
  EXPECT_EQ(Json::parse(Slurp(distribution)), Json::parse(R"({"policies": {"DisableAppUpdate": true}})"));
}

TEST_F(Policies, FilesThatCannotBeMergedIntoAreLeftAsTheyAre) {
  const fs::path file = env.root / "etc/firefox/policies/policies.json";
  for (const std::string& text :
       {std::string("{not json"), std::string("[1, 2]"), std::string(R"({"policies": []})"),
        std::string(R"({"policies": {"ExtensionSettings": "none"}})")}) {
    Put(file, text);
    const auto step = Install(BrowserKind::Firefox);
    EXPECT_FALSE(step.done) << text;
    EXPECT_TRUE(step.text.starts_with("left alone: ")) << step.text;
    EXPECT_FALSE(Uninstall(BrowserKind::Firefox).done) << text;
    EXPECT_EQ(Slurp(file), text);
  }
  // A link is the administrator's way of sharing a file: not replaced.
  fs::remove(file);
  Put(env.home / "shared.json", "{}");
  fs::create_symlink(env.home / "shared.json", file);
  EXPECT_FALSE(Install(BrowserKind::Firefox).done);
  EXPECT_TRUE(fs::is_symlink(file));
  EXPECT_EQ(Slurp(env.home / "shared.json"), "{}");
}

TEST_F(Policies, ChromiumGetsAFileOfOurOwnUnlessAnotherSetsTheForcelist) {
  for (BrowserKind browser : {BrowserKind::Chromium, BrowserKind::Chrome}) {
    const auto step = Install(browser);
    ASSERT_TRUE(step.done) << step.text;
    EXPECT_EQ(step.manifest.filename(), "npsigil.json");
    EXPECT_EQ(Json::parse(Slurp(step.manifest)),
              Json::parse(R"({"ExtensionInstallForcelist":
                  ["paojbdpmojlneibjgjlcnepdkkedbhcm;https://example.org/npsigil/updates.xml"]})"));
    ASSERT_TRUE(Uninstall(browser).done);
    EXPECT_FALSE(fs::exists(step.manifest));
  }
  EXPECT_EQ(install::OurPolicyFile(BrowserKind::Chrome, env),
            env.root / "etc/opt/chrome/policies/managed/npsigil.json");

  // Chromium takes a policy from one file only: the administrator's list
  // is not shadowed, the step says what to add to it.
  const fs::path admin = env.root / "etc/chromium/policies/managed/corp.json";
  Put(admin, R"({"ExtensionInstallForcelist": ["aaaa;https://corp/u.xml"]})");
  const auto refused = Install(BrowserKind::Chromium);
  EXPECT_FALSE(refused.done);
  EXPECT_NE(refused.text.find("add \"paojbdpmojlneibjgjlcnepdkkedbhcm;https://example.org/"),
            std::string::npos)
      << refused.text;
  EXPECT_FALSE(fs::exists(install::OurPolicyFile(BrowserKind::Chromium, env)));
  fs::remove(admin);

  // A file of our name that holds more than our entry is not ours.
  const fs::path ours = install::OurPolicyFile(BrowserKind::Chromium, env);
  Put(ours, R"({"ExtensionInstallForcelist": ["paojbdpmojlneibjgjlcnepdkkedbhcm;x"],
                "HomepageLocation": "https://corp"})");
  EXPECT_FALSE(Install(BrowserKind::Chromium).done);
  EXPECT_FALSE(Uninstall(BrowserKind::Chromium).done);
  EXPECT_TRUE(fs::exists(ours));
}

TEST_F(Policies, ForceInstallNeedsAnAddressToFetchFrom) {
  source = {"", "http://example.org/npsigil.xpi"};
  const auto chromium = Install(BrowserKind::Chromium);
  EXPECT_FALSE(chromium.done);
  EXPECT_NE(chromium.text.find("--update-url"), std::string::npos);
  const auto firefox = Install(BrowserKind::Firefox);
  EXPECT_FALSE(firefox.done);
  EXPECT_NE(firefox.text.find("--xpi-url"), std::string::npos);
  EXPECT_FALSE(fs::exists(env.root / "etc"));
}

}  // namespace
