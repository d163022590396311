#include <gtest/gtest.h>

#include "support/TempEnvironment.h"

int main(int argc, char** argv) {
  testsupport::TempRoot();  // before any test can look at the environment
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
