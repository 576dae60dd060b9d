// Updates between real builds: an older release (own version 7, built from
// these sources) is installed first, and this version replaces it by having
// the installed older copy remove itself in update mode.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/e2e/e2e_fixture.h"

namespace vq::testing {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

constexpr char kOlderTool[] = "/payload-v7/bin/kestrun";

class UpdateTest : public E2ETest {
 protected:
  void SetUp() override {
    E2ETest::SetUp();
    if (IsSkipped()) return;
    sandbox.writeUsers({{"alice", 1001, 1001, "/Users/alice"}});
    sandbox.installOlderPayload();
    // Two products installed the older release.
    ASSERT_EQ(sandbox.run({kOlderTool, "install", "/payload-v7"}).exitCode, 0);
    ASSERT_EQ(sandbox.run({kOlderTool, "install", "/payload-v7"}).exitCode, 0);
    const Database db = readDatabase();
    ASSERT_EQ(db.version, 7u);
    ASSERT_EQ(db.referenceCounter, 2u);
    // The older service's pass made its links.
    sandbox.makeDirs("/usr/local/lib");
    ASSERT_EQ(sandbox.run({kInstalledTool, "create"}).exitCode, 0);
    sandbox.clearSyslog();
    sandbox.clearLaunchctlCalls();
  }

  std::vector<std::string> textsOf(int pid) const {
    std::vector<std::string> texts;
    for (const SyslogLine& line : sandbox.syslog()) {
      if (line.pid == pid && line.type != LogType::kDebug) texts.push_back(line.text);
    }
    return texts;
  }

