#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "platform/base/LastError.h"
#include "platform/fs/Paths.h"
#include "platform/fs/StateFolders.h"
#include "platform/base/WideString.h"
#include "support/TempEnvironment.h"

namespace {
namespace fs = std::filesystem;
using testsupport::MakeTempDir;
using testsupport::ScopedEnv;

// Runs the test body with the current directory moved, then moves it back.
class ScopedCurrentDirectory {
 public:
  explicit ScopedCurrentDirectory(const fs::path& to) : old_(fs::current_path()) {
    fs::current_path(to);
  }
  ~ScopedCurrentDirectory() {
    std::error_code ec;
    fs::current_path(old_, ec);
  }

 private:
  fs::path old_;
};

std::u16string Wide(const fs::path& p) { return FromUtf8(p.native()); }

std::u16string FullPath(const std::u16string& in) {
  WCHAR buffer[MAX_PATH];
  DWORD n = GetFullPathNameW(in.c_str(), MAX_PATH, buffer, nullptr);
  return n && n < MAX_PATH ? std::u16string(buffer, n) : u"<failed>";
}

TEST(PathsTest, FullPathIsLexicallyNormalised) {
  struct Case {
    const char16_t* in;
    const char16_t* out;
  } cases[] = {
      {u"/a/b/c.txt", u"/a/b/c.txt"},
      {u"/a//b///c", u"/a/b/c"},
      {u"/a/./b/.", u"/a/b"},
      {u"/a/b/../c", u"/a/c"},
      {u"/a/b/..", u"/a"},
      {u"/../../x", u"/x"},
      {u"/..", u"/"},
      {u"/", u"/"},
      {u"/a/b/", u"/a/b/"},
      {u"//", u"/"},
      {u"/a/../../b/./c/..", u"/b"},
      {u"/a/..b/c", u"/a/..b/c"},
  };
  for (const Case& c : cases) EXPECT_EQ(FullPath(c.in), c.out) << ToUtf8(c.in);
}

TEST(PathsTest, RelativeNamesAreResolvedAgainstTheCurrentDirectory) {
  fs::path dir = MakeTempDir("cwd");
  ScopedCurrentDirectory cwd(dir);
  std::u16string base = Wide(fs::current_path());
  EXPECT_EQ(FullPath(u"x.txt"), base + u"/x.txt");
  EXPECT_EQ(FullPath(u"./sub/../y"), base + u"/y");
  EXPECT_EQ(FullPath(u"."), base);
  EXPECT_EQ(FullPath(u"../" + Wide(dir.filename()) + u"/z"), base + u"/z");

  WCHAR buffer[MAX_PATH];
  DWORD n = GetCurrentDirectoryW(MAX_PATH, buffer);
  EXPECT_EQ(std::u16string(buffer, n), base);
  EXPECT_EQ(GetCurrentDirectoryW(0, nullptr), base.size() + 1);
}

TEST(PathsTest, FullPathSizeRulesAndFilePart) {
  const std::u16string in = u"/dir/name.ext";
  WCHAR buffer[MAX_PATH];
  LPWSTR filePart = nullptr;
  ASSERT_EQ(GetFullPathNameW(in.c_str(), MAX_PATH, buffer, &filePart), in.size());
  EXPECT_EQ(filePart, buffer + 5);

  // Too small: the size needed with the terminator, and the buffer untouched.
  WCHAR small[14] = {u'#', 0};
  EXPECT_EQ(GetFullPathNameW(in.c_str(), 13, small, nullptr), in.size() + 1);
  EXPECT_EQ(small[0], u'#');
  EXPECT_EQ(GetFullPathNameW(in.c_str(), 14, small, nullptr), in.size());
  EXPECT_EQ(GetFullPathNameW(in.c_str(), 0, nullptr, nullptr), in.size() + 1);

  // A result that does not fit MAX_PATH is reported as >= MAX_PATH.
  std::u16string longName = u"/" + std::u16string(300, u'a');
  EXPECT_GE(GetFullPathNameW(longName.c_str(), MAX_PATH, buffer, nullptr), MAX_PATH);

  ASSERT_EQ(GetFullPathNameW(u"/dir/", MAX_PATH, buffer, &filePart), 5u);
  EXPECT_EQ(filePart, nullptr);

  for (LPCWSTR bad : {static_cast<LPCWSTR>(nullptr), u""}) {
    SetLastError(0);
    EXPECT_EQ(GetFullPathNameW(bad, MAX_PATH, buffer, nullptr), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  }
}

TEST(PathsTest, RemoveFileSpec) {
  struct Case {
    const char16_t* in;
    const char16_t* out;
    BOOL result;
  } cases[] = {
      {u"/a/b/c.txt", u"/a/b", TRUE},
      {u"/a", u"/", TRUE},
      {u"/", u"/", FALSE},
      {u"/a/b/", u"/a/b", TRUE},
      {u"name", u"", TRUE},
      {u"a/b", u"a", TRUE},
      {u"", u"", FALSE},
  };
  for (const Case& c : cases) {
    WCHAR buffer[MAX_PATH];
    std::u16string(c.in).copy(buffer, MAX_PATH);
    buffer[std::u16string(c.in).size()] = 0;
    EXPECT_EQ(PathRemoveFileSpecW(buffer), c.result) << ToUtf8(c.in);
    EXPECT_EQ(std::u16string(buffer), c.out) << ToUtf8(c.in);
  }
  EXPECT_FALSE(PathRemoveFileSpecW(nullptr));
}

TEST(PathsTest, FindExtension) {
  struct Case {
    const char16_t* in;
    const char16_t* ext;
  } cases[] = {
      {u"/a/report.EXE", u".EXE"},
      {u"/a/a.js.txt", u".txt"},
      {u"/a.dir/name", u""},
      {u"/home/.bashrc", u".bashrc"},
      {u"/a/b.", u"."},
      {u"noext", u""},
      {u"/a/x.exe y", u".exe y"},
      {u"", u""},
  };
  for (const Case& c : cases) {
    LPWSTR ext = PathFindExtensionW(c.in);
    ASSERT_NE(ext, nullptr);
    EXPECT_EQ(std::u16string(ext), c.ext) << ToUtf8(c.in);
    EXPECT_EQ(ext + std::u16string(ext).size(), c.in + std::u16string(c.in).size());
  }
  EXPECT_EQ(PathFindExtensionW(nullptr), nullptr);
}

TEST(PathsTest, FileExists) {
  fs::path file = testsupport::WriteTempFile("exists.txt", "x");
  EXPECT_TRUE(PathFileExistsW(Wide(file).c_str()));
  EXPECT_TRUE(PathFileExistsW(Wide(file.parent_path()).c_str()));
  SetLastError(0);
  EXPECT_FALSE(PathFileExistsW(Wide(file.parent_path() / "missing").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(PathFileExistsW(nullptr));
  // A name that is not valid UTF-16 still gets a clean answer.
  const char16_t lone[] = {u'/', 0xD800, 0};
  EXPECT_FALSE(PathFileExistsW(lone));
}

std::u16string Special(int csidl, BOOL create = FALSE) {
  WCHAR buffer[MAX_PATH];
  return SHGetSpecialFolderPathW(nullptr, buffer, csidl, create) ? std::u16string(buffer)
                                                                 : u"<none>";
}

TEST(PathsTest, SpecialFolders) {
  EXPECT_EQ(Special(CSIDL_SYSTEM), u"/usr/bin");
  EXPECT_EQ(Special(CSIDL_WINDOWS), u"/etc");
  EXPECT_EQ(Special(CSIDL_COMMON_STARTUP), u"/etc/xdg/autostart");
  std::error_code ec;
  EXPECT_EQ(Special(CSIDL_SYSTEMX86),
            fs::is_directory("/usr/lib32", ec) ? u"/usr/lib32" : u"<none>");
  EXPECT_EQ(Special(0x05 /* CSIDL_PERSONAL */), u"<none>");

  fs::path home = MakeTempDir("home");
  ScopedEnv homeEnv("HOME", home.c_str());
  {
    ScopedEnv xdg("XDG_CONFIG_HOME", nullptr);
    EXPECT_EQ(Special(CSIDL_STARTUP), Wide(home / ".config/autostart"));
    EXPECT_FALSE(fs::exists(home / ".config"));  // asking creates nothing
  }
  {
    ScopedEnv xdg("XDG_CONFIG_HOME", "relative/config");  // ignored, as XDG says
    EXPECT_EQ(Special(CSIDL_STARTUP), Wide(home / ".config/autostart"));
  }
  fs::path config = MakeTempDir("config");
  ScopedEnv xdg("XDG_CONFIG_HOME", config.c_str());
  EXPECT_EQ(Special(CSIDL_STARTUP | CSIDL_FLAG_CREATE), Wide(config / "autostart"));
  EXPECT_TRUE(fs::is_directory(config / "autostart"));

  std::string deep = "/" + std::string(300, 'd');
  ScopedEnv longXdg("XDG_CONFIG_HOME", deep.c_str());
  EXPECT_EQ(Special(CSIDL_STARTUP), u"<none>");
}

TEST(PathsTest, StateFoldersFollowTheEnvironment) {
  fs::path home = MakeTempDir("home");
  ScopedEnv homeEnv("HOME", home.c_str());
  {
    ScopedEnv xdg("XDG_DATA_HOME", "/data/x");
    EXPECT_EQ(UserStateRoot(), fs::path("/data/x/npsigil"));
  }
  for (const char* ignored : {static_cast<const char*>(nullptr), "", "relative"}) {
    ScopedEnv xdg("XDG_DATA_HOME", ignored);
    EXPECT_EQ(UserStateRoot(), home / ".local/share/npsigil");
  }
  EXPECT_FALSE(fs::exists(home / ".local"));
  {
    ScopedEnv machine("NPSIGIL_MACHINE_ROOT", "/srv/m");
    EXPECT_EQ(MachineStateRoot(), fs::path("/srv/m"));
  }
  ScopedEnv machine("NPSIGIL_MACHINE_ROOT", nullptr);
  EXPECT_EQ(MachineStateRoot(), fs::path("/var/lib/npsigil"));
}

TEST(PathsTest, NativePath) {
  EXPECT_EQ(NativePath(u"/tmp/\u00e9t\u00e9"), "/tmp/\xc3\xa9t\xc3\xa9");
  EXPECT_EQ(NativePath(nullptr), "");
}

}  // namespace
