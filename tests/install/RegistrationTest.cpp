// Registering the host where each browser looks, and taking back only what
// is ours.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "install/BrowserPlaces.h"
#include "install/HostRegistration.h"

namespace {

namespace fs = std::filesystem;
using install::BrowserKind;
using install::Scope;

std::string Slurp(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

install::Environment Env() {
  install::Environment env;
  env.home = fs::path(std::getenv("HOME"));
  env.configHome = env.home / "config";
  env.root = env.home / "root";
  return env;
}

TEST(BrowserPlaces, EachBrowserWhereItLooks) {
  const install::Environment env = Env();
  const fs::path h = env.home;
  EXPECT_EQ(install::ManifestPath(BrowserKind::Chromium, Scope::User, env),
            h / "config/chromium/NativeMessagingHosts/org.npsigil.bridge.json");
  EXPECT_EQ(install::ManifestPath(BrowserKind::Chrome, Scope::User, env),
            h / "config/google-chrome/NativeMessagingHosts/org.npsigil.bridge.json");
  // Firefox reads only ~/.mozilla, whatever XDG_CONFIG_HOME says.
  EXPECT_EQ(install::ManifestPath(BrowserKind::Firefox, Scope::User, env),
            h / ".mozilla/native-messaging-hosts/org.npsigil.bridge.json");
  EXPECT_EQ(install::ManifestPath(BrowserKind::Chromium, Scope::System, env),
            h / "root/etc/chromium/native-messaging-hosts/org.npsigil.bridge.json");
  EXPECT_EQ(install::ManifestPath(BrowserKind::Chrome, Scope::System, env),
            h / "root/etc/opt/chrome/native-messaging-hosts/org.npsigil.bridge.json");
  EXPECT_EQ(install::ManifestPath(BrowserKind::Firefox, Scope::System, env),
            h / "root/usr/lib/mozilla/native-messaging-hosts/org.npsigil.bridge.json");

  EXPECT_EQ(install::BrowsersNamed("all")->size(), 3u);
  EXPECT_EQ(install::BrowsersNamed("firefox")->front(), BrowserKind::Firefox);
  EXPECT_FALSE(install::BrowsersNamed("opera"));
  EXPECT_FALSE(install::BrowsersNamed("Firefox"));
}

TEST(HostRegistration, InstallWritesReadableManifestsNamingTheHost) {
  const install::Environment env = Env();
  const fs::path host = env.home / "lib" / "npsigil-bridge";
  const auto steps =
      install::InstallManifests(install::kAllBrowsers, Scope::System, env, host);
  ASSERT_EQ(steps.size(), 3u);
  for (const auto& step : steps) {
    SCOPED_TRACE(step.manifest.string());
    EXPECT_TRUE(step.done) << step.text;
    const auto json = nlohmann::json::parse(Slurp(step.manifest), nullptr, false);
    ASSERT_TRUE(json.is_object());
    EXPECT_EQ(json.value("name", ""), "org.npsigil.bridge");
    EXPECT_EQ(json.value("path", ""), host.string());
    const bool firefox = step.browser == BrowserKind::Firefox;
    EXPECT_EQ(json.contains("allowed_extensions"), firefox);
    EXPECT_EQ(json.contains("allowed_origins"), !firefox);
    struct stat st;
    ASSERT_EQ(::stat(step.manifest.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);  // the browser runs as its user
    EXPECT_TRUE(install::IsOurManifest(step.manifest));
  }
  // Installing again replaces ours in place and leaves no temporary file.
  const auto again = install::InstallManifests(install::kAllBrowsers, Scope::System, env,
                                               env.home / "other" / "npsigil-bridge");
  for (const auto& step : again) {
    EXPECT_TRUE(step.done) << step.text;
    EXPECT_NE(Slurp(step.manifest).find("other/npsigil-bridge"), std::string::npos);
    std::size_t files = 0;
    for (const auto& entry : fs::directory_iterator(step.manifest.parent_path())) {
      (void)entry;
      ++files;
    }
    EXPECT_EQ(files, 1u);
  }
}

TEST(HostRegistration, ForeignFilesOfTheSameNameAreLeftAlone) {
  const install::Environment env = Env();
  const fs::path chromium = install::ManifestPath(BrowserKind::Chromium, Scope::User, env);
  const fs::path firefox = install::ManifestPath(BrowserKind::Firefox, Scope::User, env);
  fs::create_directories(chromium.parent_path());
  fs::create_directories(firefox.parent_path());
  std::ofstream(chromium) << R"({"name":"com.example.other","path":"/opt/other"})";
  std::ofstream(firefox) << "not json at all";
  const BrowserKind both[] = {BrowserKind::Chromium, BrowserKind::Firefox};

  for (const auto& step : install::InstallManifests(both, Scope::User, env, "/usr/lib/x"))
    EXPECT_FALSE(step.done) << step.text;
  for (const auto& step : install::UninstallManifests(both, Scope::User, env))
    EXPECT_FALSE(step.done) << step.text;
  EXPECT_EQ(Slurp(chromium), R"({"name":"com.example.other","path":"/opt/other"})");
  EXPECT_EQ(Slurp(firefox), "not json at all");

  // Ours goes, and a second uninstall finds nothing to do.
  fs::remove(chromium);
  ASSERT_TRUE(install::InstallManifests(std::span(both, 1), Scope::User, env, "/usr/lib/x")
                  .front()
                  .done);
  EXPECT_TRUE(install::UninstallManifests(std::span(both, 1), Scope::User, env).front().done);
  EXPECT_FALSE(fs::exists(chromium));
  EXPECT_TRUE(install::UninstallManifests(std::span(both, 1), Scope::User, env).front().done);
}

TEST(HostRegistration, FindsTheHostBesideOrBelowTheTool) {
  const fs::path base = fs::path(std::getenv("HOME")) / "tree";
  fs::create_directories(base / "tools");
  fs::create_directories(base / "plugins");
  const fs::path host = base / "plugins" / "npsigil-bridge";
  std::ofstream(host) << "#!/bin/sh\n";
  EXPECT_TRUE(install::FindHost(std::nullopt, base / "tools" / "npsigil-cert").empty());
  fs::permissions(host, fs::perms::owner_all);
  EXPECT_EQ(install::FindHost(std::nullopt, base / "tools" / "npsigil-cert"), host);
  EXPECT_EQ(install::FindHost(host.string(), "/nowhere/npsigil-cert"), host);
  EXPECT_TRUE(install::FindHost(std::string("/nonexistent/npsigil-bridge"), host).empty());
}

}  // namespace
