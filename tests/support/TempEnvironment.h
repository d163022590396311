// Points HOME, XDG_DATA_HOME and NPSIGIL_MACHINE_ROOT at a fresh temporary
// folder for the life of the test process, so no test reads or writes the
// real per-user or machine-wide state.
#pragma once

#include <filesystem>
#include <string>

namespace testsupport {

// The temporary root made for this process (created on first use).
const std::filesystem::path& TempRoot();

// A new, empty folder below TempRoot().
std::filesystem::path MakeTempDir(const std::string& hint = "dir");

// Writes bytes to a file below TempRoot() and returns its path.
std::filesystem::path WriteTempFile(const std::string& name, const std::string& bytes);

// Sets an environment variable for the scope and restores the old value.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::string old_;
  bool had_old_;
};

}  // namespace testsupport
