#include "winsvc/FilePathSafety.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/WideString.h"
#include "resources/ResultCodes.h"
#include "support/TempEnvironment.h"

namespace fs = std::filesystem;

namespace {

constexpr HRESULT kFileNotFound = MakeHResult(0x80070002u);
constexpr HRESULT kAccessDenied = MakeHResult(0x80070005u);

std::u16string Wide(const fs::path& path) { return FromUtf8(path.string()); }

HRESULT Gate(const fs::path& path, int nOutputFile) {
  return IsMaliciousFilePathName(Wide(path).c_str(), nOutputFile);
}

class ScopedCurrentDir {
 public:
  explicit ScopedCurrentDir(const fs::path& dir) : m_saved(fs::current_path()) {
    fs::current_path(dir);
  }
  ~ScopedCurrentDir() { fs::current_path(m_saved); }

 private:
  fs::path m_saved;
};

class FilePathSafetyTest : public testing::Test {
 protected:
  // The user's start-up folder follows HOME only when XDG_CONFIG_HOME is unset.
  testsupport::ScopedEnv m_noXdgConfig{"XDG_CONFIG_HOME", nullptr};
  fs::path m_dir = testsupport::MakeTempDir("gate");
};

TEST(IsMaliciousFileExtention, RefusedTypesIgnoringCase) {
  const char16_t* const refused[] = {u".com", u".EXE", u".Bat", u".cmd", u".vbs", u".vbe",
                                     u".Js",  u".jse", u".wsf", u".wsh", u".msc", u".DLL"};
  for (const char16_t* ext : refused)
    EXPECT_EQ(IsMaliciousFileExtention(ext), SIGIL_E_MALICIOUS_PATH) << ToUtf8(ext);

  const char16_t* const accepted[] = {u"", u".", u".txt", u".jsx", u".exe1", u".ex",
                                      u"exe", u".exe ", u".p7s"};
  for (const char16_t* ext : accepted) EXPECT_EQ(IsMaliciousFileExtention(ext), S_OK) << ToUtf8(ext);
}

TEST_F(FilePathSafetyTest, FileTypesOfWholePaths) {
  const char* const refused[] = {"report.EXE", "a.Js", "x.DLL", "setup.msc", "run.cmd"};
  for (const char* name : refused) {
    EXPECT_EQ(Gate(m_dir / name, 1), SIGIL_E_MALICIOUS_PATH) << name;
    // An existing input is refused by its type before it is opened.
    EXPECT_EQ(Gate(testsupport::WriteTempFile(name, "content"), 0), SIGIL_E_MALICIOUS_PATH)
        << name;
  }
  const char* const accepted[] = {"a.js.txt", "a.jsx", "a.exe1", "noextension", "exe.folder"};
  for (const char* name : accepted) EXPECT_EQ(Gate(m_dir / name, 1), S_OK) << name;
}

TEST(IsMaliciousFileFolder, SubstringOfASystemFolderAnywhere) {
  const char16_t* const refused[] = {u"/etc", u"/etc/ssl", u"/ETC/ssl", u"/etc.old",
                                     u"/home/u/etcetera", u"/usr/bin", u"/usr/binaries/x",
                                     u"/etc/xdg/autostart/sub"};
  for (const char16_t* folder : refused)
    EXPECT_EQ(IsMaliciousFileFolder(folder), SIGIL_E_MALICIOUS_PATH) << ToUtf8(folder);

  const char16_t* const accepted[] = {u"/", u"/usr", u"/tmp/work", u"/home/u/et/c"};
  for (const char16_t* folder : accepted)
    EXPECT_EQ(IsMaliciousFileFolder(folder), S_OK) << ToUtf8(folder);
}

TEST_F(FilePathSafetyTest, SystemFoldersRefusedForInputAndOutput) {
  EXPECT_EQ(Gate("/etc/passwd", 0), SIGIL_E_MALICIOUS_PATH);
  EXPECT_EQ(Gate("/etc.old/x.txt", 1), SIGIL_E_MALICIOUS_PATH);
  EXPECT_EQ(Gate("/usr/bin/new-tool", 1), SIGIL_E_MALICIOUS_PATH);
  EXPECT_EQ(Gate("/etc/xdg/autostart/evil.desktop", 1), SIGIL_E_MALICIOUS_PATH);
}

TEST_F(FilePathSafetyTest, UserStartupFolderAndBelow) {
  const fs::path autostart = fs::path(std::getenv("HOME")) / ".config" / "autostart";
  fs::create_directories(autostart / "sub");
  std::FILE* f = std::fopen((autostart / "x.txt").c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fputs("data", f);
  std::fclose(f);

  EXPECT_EQ(Gate(autostart / "x.txt", 0), SIGIL_E_MALICIOUS_PATH);
  EXPECT_EQ(Gate(autostart / "new.desktop", 1), SIGIL_E_MALICIOUS_PATH);
  EXPECT_EQ(Gate(autostart / "sub" / "new.txt", 1), SIGIL_E_MALICIOUS_PATH);
}

TEST_F(FilePathSafetyTest, ExistingOutputIsNeverOverwritten) {
  const fs::path existing = testsupport::WriteTempFile("existing.txt", "data");
  EXPECT_EQ(Gate(existing, 1), SIGIL_E_ALREADY_EXISTS);
  EXPECT_EQ(Gate(existing, 0), S_OK);
  // The existence test runs before the folder test.
  EXPECT_EQ(Gate("/etc/passwd", 1), SIGIL_E_ALREADY_EXISTS);
  EXPECT_EQ(Gate(m_dir, 1), SIGIL_E_ALREADY_EXISTS);
}

TEST_F(FilePathSafetyTest, InputAvailability) {
  struct Case {
    fs::path path;
    HRESULT expected;
  };
  const Case cases[] = {
      {testsupport::WriteTempFile("empty.txt", ""), SIGIL_E_EMPTY_FILE},
      {m_dir / "missing.txt", kFileNotFound},
      {m_dir / "no-folder" / "missing.txt", kFileNotFound},
      {m_dir, kAccessDenied},
      {testsupport::WriteTempFile("one.txt", "1"), S_OK},
  };
  for (const Case& c : cases) EXPECT_EQ(Gate(c.path, 0), c.expected) << c.path;
}

TEST_F(FilePathSafetyTest, MissingOutputAcceptedEvenWithoutItsFolder) {
  EXPECT_EQ(Gate(m_dir / "out.p7m", 1), S_OK);
  EXPECT_EQ(Gate(m_dir / "a" / "b" / "out.p7m", 1), S_OK);
}

TEST_F(FilePathSafetyTest, RelativePathsAreResolvedAgainstTheCurrentFolder) {
  {
    std::FILE* f = std::fopen((m_dir / "rel.txt").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("data", f);
    std::fclose(f);
  }
  ScopedCurrentDir cwd(m_dir);
  EXPECT_EQ(IsMaliciousFilePathName(u"rel.txt", 0), S_OK);
  EXPECT_EQ(IsMaliciousFilePathName(u"./rel.txt", 1), SIGIL_E_ALREADY_EXISTS);
  EXPECT_EQ(IsMaliciousFilePathName(u"missing.txt", 0), kFileNotFound);
  EXPECT_EQ(IsMaliciousFilePathName(u"sub/../new.txt", 1), S_OK);

  ScopedCurrentDir inEtc("/etc");
  EXPECT_EQ(IsMaliciousFilePathName(u"passwd", 0), SIGIL_E_MALICIOUS_PATH);
}

TEST_F(FilePathSafetyTest, FullPathMustFitMaxPath) {
  const std::string prefix = m_dir.string() + "/";
  ASSERT_LT(prefix.size() + 4, 200u);
  auto pathOfLength = [&](std::size_t nLength) {
    return prefix + std::string(nLength - prefix.size() - 4, 'n') + ".txt";
  };
  EXPECT_EQ(Gate(pathOfLength(259), 1), S_OK);
  const HRESULT hResult = Gate(pathOfLength(260), 1);
  EXPECT_TRUE(FAILED(hResult)) << std::hex << hResult;
  EXPECT_EQ(hResult, MakeHResult(0x800700CEu));
  EXPECT_TRUE(FAILED(Gate(pathOfLength(400), 0)));
}

TEST_F(FilePathSafetyTest, HiddenComponentsRefusedForOutputsOnly) {
  const fs::path home = std::getenv("HOME");
  const fs::path outputs[] = {home / ".bashrc", home / ".profile", m_dir / ".ssh" / "authorized_keys",
                              m_dir / ".config" / "x" / "y.txt", m_dir / "..hidden.txt"};
  for (const fs::path& path : outputs) EXPECT_EQ(Gate(path, 1), SIGIL_E_MALICIOUS_PATH) << path;

  // The same names as existing inputs are fine to read.
  const fs::path bashrc = home / ".bashrc";
  const fs::path keys = m_dir / ".ssh" / "authorized_keys";
  fs::create_directories(keys.parent_path());
  for (const fs::path& path : {bashrc, keys}) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("content", f);
    std::fclose(f);
    EXPECT_EQ(Gate(path, 0), S_OK) << path;
  }

  // Dots inside names and resolved "." / ".." components are not hidden.
  const fs::path accepted[] = {m_dir / "a.b" / "c.txt", m_dir / "." / "d.txt",
                               m_dir / ".x" / ".." / "e.txt", m_dir / "f..g.txt"};
  for (const fs::path& path : accepted) EXPECT_EQ(Gate(path, 1), S_OK) << path;
}

TEST(CheckFileAvailability, OpensAndMeasures) {
  const fs::path dir = testsupport::MakeTempDir("avail");
  EXPECT_EQ(CheckFileAvailability(Wide(dir / "missing").c_str()), kFileNotFound);
  EXPECT_EQ(CheckFileAvailability(Wide(testsupport::WriteTempFile("e", "")).c_str()),
            SIGIL_E_EMPTY_FILE);
  EXPECT_EQ(CheckFileAvailability(Wide(testsupport::WriteTempFile("f", "x")).c_str()), S_OK);
  EXPECT_EQ(CheckFileAvailability(nullptr), E_INVALIDARG);
}

TEST(CheckFileAvailability, FourGibibyteFileIsNotEmpty) {
  // Its low 32 size bits are zero; only the full size tells it from an empty file.
  const fs::path file = testsupport::WriteTempFile("four-gib.bin", "");
  ASSERT_EQ(::truncate(file.c_str(), std::int64_t{1} << 32), 0);
  EXPECT_EQ(CheckFileAvailability(Wide(file).c_str()), S_OK);
  EXPECT_EQ(Gate(file, 0), S_OK);
}

TEST(IsMaliciousFilePathName, NullPath) {
  EXPECT_EQ(IsMaliciousFilePathName(nullptr, 0), E_INVALIDARG);
  EXPECT_EQ(IsMaliciousFilePathName(nullptr, 1), E_INVALIDARG);
}

}  // namespace
