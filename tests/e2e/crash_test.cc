// The tool killed with SIGKILL at many points of an install, an update and a
// last-reference uninstall: the database on disk is never torn, the directory
// set is never half-copied or half-deleted, and running the same command
// again ends in a working installation. Where the order of the steps leaves a
// window (the README's reliability section lists them), the test pins down
// exactly what is left, so that the documentation stays true.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <thread>

#include "tests/e2e/e2e_fixture.h"

namespace vq::testing {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

class CrashTest : public E2ETest {
 protected:
  void SetUp() override {
    E2ETest::SetUp();
    if (IsSkipped()) return;
    sandbox.writeUsers({{"alice", 1001, 1001, "/Users/alice"}});
  }

  // Starts the command, waits until launchctl is asked for `subcommand`, and
  // kills the tool while launchctl is still answering.
  void killAtLaunchctl(const std::vector<std::string>& argv, const std::string& subcommand) {
    sandbox.pauseLaunchctl(subcommand);
    SandboxProcess process = sandbox.spawn(argv);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (sandbox.pausedLaunchctls().empty() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_FALSE(sandbox.pausedLaunchctls().empty()) << "launchctl " << subcommand << " never ran";
    process.kill(SIGKILL);
    EXPECT_EQ(process.wait().signal, SIGKILL);
    sandbox.resumeLaunchctl(subcommand);
    // The orphaned launchctl finishes on its own.
    while (!sandbox.pausedLaunchctls().empty()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }

  void killAfter(const std::vector<std::string>& argv, int microseconds) {
    SandboxProcess process = sandbox.spawn(argv);
    std::this_thread::sleep_for(std::chrono::microseconds(microseconds));
    process.kill(SIGKILL);
    (void)process.wait();
  }

  // What must hold after any kill: a database is absent or whole, and a
  // directory set is absent, empty (a start-up's root) or a complete copy.
  void expectConsistent(const std::string& payload = "/payload") {
    const Database db = readDatabase();
    if (db.present) {
      EXPECT_TRUE(db.valid) << sandbox.readFile(kDatabase);
      EXPECT_EQ(db.formatVersion, 1u);
    }
    if (sandbox.exists(kDirectorySet) && !sandbox.list(kDirectorySet).empty()) {
      EXPECT_EQ(sandbox.readFile(kInstalledTool), sandbox.readFile(payload + "/bin/kestrun"));
      for (const char* file :
           {"/conf/com.quendalore.ks2.plist", "/conf/com.quendalore.ks2.ws.plist",
            "/modules/libfreerdp.dylib", "/modules/ica.bundle/Contents/Info.plist"}) {
        EXPECT_EQ(sandbox.readFile(std::string(kDirectorySet) + file),
                  sandbox.readFile(payload + file))
            << file;
      }
    }
  }

  // A working installation: files, database, both property lists.
  void expectInstalled(uint32_t minimum, uint32_t maximum) {
    const Database db = readDatabase();
    ASSERT_TRUE(db.valid);
    EXPECT_EQ(db.version, 8u);
    EXPECT_GE(db.referenceCounter, minimum);
    EXPECT_LE(db.referenceCounter, maximum);
    expectConsistent();
    EXPECT_TRUE(sandbox.exists(kDaemonPlist));
  }

  std::vector<std::string> backups() const {
    std::vector<std::string> found;
    for (const std::string& entry : sandbox.list(kSupport)) {
      if (entry.rfind("ks2bk-", 0) == 0 && entry.find('/') + 1 == entry.size()) {
        found.push_back(entry);
      }
    }
    return found;
  }

  const std::vector<std::string> install_ = {kPayloadTool, "install", "/payload"};
  const std::vector<std::string> uninstall_ = {kPayloadTool, "uninstall"};
};

TEST_F(CrashTest, FreshInstallKilledWhileTheDaemonLoads) {
  killAtLaunchctl(install_, "load");
  expectConsistent();
  // The database was written before launchd was asked: the run's reference counts.
  EXPECT_EQ(readDatabase().referenceCounter, 1u);
  ASSERT_EQ(sandbox.run(install_).exitCode, 0);
  expectInstalled(2, 2);
  // Known window: the repeated install only counts, so the agent's list that
  // the killed run never placed is still missing.
  EXPECT_FALSE(sandbox.exists(kAgentPlist));
}

TEST_F(CrashTest, FreshInstallKilledWhileRetiringVersionOne) {
  killAtLaunchctl(install_, "unload");
  expectConsistent();
  ASSERT_EQ(sandbox.run(install_).exitCode, 0);
  expectInstalled(2, 2);
  EXPECT_TRUE(sandbox.exists(kAgentPlist));
}

TEST_F(CrashTest, InstallKilledAtRandomMomentsNeverLeavesATornState) {
  std::mt19937 random(7);
  for (int round = 0; round < 25; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    killAfter(install_, std::uniform_int_distribution<int>(0, 40000)(random));
    expectConsistent();
  }
  ASSERT_EQ(sandbox.run(install_).exitCode, 0);
  expectInstalled(1, 26);
  // The last full install cleared what killed runs left half-way.
  for (const std::string& entry : sandbox.list(kSupport)) {
    if (entry.find('/') + 1 == entry.size()) {
      EXPECT_EQ(entry.find(".ks2-removing-"), std::string::npos) << entry;
    }
  }
}

TEST_F(CrashTest, LastUninstallKilledAtEachLaunchctlCallFinishesOnTheNextRun) {
  for (const char* subcommand : {"unload", "bootout"}) {
    SCOPED_TRACE(subcommand);
    ASSERT_EQ(sandbox.run(install_).exitCode, 0);
    killAtLaunchctl(uninstall_, subcommand);
    expectConsistent();
    // Nothing was deleted before the services were unregistered.
    EXPECT_EQ(readDatabase().referenceCounter, 1u);
    ASSERT_EQ(sandbox.run(uninstall_).exitCode, 0);
    EXPECT_FALSE(sandbox.exists(kDirectorySet));
    EXPECT_FALSE(sandbox.exists(kLockFile));
    EXPECT_FALSE(sandbox.exists(kDaemonPlist));
    EXPECT_FALSE(sandbox.exists(kAgentPlist));
  }
}

TEST_F(CrashTest, UninstallKilledAtRandomMomentsNeverHalfDeletes) {
  std::mt19937 random(11);
  for (int round = 0; round < 15; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    ASSERT_EQ(sandbox.run(install_).exitCode, 0);
    killAfter(uninstall_, std::uniform_int_distribution<int>(0, 30000)(random));
    expectConsistent();
    // Whatever the moment, another uninstall (or none needed) ends with no service.
    const RunResult again = sandbox.run(uninstall_);
    if (again.exitCode != 0) {
      EXPECT_THAT(sandbox.syslogTexts(), Contains("installation DB not found or access denied"));
    }
    EXPECT_FALSE(readDatabase().present);
    EXPECT_FALSE(sandbox.exists(kDaemonPlist));
    EXPECT_FALSE(sandbox.exists(kAgentPlist));
    if (sandbox.exists(kDirectorySet)) {
      EXPECT_THAT(sandbox.list(kDirectorySet), IsEmpty());
    }
    sandbox.clearSyslog();
  }
}

TEST_F(CrashTest, UpdateKilledWhileTheNewDaemonLoadsKeepsAllReferences) {
  sandbox.installOlderPayload();
  ASSERT_EQ(sandbox.run({"/payload-v7/bin/kestrun", "install", "/payload-v7"}).exitCode, 0);
  ASSERT_EQ(sandbox.run({"/payload-v7/bin/kestrun", "install", "/payload-v7"}).exitCode, 0);
  killAtLaunchctl(install_, "load");
  expectConsistent();
  EXPECT_EQ(readDatabase().referenceCounter, 3u);
  EXPECT_EQ(readDatabase().version, 8u);
  // Known window: the killed run's backup stays behind.
  EXPECT_EQ(backups().size(), 1u);
  ASSERT_EQ(sandbox.run(install_).exitCode, 0);
  expectInstalled(4, 4);
}

TEST_F(CrashTest, UpdateKilledWhileTheOlderToolRemovesItselfLeavesTheCountInTheBackup) {
  sandbox.installOlderPayload();
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(sandbox.run({"/payload-v7/bin/kestrun", "install", "/payload-v7"}).exitCode, 0);
  }
  // The installer dies while the older copy, its child, is unloading; the
  // child goes on and removes the older installation.
  sandbox.clearSyslog();
  killAtLaunchctl(install_, "unload");
  ASSERT_TRUE(sandbox.waitForSyslog("done.", 10000)) << "the older copy did not finish";
  expectConsistent();
  EXPECT_FALSE(readDatabase().present);
  // Known window: the three references now live only in the backup.
  const auto found = backups();
  ASSERT_EQ(found.size(), 1u);
  const std::string saved = std::string(kSupport) + "/" + found[0] + "inst.plist";
  EXPECT_THAT(sandbox.readFile(saved), HasSubstr("<key>ReferenceCounter</key>\n\t<integer>3<"));
  ASSERT_EQ(sandbox.run(install_).exitCode, 0);
  expectInstalled(1, 1);
}

}  // namespace
}  // namespace vq::testing