  std::vector<std::string> backups() const {
    std::vector<std::string> found;
    for (const std::string& entry : sandbox.list(kSupport)) {
      if (entry.rfind("ks2bk-", 0) == 0 && entry.find('/') == entry.size() - 1) {
        found.push_back(entry);
      }
    }
    return found;
  }
};

TEST_F(UpdateTest, OlderVersionRemovesItselfAndReferencesCarryOver) {
  RunResult result = runTool({"install", "/payload"});
  ASSERT_EQ(result.exitCode, 0) << sandbox.syslogDump();

  const Database db = readDatabase();
  EXPECT_EQ(db.version, 8u);
  EXPECT_EQ(db.referenceCounter, 3u);
  EXPECT_EQ(sandbox.readFile(kInstalledTool), sandbox.readFile(kPayloadTool));
  EXPECT_NE(sandbox.readFile(kInstalledTool), sandbox.readFile(kOlderTool));
  EXPECT_THAT(backups(), IsEmpty());
  EXPECT_THAT(sandbox.list(kVersion1Dir), ElementsAre("99/"));
  EXPECT_TRUE(sandbox.exists(kLockFile));
  // Update mode keeps the links; the new service refreshes them.
  EXPECT_TRUE(sandbox.exists("/usr/local/lib/libvq-client.dylib"));

  // Two processes logged: this installer, and the older tool in update mode.
  std::vector<int> pids;
  for (const SyslogLine& line : sandbox.syslog()) {
    if (std::find(pids.begin(), pids.end(), line.pid) == pids.end()) pids.push_back(line.pid);
  }
  ASSERT_EQ(pids.size(), 2u) << sandbox.syslogDump();
  EXPECT_THAT(textsOf(pids[0]),
              ElementsAre("installation started", "installed version: 7, my version: 8",
                          "older version detected, uninstalling it first", "done."));
  EXPECT_THAT(textsOf(pids[1]),
              ElementsAre("uninstallation started", "uninstaller started in update mode",
                          "unloading services...", "removing directory set...", "done."));
  for (const SyslogLine& line : sandbox.syslog()) {
    EXPECT_EQ(line.category, line.pid == pids[0] ? "installer" : "uninstaller");
  }

  EXPECT_THAT(sandbox.launchctlCalls(),
              ElementsAre(ElementsAre("launchctl", "unload", kDaemonPlist),
                          ElementsAre("launchctl", "bootout", "gui/1001", kAgentPlist),
                          ElementsAre("launchctl", "load", kDaemonPlist),
                          ElementsAre("launchctl", "start", "com.quendalore.ks2"),
                          ElementsAre("launchctl", "unload", kVersion1Plist)));
}

TEST_F(UpdateTest, FailingOlderToolLeavesTheBackupAndFails) {
  // The installed older copy exits 1 in update mode.
  sandbox.copyIn("/usr/bin/false", "/tmp/false");
  sandbox.writeFile(kInstalledTool, sandbox.readFile("/tmp/false"), 0755);
  RunResult result = runTool({"install", "/payload"});
  EXPECT_EQ(result.exitCode, 1);
  const auto texts = sandbox.syslogTexts();
  EXPECT_THAT(texts, Contains(std::string(kInstalledTool) + " exited with 1"));
  EXPECT_THAT(texts, Contains("uninstaller returned error"));
  EXPECT_EQ(texts.back(), "uninstalling previous version failed");
  ASSERT_EQ(backups().size(), 1u);
  EXPECT_EQ(readDatabase().version, 7u) << "nothing was rolled back or replaced";
  EXPECT_THAT(sandbox.launchctlCalls(), IsEmpty());
}

TEST_F(UpdateTest, OlderToolInAFolderOthersCanWriteIsNeverRun) {
  chmod(sandbox.at(std::string(kDirectorySet) + "/bin").c_str(), 0777);
  EXPECT_EQ(runTool({"install", "/payload"}).exitCode, 1);
  const auto lines = sandbox.syslog();
  const auto refusal = std::find_if(lines.begin(), lines.end(), [](const SyslogLine& line) {
    return line.text.rfind("not running ", 0) == 0;
  });
  ASSERT_NE(refusal, lines.end()) << sandbox.syslogDump();
  EXPECT_EQ(refusal->type, LogType::kError);
  EXPECT_EQ(refusal->text, std::string("not running ") + kInstalledTool + ": " + kDirectorySet +
                               "/bin is not a root-owned folder writable only by root");
  EXPECT_THAT(sandbox.syslogTexts(), Contains("uninstalling previous version failed"));
  // The older tool never ran: its daemon was not unloaded.
  EXPECT_THAT(sandbox.launchctlCalls(), IsEmpty());
  EXPECT_EQ(backups().size(), 1u);
}

TEST_F(UpdateTest, FailedNewInstallRestoresTheOlderVersionAndRegistersItAgain) {
  // This version's payload lacks its daemon's property list.
  sandbox.copyIn(BuiltPayloadPath(), "/payload-broken");
  unlink(sandbox.at("/payload-broken/conf/com.quendalore.ks2.plist").c_str());
  const std::string olderTool = sandbox.readFile(kInstalledTool);

  RunResult result = sandbox.run({"/payload-broken/bin/kestrun", "install", "/payload-broken"});
  EXPECT_EQ(result.exitCode, 1);
  const auto texts = sandbox.syslogTexts();
  EXPECT_THAT(texts, Contains("launchd service installation terminated due to error"));
  EXPECT_THAT(texts, Contains("install process terminated due to error, trying to recover"));

  // The older release is back: files, database and both property lists.
  EXPECT_EQ(sandbox.readFile(kInstalledTool), olderTool);
  const Database db = readDatabase();
  EXPECT_EQ(db.version, 7u);
  EXPECT_EQ(db.referenceCounter, 2u);
  EXPECT_TRUE(sandbox.exists(kDaemonPlist));
  EXPECT_TRUE(sandbox.exists(kAgentPlist));
  EXPECT_THAT(backups(), IsEmpty());
  const auto calls = sandbox.launchctlCalls();
  ASSERT_GE(calls.size(), 2u);
  EXPECT_THAT(calls[calls.size() - 2], ElementsAre("launchctl", "load", kDaemonPlist));
  EXPECT_THAT(calls.back(), ElementsAre("launchctl", "start", "com.quendalore.ks2"));

  // The restored older installation still works: its last product removes it.
  ASSERT_EQ(sandbox.run({kOlderTool, "uninstall"}).exitCode, 0);
  ASSERT_EQ(sandbox.run({kOlderTool, "uninstall"}).exitCode, 0);
  EXPECT_FALSE(sandbox.exists(kDirectorySet));
}

TEST_F(UpdateTest, OlderToolOnlyCountsOnANewerInstallation) {
  ASSERT_EQ(runTool({"install", "/payload"}).exitCode, 0);
  const std::string newer = sandbox.readFile(kInstalledTool);
  ASSERT_EQ(sandbox.run({kOlderTool, "install", "/payload-v7"}).exitCode, 0);
  EXPECT_EQ(readDatabase().version, 8u);
  EXPECT_EQ(readDatabase().referenceCounter, 4u);
  EXPECT_EQ(sandbox.readFile(kInstalledTool), newer) << "an older product downgraded the service";
}

}  // namespace
}  // namespace vq::testing
