// Files past 4 GiB: the sizes, offsets and DER lengths that a 32-bit count
// would wrap. Label "large"; run with ./run large.
#include <gtest/gtest.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>

#include "tools/Sm2FileCliSupport.h"

namespace sm2filetest {
namespace {

constexpr std::uint64_t kFileSize = 4608ull << 20;  // 4.5 GiB
constexpr std::uint64_t kDiskNeeded = 20ull << 30;

// Sparse, with data at the start, across the 4 GiB mark and at the end, so
// the content a wrapped offset would read differs from the right one.
void MakeSparseFile(const fs::path& path) {
  File f(std::fopen(path.c_str(), "wb"));
  ASSERT_TRUE(f);
  ASSERT_EQ(ftruncate(fileno(f.get()), static_cast<off_t>(kFileSize)), 0);
  for (std::uint64_t at : {std::uint64_t{0}, (std::uint64_t{4} << 30) - 5, kFileSize - 7}) {
    ASSERT_EQ(fseeko(f.get(), static_cast<off_t>(at), SEEK_SET), 0);
    ASSERT_GE(std::fputs("npsigil", f.get()), 0);
  }
}

TEST_F(Sm2FileCliTest, FilesPastFourGiBSealOpenSignAndVerify) {
  struct statvfs disk {};
  ASSERT_EQ(statvfs(folder_.c_str(), &disk), 0);
  if (static_cast<std::uint64_t>(disk.f_bavail) * disk.f_frsize < kDiskNeeded)
    GTEST_SKIP() << "needs 20 GiB of free disk";
  const fs::path plain = folder_ / "large.bin";
  MakeSparseFile(plain);
  ASSERT_EQ(fs::file_size(plain), kFileSize);
  RoundTrip(plain);
}

}  // namespace
}  // namespace sm2filetest
