#include <gtest/gtest.h>

#include "support/harness.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  testsupport::installHarness();
  return RUN_ALL_TESTS();
}
