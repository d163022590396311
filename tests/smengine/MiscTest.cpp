#include "smengine/Misc.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "smengine/EngineResult.h"
#include "support/TempEnvironment.h"

namespace {

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

File OpenSized(const std::string& name, std::int64_t nSize) {
  const std::filesystem::path path = testsupport::WriteTempFile(name, "");
  if (::truncate(path.c_str(), nSize) != 0) ADD_FAILURE() << "truncate " << path;
  return File(std::fopen(path.c_str(), "rb"));
}

TEST(GetFileSize_Ex, NullArguments) {
  File file = OpenSized("null.bin", 3);
  int nSize = 0;
  std::int64_t nSize64 = 0;
  EXPECT_EQ(GetFileSize_Ex(nullptr, &nSize), ORLO_INVALID_PARAMETER);
  EXPECT_EQ(GetFileSize_Ex(file.get(), nullptr), ORLO_INVALID_PARAMETER);
  EXPECT_EQ(GetFileSize_Ex64(nullptr, &nSize64), ORLO_INVALID_PARAMETER);
  EXPECT_EQ(GetFileSize_Ex64(file.get(), nullptr), ORLO_INVALID_PARAMETER);
}

TEST(GetFileSize_Ex, MeasuresAndRewinds) {
  struct Case {
    std::int64_t nSize;
    int nResult32;
  };
  const Case cases[] = {
      {0, ORLO_OK},
      {1234, ORLO_OK},
      {INT_MAX, ORLO_OK},
      {std::int64_t{INT_MAX} + 1, ORLO_FAILED},  // does not fit: refused, not cut short
      {std::int64_t{5} << 30, ORLO_FAILED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.nSize);
    File file = OpenSized("sized.bin", c.nSize);
    ASSERT_TRUE(file);
    std::fseek(file.get(), c.nSize / 2, SEEK_SET);

    int nSize = -7;
    EXPECT_EQ(GetFileSize_Ex(file.get(), &nSize), c.nResult32);
    EXPECT_EQ(nSize, c.nResult32 == ORLO_OK ? c.nSize : -7);

    std::fseek(file.get(), c.nSize / 2, SEEK_SET);
    std::int64_t nSize64 = -7;
    EXPECT_EQ(GetFileSize_Ex64(file.get(), &nSize64), ORLO_OK);
    EXPECT_EQ(nSize64, c.nSize);
    EXPECT_EQ(std::ftell(file.get()), 0);
  }
}

TEST(GetFileSize_Ex, UnseekableStreamFails) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  File reader(::fdopen(fds[0], "rb"));
  ::close(fds[1]);
  int nSize = -7;
  std::int64_t nSize64 = -7;
  EXPECT_EQ(GetFileSize_Ex(reader.get(), &nSize), ORLO_FAILED);
  EXPECT_EQ(GetFileSize_Ex64(reader.get(), &nSize64), ORLO_FAILED);
  EXPECT_EQ(nSize, -7);
  EXPECT_EQ(nSize64, -7);
}

}  // namespace
