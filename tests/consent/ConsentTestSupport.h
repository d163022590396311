// Small helpers the consent tests share: parsed origins and files written
// and read back with their modes.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "consent/Origin.h"
#include "consent/SiteApprovals.h"

namespace consenttest {

namespace fs = std::filesystem;

inline consent::Origin Parsed(const std::string& text) {
  consent::Origin origin;
  EXPECT_TRUE(consent::ParseOrigin(text, &origin)) << text;
  return origin;
}

inline std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void Put(const fs::path& path, const std::string& text, mode_t mode = 0600) {
  fs::create_directories(path.parent_path());
  { std::ofstream(path, std::ios::binary | std::ios::trunc) << text; }
  ::chmod(path.c_str(), mode);
}

inline mode_t ModeOf(const fs::path& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

inline fs::path UserSites() { return consent::UserSitesPath(); }
inline fs::path MachinePolicy() { return consent::MachinePolicyPath(); }

inline consent::Standing StandingOf(const std::string& origin) {
  return consent::LookUpSite(Parsed(origin)).standing;
}

}  // namespace consenttest
