#include "bridge/Manifest.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>

#include <nlohmann/json.hpp>

#include "bridge/KnownExtensions.h"

namespace bridge {

namespace {

bool IsFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string FolderOf(std::string_view path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string_view::npos) return ".";
  if (slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

}  // namespace

std::optional<Browser> BrowserNamed(std::string_view name) {
  if (name == "chromium" || name == "chrome") return Browser::Chromium;
  if (name == "firefox") return Browser::Firefox;
  return std::nullopt;
}

std::string HostManifest(Browser browser, std::string_view program) {
  nlohmann::ordered_json manifest = {
      {"name", kHostName},
      {"description", "npSigil: certificates, signatures and envelopes for web pages"},
      {"path", program},
      {"type", "stdio"}};
  if (browser == Browser::Chromium)
    manifest["allowed_origins"] = {"chrome-extension://" + std::string(kChromiumExtensionId) + "/"};
  else
    manifest["allowed_extensions"] = {kFirefoxExtensionId};
  return manifest.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

std::optional<std::string> ExtensionFolder(std::string_view program) {
  const std::string folder = FolderOf(program);
  const std::string beside = folder + "/extension";
  if (IsFile(beside + "/manifest.json")) return beside;
  // Installed: the host in <prefix>/bin or <prefix>/lib/npsigil, the
  // extension in <prefix>/share/npsigil.
  for (const char* up : {"/..", "/../.."}) {
    const std::string installed = folder + up + "/share/npsigil/extension";
    if (IsFile(installed + "/manifest.json")) return installed;
  }
  return std::nullopt;
}

std::string ProgramPath() {
  char path[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return {};
  return std::string(path, static_cast<std::size_t>(n));
}

}  // namespace bridge
