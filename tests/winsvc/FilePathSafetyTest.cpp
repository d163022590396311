#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/WideString.h"
#include "resources/ResultCodes.h"
#include "support/TempEnvironment.h"
#include "winsvc/FilePathSafety.h"

namespace fs = std::filesystem;

namespace {

constexpr HRESULT kNotFound = MakeHResult(0x80070002u);
constexpr HRESULT kRefused = SIGIL_E_MALICIOUS_PATH;

HRESULT Gate(const fs::path& path, int nOutputFile) {
  return IsMaliciousFilePathName(FromUtf8(path.string()).c_str(), nOutputFile);
}

fs::path Create(const fs::path& path, const std::string& bytes = "content") {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

class FilePathGate : public testing::Test {
 protected:
  // The user's start-up folder then follows the test HOME.
  testsupport::ScopedEnv m_noXdgConfig{"XDG_CONFIG_HOME", nullptr};
  fs::path m_home = std::getenv("HOME");
  fs::path m_dir = testsupport::MakeTempDir("gate");
};

TEST_F(FilePathGate, ExecutableAndScriptTypes) {
  for (const char* name : {"report.EXE", "a.Js", "x.DLL", "b.com", "c.bat", "d.cmd", "e.vbs",
                           "f.vbe", "g.jse", "h.wsf", "i.wsh", "j.msc"}) {
    EXPECT_EQ(Gate(m_dir / name, 1), kRefused) << name;
    EXPECT_EQ(Gate(Create(m_dir / name), 0), kRefused) << name;  // before it is opened
  }
  for (const char* name : {"a.js.txt", "a.jsx", "a.exe1", "noextension", "exe.d/x"})
    EXPECT_EQ(Gate(m_dir / name, 1), S_OK) << name;
}

TEST_F(FilePathGate, SystemAndStartupFoldersAsSubstrings) {
  const fs::path autostart = Create(m_home / ".config" / "autostart" / "x.txt").parent_path();
  // Folder before availability: refused whether or not the input exists.
  for (const fs::path& path :
       {fs::path("/etc/passwd"), fs::path("/etc.old/x.txt"), fs::path("/home/u/etcetera/x.txt"),
        fs::path("/usr/bin/tool"), autostart / "x.txt", autostart / "sub" / "new.txt"})
    EXPECT_EQ(Gate(path, 0), kRefused) << path;
  EXPECT_EQ(Gate("/etc/xdg/autostart/new.desktop", 1), kRefused);
  EXPECT_EQ(Gate(autostart / "new.desktop", 1), kRefused);
  EXPECT_EQ(IsMaliciousFileFolder(u"/ETC/ssl"), kRefused);  // case ignored
  for (const char16_t* folder : {u"/", u"/usr", u"/home/u/et/c"})
    EXPECT_EQ(IsMaliciousFileFolder(folder), S_OK) << ToUtf8(folder);
}

TEST_F(FilePathGate, OutputsAreNeverOverwritten) {
  const fs::path existing = Create(m_dir / "existing.txt");
  EXPECT_EQ(Gate(existing, 1), SIGIL_E_ALREADY_EXISTS);
  EXPECT_EQ(Gate(existing, 0), S_OK);
  EXPECT_EQ(Gate("/etc/passwd", 1), SIGIL_E_ALREADY_EXISTS);  // existence test first
  EXPECT_EQ(Gate(m_dir / "a" / "b" / "new.p7m", 1), S_OK);    // folder need not exist
}

TEST_F(FilePathGate, InputsMustOpenAndHoldData) {
  const fs::path fourGiB = Create(m_dir / "four-gib.bin", "");
  ASSERT_EQ(::truncate(fourGiB.c_str(), std::int64_t{1} << 32), 0);  // low 32 bits all zero
  struct Case {
    fs::path path;
    HRESULT hResult;
  };
  const Case cases[] = {{Create(m_dir / "empty.txt", ""), SIGIL_E_EMPTY_FILE},
                        {m_dir / "missing.txt", kNotFound},
                        {m_dir, MakeHResult(0x80070005u)},
                        {Create(m_dir / "one.txt", "1"), S_OK},
                        {fourGiB, S_OK}};
  for (const Case& c : cases) EXPECT_EQ(Gate(c.path, 0), c.hResult) << c.path;
  EXPECT_EQ(IsMaliciousFilePathName(nullptr, 0), E_INVALIDARG);
}

TEST_F(FilePathGate, RelativePathsResolveAgainstTheCurrentFolder) {
  Create(m_dir / "rel.txt");
  const fs::path saved = fs::current_path();
  fs::current_path(m_dir);
  EXPECT_EQ(IsMaliciousFilePathName(u"rel.txt", 0), S_OK);
  EXPECT_EQ(IsMaliciousFilePathName(u"./rel.txt", 1), SIGIL_E_ALREADY_EXISTS);
  EXPECT_EQ(IsMaliciousFilePathName(u"missing.txt", 0), kNotFound);
  fs::current_path("/etc");
  EXPECT_EQ(IsMaliciousFilePathName(u"passwd", 0), kRefused);
  fs::current_path(saved);
}

TEST_F(FilePathGate, FullPathMustFitMaxPath) {
  const std::string prefix = m_dir.string() + "/";
  auto ofLength = [&](std::size_t n) {
    return prefix + std::string(n - prefix.size() - 4, 'n') + ".txt";
  };
  EXPECT_EQ(Gate(ofLength(259), 1), S_OK);
  EXPECT_EQ(Gate(ofLength(260), 1), MakeHResult(0x800700CEu));  // ERROR_FILENAME_EXCED_RANGE
  EXPECT_EQ(Gate(ofLength(400), 0), MakeHResult(0x800700CEu));
}

TEST_F(FilePathGate, HiddenComponentsRefusedForOutputsOnly) {
  for (const fs::path& path : {m_home / ".bashrc", m_dir / ".ssh" / "authorized_keys",
                               m_dir / ".config" / "x" / "y.txt", m_dir / "..x.txt"}) {
    EXPECT_EQ(Gate(path, 1), kRefused) << path;
    EXPECT_EQ(Gate(Create(path), 0), S_OK) << path;
  }
  // Dots inside names and resolved "." and ".." are not hidden.
  for (const fs::path& path :
       {m_dir / "a.b" / "c.txt", m_dir / "." / "d.txt", m_dir / ".x" / ".." / "e.txt"})
    EXPECT_EQ(Gate(path, 1), S_OK) << path;
}

}  // namespace
