// The fixture of every end-to-end test: a fresh sandbox with the sample
// payload at /payload, and the tool run from there as a product's installer
// would run it. On failure the sandbox's log is printed.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/sandbox.h"

namespace vq::testing {

inline constexpr char kPayloadTool[] = "/payload/bin/kestrun";
inline constexpr char kSupport[] = "/Library/Application Support/com.quendalore";
inline constexpr char kDirectorySet[] = "/Library/Application Support/com.quendalore/ks2";
inline constexpr char kDatabase[] = "/Library/Application Support/com.quendalore/ks2/inst.plist";
inline constexpr char kLockFile[] = "/Library/Application Support/com.quendalore/ks2.lock";
inline constexpr char kInstalledTool[] =
    "/Library/Application Support/com.quendalore/ks2/bin/kestrun";
inline constexpr char kDaemonPlist[] = "/Library/LaunchDaemons/com.quendalore.ks2.plist";
inline constexpr char kAgentPlist[] = "/Library/LaunchAgents/com.quendalore.ks2.ws.plist";
inline constexpr char kVersion1Dir[] = "/Library/Application Support/com.quendalore/kestrun";
inline constexpr char kVersion1Plist[] = "/Library/LaunchDaemons/com.quendalore.kestrun.plist";

// Runs a shell command inside the sandbox (PATH=/usr/bin:/bin); fails the
// test when it does not succeed.
void Shell(Sandbox& sandbox, const std::string& command);

class E2ETest : public ::testing::Test {
 public:
  void SetUp() override {
    if (!sandbox.ready()) GTEST_SKIP() << "no sandbox: " << sandbox.whyNotReady();
    sandbox.installPayload();
    sandbox.installOlderPayload();
    sandbox.writeUsers({{"alice", 1001, 1001, "/Users/alice"}, {"bob", 1002, 1002, "/Users/bob"}});
  }

  void TearDown() override {
    if (HasFailure()) {
      std::cerr << "---- sandbox log ----\n" << sandbox.syslogDump();
      std::cerr << "---- launchctl calls ----\n";
      for (const auto& call : sandbox.launchctlCalls()) {
        for (const auto& arg : call) std::cerr << '[' << arg << "] ";
        std::cerr << '\n';
      }
    }
  }

  RunResult runTool(std::vector<std::string> args, const RunOptions& options = {}) {
    args.insert(args.begin(), kPayloadTool);
    return sandbox.run(args, options);
  }

  // ReferenceCounter, Version and FormatVersion of the database on disk.
  struct Database {
    bool present = false;
    bool valid = false;
    uint32_t formatVersion = 0;
    uint32_t version = 0;
    uint32_t referenceCounter = 0;
  };
  Database readDatabase() const;

  // The machine in one line, for whole-state comparisons: the database
  // ("db=VERSION/COUNT", "db=bad" or nothing), then which of the installed
  // files stand, leftovers of killed or failed runs, and the jobs launchd has.
  std::string machine() const;
  // The launchctl calls since the last clear, one "a b c" string each.
  std::vector<std::string> calls() const;
  // Installs a payload (default: the older build) the given number of times.
  void installTimes(int times, const std::string& payload = "/payload-v7");

  Sandbox sandbox;
};

}  // namespace vq::testing
