#include "kestrun/Globals.h"

#include <gtest/gtest.h>

namespace {

// The service loop and the database read these very symbols, linked here
// from the release build's own definitions.
TEST(ReleaseConstants, ServiceRestsSixtySecondsForeverAndInstallsVersionEight) {
  EXPECT_EQ(vqServicePassPause, 60u);
  EXPECT_EQ(vqServicePassLimit, 0u);
  EXPECT_EQ(vqOwnVersion, 8u);
}

}  // namespace
