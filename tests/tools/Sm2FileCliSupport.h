// Drives npsigil-sm2file on a file the test prepares: seal, open, sign and
// verify as separate processes, each one's peak memory recorded, so big-file
// runs check the streaming from outside the code that does it.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/Unique.h"
#include "pki/TestPki.h"
#include "support/Subprocess.h"
#include "support/TempEnvironment.h"

namespace sm2filetest {

namespace fs = std::filesystem;

inline constexpr long kPeakMemoryLimitKiB = 16 * 1024;

inline testsupport::ProcessResult Cli(std::vector<std::string> args) {
  args.insert(args.begin(), NPSIGIL_SM2FILE);
  return testsupport::RunProcess(args);
}

using File = foundation::UniqueFile;

// Byte-for-byte comparison in blocks, whatever the sizes.
inline bool SameContent(const fs::path& a, const fs::path& b) {
  File fa(std::fopen(a.c_str(), "rb")), fb(std::fopen(b.c_str(), "rb"));
  if (!fa || !fb) return false;
  std::vector<char> ba(1 << 16), bb(1 << 16);
  for (;;) {
    const std::size_t na = std::fread(ba.data(), 1, ba.size(), fa.get());
    const std::size_t nb = std::fread(bb.data(), 1, bb.size(), fb.get());
    if (na != nb || std::memcmp(ba.data(), bb.data(), na) != 0) return false;
    if (na == 0) return !std::ferror(fa.get()) && !std::ferror(fb.get());
  }
}

class Sm2FileCliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = testsupport::MakeTempDir("sm2file");
    std::string error;
    fixtures_ = testpki::MakeStandardFixtures(folder_, &error);
    ASSERT_TRUE(fixtures_) << error;
  }

  std::string Path(const std::string& name) const { return (folder_ / name).string(); }

  // Peak memory is only meaningful without the sanitizers' shadow memory.
  static void ExpectBoundedMemory(const testsupport::ProcessResult& r, const char* what) {
#ifndef NPSIGIL_SANITIZED
    EXPECT_LT(r.maxRssKiB, kPeakMemoryLimitKiB) << what;
#else
    (void)r;
    (void)what;
#endif
  }

  // Seals, opens, signs and verifies `plain`; the plaintext must come back
  // unchanged and every step stay within the memory bound.
  void RoundTrip(const fs::path& plain) {
    const std::string sealed = Path("sealed.p7e"), opened = Path("opened.bin"),
                      signature = Path("signature.p7");
    auto r = Cli({"seal", Path("sm2-encrypt.cer"), plain.string(), sealed});
    ASSERT_EQ(r.exitCode, 0) << r.output;
    ExpectBoundedMemory(r, "seal");
    const std::uint64_t plainSize = fs::file_size(plain);
    EXPECT_GT(fs::file_size(sealed), (plainSize / 16 + 1) * 16);

    r = Cli({"open", Path("sm2-encrypt.sm2"), "123456", sealed, opened});
    ASSERT_EQ(r.exitCode, 0) << r.output;
    ExpectBoundedMemory(r, "open");
    EXPECT_TRUE(SameContent(plain, opened));

    r = Cli({"sign", Path("sm2-sign.sm2"), "123456", plain.string(), signature});
    ASSERT_EQ(r.exitCode, 0) << r.output;
    ExpectBoundedMemory(r, "sign");
    r = Cli({"verify", signature, plain.string()});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    ExpectBoundedMemory(r, "verify");
  }

  fs::path folder_;
  std::optional<testpki::Fixtures> fixtures_;
};

}  // namespace sm2filetest
