#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "support/TempEnvironment.h"

namespace {

// ctest runs each test in a process of its own; a whole binary run by hand
// must see the same clean per-user and machine state in every test.
class FreshStatePerTest : public ::testing::EmptyTestEventListener {
  void OnTestStart(const ::testing::TestInfo&) override {
    const std::filesystem::path state = testsupport::MakeTempDir("state");
    for (const char* sub : {"home", "xdg", "machine"})
      std::filesystem::create_directories(state / sub);
    ::setenv("HOME", (state / "home").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (state / "xdg").c_str(), 1);
    ::setenv("NPSIGIL_MACHINE_ROOT", (state / "machine").c_str(), 1);
  }
};

}  // namespace

int main(int argc, char** argv) {
  testsupport::TempRoot();  // before any test can look at the environment
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::UnitTest::GetInstance()->listeners().Append(new FreshStatePerTest);
  return RUN_ALL_TESTS();
}
