// Installers and uninstallers of several products started at the same moment:
// they take turns on the installation lock, and no reference is ever lost.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "tests/e2e/e2e_fixture.h"

namespace vq::testing {
namespace {

using ::testing::Contains;
using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

class ConcurrencyTest : public E2ETest {
 protected:
  void SetUp() override {
    E2ETest::SetUp();
    if (IsSkipped()) return;
    sandbox.writeUsers({{"alice", 1001, 1001, "/Users/alice"}});
    // Each product ships its own copy of the payload.
    for (int i = 0; i < 8; ++i) sandbox.installPayload("/product" + std::to_string(i));
  }

  struct Outcome {
    bool install;
    RunResult result;
  };

  // Starts every run at once and waits for all of them.
  std::vector<Outcome> runTogether(const std::vector<bool>& installs) {
    std::vector<SandboxProcess> processes;
    for (size_t i = 0; i < installs.size(); ++i) {
      const std::string product = "/product" + std::to_string(i % 8);
      if (installs[i]) {
        processes.push_back(sandbox.spawn({product + "/bin/kestrun", "install", product}));
      } else {
        processes.push_back(sandbox.spawn({product + "/bin/kestrun", "uninstall"}));
      }
    }
    std::vector<Outcome> outcomes;
    for (size_t i = 0; i < processes.size(); ++i) {
      outcomes.push_back({installs[i], processes[i].wait()});
    }
    return outcomes;
  }

  int count(const std::string& text) const {
    const auto texts = sandbox.syslogTexts();
    return static_cast<int>(std::count(texts.begin(), texts.end(), text));
  }

  std::vector<std::string> leftovers() const {
    std::vector<std::string> entries;
    for (const std::string& entry : sandbox.list(kSupport)) {
      if (entry.find("ks2bk-") != std::string::npos ||
          entry.find(".ks2-staging") != std::string::npos) {
        entries.push_back(entry);
      }
    }
    return entries;
  }
};

TEST_F(ConcurrencyTest, EightInstallsAtOnceCountEightAndInstallOnce) {
  const auto outcomes = runTogether(std::vector<bool>(8, true));
  for (const Outcome& outcome : outcomes) EXPECT_EQ(outcome.result.exitCode, 0);
  const Database db = readDatabase();
  EXPECT_TRUE(db.valid);
  EXPECT_EQ(db.referenceCounter, 8u);
  EXPECT_EQ(count("done."), 8);
  EXPECT_EQ(count("installed version of Kestrun2 is OK, just increasing ref counter"), 7);
  const auto calls = sandbox.launchctlCalls();
  EXPECT_EQ(
      std::count_if(calls.begin(), calls.end(), [](const auto& call) { return call[1] == "load"; }),
      1);
  EXPECT_THAT(leftovers(), IsEmpty());
}

TEST_F(ConcurrencyTest, EightUninstallsAtOnceLeaveNothing) {
  for (const Outcome& outcome : runTogether(std::vector<bool>(8, true))) {
    ASSERT_EQ(outcome.result.exitCode, 0);
  }
  sandbox.clearSyslog();
  for (const Outcome& outcome : runTogether(std::vector<bool>(8, false))) {
    EXPECT_EQ(outcome.result.exitCode, 0);
  }
  EXPECT_EQ(count("other software depends on kestrun, just decreasing ref counter"), 7);
  EXPECT_EQ(count("removing directory set..."), 1);
  EXPECT_FALSE(sandbox.exists(kDirectorySet));
  EXPECT_FALSE(sandbox.exists(kLockFile));
  EXPECT_FALSE(sandbox.exists(kDaemonPlist));
  EXPECT_FALSE(sandbox.exists(kAgentPlist));
  EXPECT_FALSE(sandbox.exists(kVersion1Dir));
  EXPECT_THAT(leftovers(), IsEmpty());
}

TEST_F(ConcurrencyTest, AnyInterleavingKeepsTheExactCount) {
  std::mt19937 random(20261206);
  for (int round = 0; round < 6; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    sandbox.clearSyslog();
    const uint32_t before = readDatabase().referenceCounter;
    std::vector<bool> installs;
    const int install_count = std::uniform_int_distribution<int>(2, 7)(random);
    const int uninstall_count = std::uniform_int_distribution<int>(2, 7)(random);
    installs.insert(installs.end(), install_count, true);
    installs.insert(installs.end(), uninstall_count, false);
    std::shuffle(installs.begin(), installs.end(), random);

    int installed = 0;
    int uninstalled = 0;
    for (const Outcome& outcome : runTogether(installs)) {
      if (outcome.install) {
        EXPECT_EQ(outcome.result.exitCode, 0);
        installed += outcome.result.exitCode == 0;
      } else {
        uninstalled += outcome.result.exitCode == 0;
      }
    }
    // The only accepted failure: an uninstaller that found no installation.
    const int failed_uninstalls = uninstall_count - uninstalled;
    EXPECT_EQ(count("installation DB not found or access denied"), failed_uninstalls);
    EXPECT_EQ(count("uninstall process terminated due to error"), 0);
    EXPECT_EQ(count("install process terminated due to error"), 0);

    const int expected = static_cast<int>(before) + installed - uninstalled;
    const Database db = readDatabase();
    if (expected == 0) {
      EXPECT_FALSE(db.present);
      EXPECT_FALSE(sandbox.exists(kDaemonPlist));
      EXPECT_FALSE(sandbox.exists(kAgentPlist));
      // An uninstaller that came after the removal leaves its empty root.
      if (sandbox.exists(kDirectorySet)) {
        EXPECT_GT(failed_uninstalls, 0);
        EXPECT_THAT(sandbox.list(kDirectorySet), IsEmpty());
      }
      if (sandbox.exists(kLockFile)) {
        EXPECT_GT(failed_uninstalls, 0);
      }
    } else {
      EXPECT_TRUE(db.valid);
      EXPECT_EQ(static_cast<int>(db.referenceCounter), expected);
      EXPECT_TRUE(sandbox.exists(kInstalledTool));
      EXPECT_TRUE(sandbox.exists(kDaemonPlist));
    }
    EXPECT_THAT(leftovers(), IsEmpty());
  }
}

}  // namespace
}  // namespace vq::testing
