#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <memory>

#include "smengine/common/EngineResult.h"
#include "smengine/common/Misc.h"
#include "support/TempEnvironment.h"

namespace {

struct Closer {
  void operator()(FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, Closer>;

File OpenSized(std::int64_t nSize) {
  const auto path = testsupport::WriteTempFile("sized.bin", "");
  if (::truncate(path.c_str(), nSize) != 0) ADD_FAILURE() << path;  // sparse
  return File(std::fopen(path.c_str(), "rb"));
}

TEST(GetFileSize_Ex, MeasuresRewindsAndRefusesWhatDoesNotFit) {
  struct Case {
    std::int64_t nSize;
    int nResult32;
  };
  const Case cases[] = {{0, ORLO_OK},
                        {1234, ORLO_OK},
                        {INT_MAX, ORLO_OK},
                        {std::int64_t{INT_MAX} + 1, ORLO_FAILED},
                        {std::int64_t{5} << 30, ORLO_FAILED}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.nSize);
    File file = OpenSized(c.nSize);
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

TEST(GetFileSize_Ex, NullArgumentsAndUnseekableStreams) {
  File file = OpenSized(3);
  int nSize = -7;
  std::int64_t nSize64 = -7;
  EXPECT_EQ(GetFileSize_Ex(nullptr, &nSize), ORLO_INVALID_PARAMETER);
  EXPECT_EQ(GetFileSize_Ex(file.get(), nullptr), ORLO_INVALID_PARAMETER);
  EXPECT_EQ(GetFileSize_Ex64(nullptr, &nSize64), ORLO_INVALID_PARAMETER);

  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  File pipe(::fdopen(fds[0], "rb"));
  ::close(fds[1]);
  EXPECT_EQ(GetFileSize_Ex(pipe.get(), &nSize), ORLO_FAILED);
  EXPECT_EQ(GetFileSize_Ex64(pipe.get(), &nSize64), ORLO_FAILED);
  EXPECT_EQ(nSize, -7);
  EXPECT_EQ(nSize64, -7);
}

}  // namespace
