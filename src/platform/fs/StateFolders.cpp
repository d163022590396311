#include "platform/fs/StateFolders.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

const char* NonEmptyEnv(const char* name) {
  const char* value = std::getenv(name);
  return value && *value ? value : nullptr;
}

}  // namespace

std::filesystem::path HomeFolder() {
  if (const char* home = NonEmptyEnv("HOME")) return home;
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
      found->pw_dir && *found->pw_dir)
    return found->pw_dir;
  return {};
}

std::filesystem::path UserStateRoot() {
  const char* xdg = NonEmptyEnv("XDG_DATA_HOME");
  if (xdg && xdg[0] == '/') return std::filesystem::path(xdg) / "npsigil";
  std::filesystem::path home = HomeFolder();
  if (home.empty()) return {};
  return home / ".local" / "share" / "npsigil";
}

std::filesystem::path MachineStateRoot() {
  if (const char* root = NonEmptyEnv("NPSIGIL_MACHINE_ROOT")) return root;
  return "/var/lib/npsigil";
}
