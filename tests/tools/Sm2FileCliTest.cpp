#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "tools/Sm2FileCliSupport.h"

namespace sm2filetest {
namespace {

// Bigger than any buffer the streaming may keep, so a whole-file read would
// break the memory bound.
fs::path WritePatternFile(const fs::path& path, std::size_t nMiB) {
  std::ofstream out(path, std::ios::binary);
  std::string block(1 << 20, '\0');
  for (std::size_t i = 0; i < nMiB; ++i) {
    for (std::size_t j = 0; j < block.size(); ++j)
      block[j] = static_cast<char>((i * 7 + j * 13) >> 3);
    out.write(block.data(), static_cast<std::streamsize>(block.size()));
  }
  return path;
}

TEST_F(Sm2FileCliTest, BigFileRoundTripsInBoundedMemory) {
  RoundTrip(WritePatternFile(folder_ / "plain.bin", 48));
}

TEST_F(Sm2FileCliTest, EmptyFileRoundTrips) {
  RoundTrip(WritePatternFile(folder_ / "empty.bin", 0));
}

TEST_F(Sm2FileCliTest, FailuresLeaveNoOutputAndNothingIsOverwritten) {
  const fs::path plain = WritePatternFile(folder_ / "plain.bin", 1);
  const std::string sealed = Path("sealed.p7e");
  ASSERT_EQ(Cli({"seal", Path("sm2-encrypt.cer"), plain.string(), sealed}).exitCode, 0);

  auto r = Cli({"open", Path("sm2-encrypt.sm2"), "wrong", sealed, Path("opened.bin")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.output.find("0xa0071108"), std::string::npos) << r.output;
  EXPECT_FALSE(fs::exists(folder_ / "opened.bin"));

  // A recipient that may not receive keys: refused, nothing written.
  r = Cli({"seal", Path("sm2-sign.cer"), plain.string(), Path("refused.p7e")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.output.find("0xa0072021"), std::string::npos) << r.output;
  EXPECT_FALSE(fs::exists(folder_ / "refused.p7e"));

  const auto before = fs::file_size(sealed);
  r = Cli({"seal", Path("sm2-encrypt.cer"), plain.string(), sealed});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(fs::file_size(sealed), before);
}

TEST_F(Sm2FileCliTest, VerifyNoticesAChangedFile) {
  const fs::path plain = WritePatternFile(folder_ / "plain.bin", 1);
  ASSERT_EQ(Cli({"sign", Path("sm2-sign.sm2"), "123456", plain.string(), Path("sig.p7")}).exitCode,
            0);
  {
    std::fstream f(plain, std::ios::binary | std::ios::in | std::ios::out);
    f.seekp(123456);
    f.put('\x5a');
  }
  EXPECT_EQ(Cli({"verify", Path("sig.p7"), plain.string()}).exitCode, 1);
}

}  // namespace
}  // namespace sm2filetest
