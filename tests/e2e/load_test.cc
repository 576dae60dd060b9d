// Many products' installers and uninstallers at once, round after round: the
// reference count stays exact, nothing is left after the last uninstall, and
// no run fails for any reason but finding no installation to uninstall.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "tests/e2e/e2e_fixture.h"

namespace vq::testing {
namespace {

constexpr int kProcesses = 32;
constexpr int kRounds = 20;

class LoadTest : public E2ETest {
 protected:
  void SetUp() override {
    E2ETest::SetUp();
    if (IsSkipped()) return;
    sandbox.writeUsers({{"alice", 1001, 1001, "/Users/alice"}});
    for (int i = 0; i < 4; ++i) sandbox.installPayload("/product" + std::to_string(i));
  }

  int count(const std::vector<std::string>& texts, const std::string& text) const {
    return static_cast<int>(std::count(texts.begin(), texts.end(), text));
  }
};

TEST_F(LoadTest, ThirtyTwoAtOnceTwentyTimes) {
  std::mt19937 random(32);
  int expected = 0;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    sandbox.clearSyslog();
    // Rounds lean towards installing at first and towards removing at the end.
    const int installs =
        round < kRounds - 1 ? std::uniform_int_distribution<int>(8, kProcesses - 8)(random) : 0;
    std::vector<bool> kinds(kProcesses, false);
    std::fill(kinds.begin(), kinds.begin() + installs, true);
    std::shuffle(kinds.begin(), kinds.end(), random);

    std::vector<SandboxProcess> processes;
    for (int i = 0; i < kProcesses; ++i) {
      const std::string product = "/product" + std::to_string(i % 4);
      processes.push_back(kinds[i] ? sandbox.spawn({product + "/bin/kestrun", "install", product})
                                   : sandbox.spawn({product + "/bin/kestrun", "uninstall"}));
    }
    int installed = 0, uninstalled = 0, refused = 0;
    for (int i = 0; i < kProcesses; ++i) {
      const RunResult result = processes[i].wait();
      if (kinds[i]) {
        EXPECT_EQ(result.exitCode, 0) << result.err;
        installed += result.exitCode == 0;
      } else {
        EXPECT_TRUE(result.exitCode == 0 || result.exitCode == 1) << result.err;
        uninstalled += result.exitCode == 0;
        refused += result.exitCode == 1;
      }
    }
    const auto texts = sandbox.syslogTexts();
    EXPECT_EQ(count(texts, "installation DB not found or access denied"), refused);
    EXPECT_EQ(count(texts, "done."), installed + uninstalled);

    expected += installed - uninstalled;
    ASSERT_GE(expected, 0);
    const Database db = readDatabase();
    if (expected > 0) {
      ASSERT_TRUE(db.valid) << sandbox.syslogDump();
      EXPECT_EQ(static_cast<int>(db.referenceCounter), expected);
      expected = static_cast<int>(db.referenceCounter);
    } else {
      EXPECT_FALSE(db.present);
    }
  }

  // Whatever remains is removed by as many uninstalls, at once.
  std::vector<SandboxProcess> last;
  for (int i = 0; i < expected; ++i)
    last.push_back(sandbox.spawn({"/product0/bin/kestrun", "uninstall"}));
  for (auto& process : last) EXPECT_EQ(process.wait().exitCode, 0);
  EXPECT_FALSE(sandbox.exists(kDatabase));
  EXPECT_FALSE(sandbox.exists(kDaemonPlist));
  EXPECT_FALSE(sandbox.exists(kAgentPlist));
  if (expected > 0) {
    EXPECT_FALSE(sandbox.exists(kDirectorySet));
    EXPECT_FALSE(sandbox.exists(kLockFile));
  }
  for (const std::string& entry : sandbox.list(kSupport)) {
    EXPECT_EQ(entry.find("ks2bk-"), std::string::npos) << entry;
    EXPECT_EQ(entry.find(".ks2-"), std::string::npos) << entry;
  }
}

}  // namespace
}  // namespace vq::testing
