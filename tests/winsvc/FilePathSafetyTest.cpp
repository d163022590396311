#include <gtest/gtest.h>
#include "platform/fs/StateFolders.h"
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/base/WideString.h"
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
                        {m_dir, kRefused},  // a folder is no regular file
                        {Create(m_dir / "one.txt", "1"), S_OK},
                        {fourGiB, S_OK}};
  for (const Case& c : cases) EXPECT_EQ(Gate(c.path, 0), c.hResult) << c.path;
  EXPECT_EQ(IsMaliciousFilePathName(nullptr, 0), E_INVALIDARG);
}

// A relative name would be judged against whatever folder the browser runs in.
TEST_F(FilePathGate, RelativePathsAreRefused) {
  Create(m_dir / "rel.txt");
  const fs::path saved = fs::current_path();
  fs::current_path(m_dir);
  EXPECT_EQ(IsMaliciousFilePathName(u"rel.txt", 0), kRefused);
  EXPECT_EQ(IsMaliciousFilePathName(u"./rel.txt", 1), kRefused);
  EXPECT_EQ(IsMaliciousFilePathName(u"missing.txt", 0), kRefused);
  EXPECT_NE(IsMaliciousFilePathName(u"", 0), S_OK);
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

TEST_F(FilePathGate, HiddenComponentsRefusedForInputsAndOutputs) {
  for (const fs::path& path : {m_home / ".bashrc", m_dir / ".ssh" / "authorized_keys",
                               m_dir / ".config" / "x" / "y.txt", m_dir / "..x.txt"}) {
    EXPECT_EQ(Gate(path, 1), kRefused) << path;
    EXPECT_EQ(Gate(Create(path), 0), kRefused) << path;
  }
  // Dots inside names and resolved "." and ".." are not hidden.
  for (const fs::path& path :
       {m_dir / "a.b" / "c.txt", m_dir / "." / "d.txt", m_dir / ".x" / ".." / "e.txt"})
    EXPECT_EQ(Gate(path, 1), S_OK) << path;
}

// Links are judged by where they lead, as the kernel walks them.
TEST_F(FilePathGate, LinksAreResolvedBeforeTheChecks) {
  const fs::path secret = Create(m_dir / ".secret" / "id_rsa");
  Create(m_dir / "id_rsa", "harmless");
  fs::create_directories(m_dir / ".secret" / "inner");
  fs::create_symlink(secret, m_dir / "report.txt");
  fs::create_symlink(m_dir / ".secret" / "inner", m_dir / "lnk");
  fs::create_symlink(m_dir / ".secret", m_dir / "out");
  fs::create_symlink(Create(m_dir / "script.sh"), m_dir / "innocent.txt");
  fs::create_symlink(m_dir / "nowhere", m_dir / "dangling.txt");
  fs::create_symlink("/dev/zero", m_dir / "zero.bin");
  EXPECT_EQ(Gate(m_dir / "report.txt", 0), kRefused);
  EXPECT_EQ(Gate(m_dir / "lnk" / ".." / "id_rsa", 0), kRefused);  // not the harmless one
  EXPECT_EQ(Gate(m_dir / "out" / "new.txt", 1), kRefused);
  EXPECT_EQ(Gate(m_dir / "innocent.txt", 0), kRefused);
  EXPECT_EQ(Gate(m_dir / "dangling.txt", 1), SIGIL_E_ALREADY_EXISTS);
  EXPECT_EQ(Gate(m_dir / "zero.bin", 0), kRefused);
}

TEST_F(FilePathGate, OnlyRegularFilesAreRead) {
  const fs::path fifo = m_dir / "pipe.bin";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // Would block for ever if it were opened for reading.
  EXPECT_EQ(Gate(fifo, 0), kRefused);
  EXPECT_EQ(Gate("/dev/null", 0), kRefused);
  EXPECT_EQ(Gate("/proc/self/environ", 0), kRefused);
  EXPECT_EQ(Gate("/sys/kernel/uevent_seqnum", 0), kRefused);
}

TEST_F(FilePathGate, ProgramStartUpAndStateFoldersAreRefused) {
  const char* home = std::getenv("HOME");
  ASSERT_NE(home, nullptr);
  for (const fs::path& path :
       {fs::path(home) / "bin" / "tool", fs::path(home) / ".local" / "bin" / "tool",
        fs::path("/usr/lib/x86_64-linux-gnu/x.txt"), fs::path("/lib64/x.txt"),
        fs::path("/run/user/x.txt"), fs::path("/var/spool/cron/x"), fs::path("/boot/x.txt"),
        UserStateRoot() / "registry" / "x.txt", MachineStateRoot() / "x.txt"})
    EXPECT_EQ(Gate(path, 1), kRefused) << path;
  // Whole components only: these merely begin like refused folders.
  for (const fs::path& path : {m_dir / "binaries" / "x.txt", m_dir / "library" / "x.txt"})
    EXPECT_EQ(Gate(path, 1), S_OK) << path;
  for (const char* name : {"a.sh", "a.PY", "start.desktop", "lib.so", "x.jar", "u.service"})
    EXPECT_EQ(Gate(m_dir / name, 1), kRefused) << name;
}

TEST_F(FilePathGate, CheckedFilesReachWhatWasChecked) {
  const fs::path input = Create(m_dir / "in.txt", "hello");
  CheckedFile checked;
  ASSERT_EQ(OpenCheckedFilePath(FromUtf8(input.string()).c_str(), 0, &checked), S_OK);
  EXPECT_EQ(checked.Size(), 5u);
  // Swapping the name afterwards changes nothing for the operation.
  fs::remove(input);
  Create(input, "swapped");
  std::ifstream in(ToUtf8(checked.OpenPath()));
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "hello");

  CheckedFile output;
  ASSERT_EQ(OpenCheckedFilePath(FromUtf8((m_dir / "new.txt").string()).c_str(), 1, &output), S_OK);
  EXPECT_TRUE(output.IsOutput());
  EXPECT_EQ(ToUtf8(output.ResolvedPath()), (m_dir / "new.txt").string());
  CheckedFile missingFolder;
  EXPECT_EQ(OpenCheckedFilePath(FromUtf8((m_dir / "no" / "x.txt").string()).c_str(), 1,
                                &missingFolder),
            MakeHResult(0x80070003u));
}

}  // namespace
