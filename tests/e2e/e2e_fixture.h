// The fixture of every end-to-end test: a fresh sandbox with the built
// payloads at /payload and /payload-v7 and two users, alice and bob, with
// graphical sessions. On failure the sandbox's log and launchctl calls are
// printed.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/sandbox.h"

namespace vq::testing {

inline constexpr char kSupport[] = "/Library/Application Support/com.quendalore";
inline constexpr char kDirectorySet[] = "/Library/Application Support/com.quendalore/ks2";
inline constexpr char kDatabase[] = "/Library/Application Support/com.quendalore/ks2/inst.plist";
inline constexpr char kLockFile[] = "/Library/Application Support/com.quendalore/ks2.lock";
inline constexpr char kInstalledTool[] =
    "/Library/Application Support/com.quendalore/ks2/bin/kestrun";
inline constexpr char kVersion1Dir[] = "/Library/Application Support/com.quendalore/kestrun";
inline constexpr char kVersion1Plist[] = "/Library/LaunchDaemons/com.quendalore.kestrun.plist";

// Runs a shell command inside (PATH=/usr/bin:/bin); the test fails unless it succeeds.
void Shell(Sandbox& sandbox, const std::string& command);

class E2ETest : public ::testing::Test {
 public:
  void SetUp() override;
  void TearDown() override;
  // The tool from /payload, as a product's installer runs it.
  RunResult runTool(std::vector<std::string> args, const RunOptions& options = {});
  // The machine in one line: the database ("db=VERSION/COUNT", "db=bad" or
  // nothing), the installed files that stand, leftovers of killed or failed
  // runs, and the jobs launchd has loaded.
  std::string machine() const;
  // The launchctl calls since the last clear, one "verb arguments" each.
  std::vector<std::string> calls() const;
  // Installs a payload (default: the older build) this many times.
  void installTimes(int times, const std::string& payload = "/payload-v7");

  Sandbox sandbox;
};

}  // namespace vq::testing
