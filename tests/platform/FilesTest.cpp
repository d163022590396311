#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/fs/Files.h"
#include "platform/base/LastError.h"
#include "platform/base/WideString.h"
#include "support/TempEnvironment.h"

namespace {
namespace fs = std::filesystem;
using testsupport::MakeTempDir;
using testsupport::WriteTempFile;

std::u16string Wide(const fs::path& p) { return FromUtf8(p.native()); }

std::string Contents(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

UniqueHandle Open(const fs::path& p, DWORD access, DWORD disposition) {
  return UniqueHandle(CreateFileW(Wide(p).c_str(), access, FILE_SHARE_READ, nullptr, disposition,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
}

TEST(FilesTest, HandleWriteReadRoundTrip) {
  fs::path file = MakeTempDir() / "data.bin";
  {
    UniqueHandle h = Open(file, GENERIC_WRITE, CREATE_NEW);
    ASSERT_NE(h.get(), INVALID_HANDLE_VALUE);
    const char text[] = "hello\0world";
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(h.get(), text, sizeof text, &written, nullptr));
    EXPECT_EQ(written, sizeof text);
    EXPECT_TRUE(FlushFileBuffers(h.get()));
  }
  UniqueHandle h = Open(file, GENERIC_READ, OPEN_EXISTING);
  ASSERT_NE(h.get(), INVALID_HANDLE_VALUE);
  LARGE_INTEGER size{};
  ASSERT_TRUE(GetFileSizeEx(h.get(), &size));
  EXPECT_EQ(size.QuadPart, 12);
  DWORD high = 99;
  EXPECT_EQ(GetFileSize(h.get(), &high), 12u);
  EXPECT_EQ(high, 0u);

  char buffer[32] = {};
  DWORD read = 0;
  ASSERT_TRUE(ReadFile(h.get(), buffer, sizeof buffer, &read, nullptr));
  EXPECT_EQ(std::string(buffer, read), std::string("hello\0world", 12));
  ASSERT_TRUE(ReadFile(h.get(), buffer, sizeof buffer, &read, nullptr));
  EXPECT_EQ(read, 0u);  // end of file is success with nothing read

  LARGE_INTEGER move{}, now{};
  move.QuadPart = -5;
  ASSERT_TRUE(SetFilePointerEx(h.get(), move, &now, FILE_END));
  EXPECT_EQ(now.QuadPart, 7);
  move.QuadPart = -100;
  SetLastError(0);
  EXPECT_FALSE(SetFilePointerEx(h.get(), move, &now, FILE_CURRENT));
  EXPECT_EQ(GetLastError(), ERROR_NEGATIVE_SEEK);
  EXPECT_FALSE(SetFilePointerEx(h.get(), move, &now, 7));
  // Opened for reading only.
  EXPECT_FALSE(WriteFile(h.get(), "x", 1, &read, nullptr));
}

TEST(FilesTest, CreationDispositions) {
  fs::path dir = MakeTempDir();
  fs::path existing = dir / "existing.txt";
  std::ofstream(existing) << "keep me";
  struct Case {
    const char* what;
    fs::path path;
    DWORD access;
    DWORD disposition;
    DWORD error;  // 0 = success
    std::string contentsAfter;
  } cases[] = {
      {"new over existing", existing, GENERIC_WRITE, CREATE_NEW, ERROR_FILE_EXISTS, "keep me"},
      {"open missing", dir / "missing", GENERIC_READ, OPEN_EXISTING, ERROR_FILE_NOT_FOUND, ""},
      {"open directory", dir, GENERIC_READ, OPEN_EXISTING, ERROR_ACCESS_DENIED, ""},
      {"write directory", dir, GENERIC_WRITE, OPEN_EXISTING, ERROR_ACCESS_DENIED, ""},
      {"open always existing", existing, GENERIC_READ, OPEN_ALWAYS, 0, "keep me"},
      {"bad disposition", existing, GENERIC_READ, 9, ERROR_INVALID_PARAMETER, "keep me"},
      {"create always truncates", existing, GENERIC_WRITE, CREATE_ALWAYS, 0, ""},
  };
  for (const Case& c : cases) {
    SetLastError(0);
    UniqueHandle h = Open(c.path, c.access, c.disposition);
    if (c.error) {
      EXPECT_EQ(h.get(), INVALID_HANDLE_VALUE) << c.what;
      EXPECT_EQ(GetLastError(), c.error) << c.what;
    } else {
      EXPECT_NE(h.get(), INVALID_HANDLE_VALUE) << c.what;
    }
    if (c.path == existing) {
      EXPECT_EQ(Contents(existing), c.contentsAfter) << c.what;
    }
  }
  EXPECT_EQ(CreateFileW(nullptr, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
}

TEST(FilesTest, HandlesAreCheckedNotTrusted) {
  fs::path file = WriteTempFile("h.txt", "x");
  HANDLE h = CreateFileW(Wide(file).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CloseHandle(h));
  SetLastError(0);
  EXPECT_FALSE(CloseHandle(h));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  char c;
  DWORD n;
  for (HANDLE bad :
       {h, INVALID_HANDLE_VALUE, static_cast<HANDLE>(nullptr), reinterpret_cast<HANDLE>(0x1234)}) {
    SetLastError(0);
    EXPECT_FALSE(ReadFile(bad, &c, 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(GetFileSize(bad, nullptr), INVALID_FILE_SIZE);
  }
}

TEST(FilesTest, DeleteFile) {
  fs::path file = WriteTempFile("del.txt", "x");
  EXPECT_TRUE(DeleteFileW(Wide(file).c_str()));
  EXPECT_FALSE(fs::exists(file));
  SetLastError(0);
  EXPECT_FALSE(DeleteFileW(Wide(file).c_str()));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(DeleteFileW(Wide(file.parent_path()).c_str()));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(fs::is_directory(file.parent_path()));
}

TEST(FilesTest, StreamWriteModesNeverReplaceAFile) {
  fs::path dir = MakeTempDir();
  fs::path existing = dir / "existing.txt";
  std::ofstream(existing) << "original";
  fs::path dangling = dir / "link";
  fs::create_symlink(dir / "target-that-does-not-exist", dangling);
  for (const char16_t* mode : {u"w", u"wb", u"w+", u"wb+", u"w+b", u"wt"}) {
    for (const fs::path& path : {existing, dangling}) {
      FILE* f = reinterpret_cast<FILE*>(1);
      SetLastError(0);
      EXPECT_EQ(_wfopen_s(&f, Wide(path).c_str(), mode), EEXIST) << ToUtf8(mode);
      EXPECT_EQ(f, nullptr);
      EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
    }
  }
  EXPECT_EQ(Contents(existing), "original");
  EXPECT_FALSE(fs::exists(dir / "target-that-does-not-exist"));

  fs::path fresh = dir / "fresh.bin";
  FILE* f = nullptr;
  ASSERT_EQ(_wfopen_s(&f, Wide(fresh).c_str(), u"wb"), 0);
  UniqueFile out(f);
  EXPECT_EQ(std::fwrite("abc", 1, 3, out.get()), 3u);
  out.reset();
  EXPECT_EQ(Contents(fresh), "abc");
}

TEST(FilesTest, StreamReadAndAppendModes) {
  fs::path file = WriteTempFile("r.txt", "12345");
  FILE* f = nullptr;
  ASSERT_EQ(_wfopen_s(&f, Wide(file).c_str(), u"ab"), 0);
  std::fputs("67", f);
  std::fclose(f);
  EXPECT_EQ(Contents(file), "1234567");

  ASSERT_EQ(_wfopen_s(&f, Wide(file).c_str(), u"rb+"), 0);
  UniqueFile rw(f);
  ASSERT_EQ(std::fputc('X', rw.get()), 'X');
  rw.reset();
  EXPECT_EQ(Contents(file), "X234567");

  ASSERT_EQ(_wfopen_s(&f, Wide(file).c_str(), u"r"), 0);
  UniqueFile in(f);
  int flags = fcntl(fileno(in.get()), F_GETFD);
  EXPECT_TRUE(flags & FD_CLOEXEC);
  EXPECT_EQ(std::fputc('Y', in.get()), EOF);  // read-only stream
}

TEST(FilesTest, StreamOpenFailures) {
  fs::path dir = MakeTempDir();
  struct Case {
    const char* what;
    std::u16string name;
    const char16_t* mode;
    int err;
    DWORD lastError;
  } cases[] = {
      {"missing", Wide(dir / "missing"), u"rb", ENOENT, ERROR_FILE_NOT_FOUND},
      {"directory", Wide(dir), u"rb", EACCES, ERROR_ACCESS_DENIED},
      {"empty mode", Wide(dir / "a"), u"", EINVAL, ERROR_INVALID_PARAMETER},
      {"unknown mode", Wide(dir / "a"), u"x", EINVAL, ERROR_INVALID_PARAMETER},
      {"two kinds", Wide(dir / "a"), u"rw", EINVAL, ERROR_INVALID_PARAMETER},
      {"double plus", Wide(dir / "a"), u"r++", EINVAL, ERROR_INVALID_PARAMETER},
      {"empty name", u"", u"rb", EINVAL, ERROR_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    FILE* f = reinterpret_cast<FILE*>(1);
    SetLastError(0);
    EXPECT_EQ(_wfopen_s(&f, c.name.c_str(), c.mode), c.err) << c.what;
    EXPECT_EQ(f, nullptr) << c.what;
    EXPECT_EQ(GetLastError(), c.lastError) << c.what;
  }
  FILE* f = nullptr;
  EXPECT_EQ(_wfopen_s(&f, nullptr, u"rb"), EINVAL);
  EXPECT_EQ(_wfopen_s(&f, u"/x", nullptr), EINVAL);
  EXPECT_EQ(_wfopen_s(nullptr, u"/x", u"rb"), EINVAL);
  EXPECT_FALSE(fs::exists(dir / "a"));
}

TEST(FilesTest, SixtyFourBitSizesAndPositions) {
  fs::path file = MakeTempDir() / "sparse.bin";
  constexpr LONGLONG kMarkerAt = (5LL << 30) + 10;  // past 4 GiB
  {
    int fd = ::open(file.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, 6LL << 30), 0);  // sparse: costs no disk space
    ASSERT_EQ(::pwrite(fd, "MARK", 4, kMarkerAt), 4);
    ::close(fd);
  }
  UniqueHandle h = Open(file, GENERIC_READ, OPEN_EXISTING);
  ASSERT_NE(h.get(), INVALID_HANDLE_VALUE);
  LARGE_INTEGER size{};
  ASSERT_TRUE(GetFileSizeEx(h.get(), &size));
  EXPECT_EQ(size.QuadPart, 6LL << 30);
  EXPECT_EQ(size.LowPart, 0x80000000u);
  EXPECT_EQ(size.HighPart, 1);
  DWORD high = 0;
  SetLastError(123);
  EXPECT_EQ(GetFileSize(h.get(), &high), 0x80000000u);
  EXPECT_EQ(high, 1u);

  LARGE_INTEGER to{}, now{};
  to.QuadPart = kMarkerAt;
  ASSERT_TRUE(SetFilePointerEx(h.get(), to, &now, FILE_BEGIN));
  EXPECT_EQ(now.QuadPart, kMarkerAt);
  char buffer[4];
  DWORD read = 0;
  ASSERT_TRUE(ReadFile(h.get(), buffer, 4, &read, nullptr));
  EXPECT_EQ(std::string(buffer, read), "MARK");

  FILE* f = nullptr;
  ASSERT_EQ(_wfopen_s(&f, Wide(file).c_str(), u"rb"), 0);
  UniqueFile in(f);
  ASSERT_EQ(_fseeki64(in.get(), 0, SEEK_END), 0);
  EXPECT_EQ(_ftelli64(in.get()), 6LL << 30);
  ASSERT_EQ(_fseeki64(in.get(), kMarkerAt, SEEK_SET), 0);
  EXPECT_EQ(_ftelli64(in.get()), kMarkerAt);
  ASSERT_EQ(std::fread(buffer, 1, 4, in.get()), 4u);
  EXPECT_EQ(std::string(buffer, 4), "MARK");
  EXPECT_EQ(_fseeki64(in.get(), -1, SEEK_SET), -1);
  EXPECT_EQ(_fseeki64(nullptr, 0, SEEK_SET), -1);
  EXPECT_EQ(_ftelli64(nullptr), -1);
}

}  // namespace
