#include "support/TempEnvironment.h"

#include <cstdlib>
#include <fstream>
#include <system_error>

namespace testsupport {
namespace fs = std::filesystem;

namespace {
struct Root {
  fs::path path;
  Root() {
    std::string tmpl = (fs::temp_directory_path() / "npsigil-test-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) std::abort();
    path = tmpl;
    fs::create_directories(path / "home");
    fs::create_directories(path / "xdg");
    fs::create_directories(path / "machine");
    ::setenv("HOME", (path / "home").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (path / "xdg").c_str(), 1);
    ::setenv("NPSIGIL_MACHINE_ROOT", (path / "machine").c_str(), 1);
    ::unsetenv("NPSIGIL_TRACE");
  }
  ~Root() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
};
}  // namespace

const fs::path& TempRoot() {
  static Root root;
  return root.path;
}

fs::path MakeTempDir(const std::string& hint) {
  static int counter = 0;
  fs::path dir = TempRoot() / (hint + "-" + std::to_string(++counter));
  fs::create_directories(dir);
  return dir;
}

fs::path WriteTempFile(const std::string& name, const std::string& bytes) {
  fs::path file = MakeTempDir("file") / name;
  std::ofstream(file, std::ios::binary) << bytes;
  return file;
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
  const char* old = std::getenv(name);
  had_old_ = old != nullptr;
  if (had_old_) old_ = old;
  if (value)
    ::setenv(name, value, 1);
  else
    ::unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
  if (had_old_)
    ::setenv(name_.c_str(), old_.c_str(), 1);
  else
    ::unsetenv(name_.c_str());
}

}  // namespace testsupport
