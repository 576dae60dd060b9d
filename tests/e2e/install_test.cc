// Install and uninstall as products' installers run them, end to end: what
// each situation of the installation database leads to, on disk, in
// launchctl and in the log.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/e2e/e2e_fixture.h"

namespace vq::testing {
namespace {

using ::testing::AllOf;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

std::string DatabaseText(uint32_t format, uint32_t version, uint32_t counter) {
  return "<plist version=\"1.0\"><dict><key>FormatVersion</key><integer>" + std::to_string(format) +
         "</integer><key>Version</key><integer>" + std::to_string(version) +
         "</integer><key>ReferenceCounter</key><integer>" + std::to_string(counter) +
         "</integer></dict></plist>";
}

ino_t InodeOf(const std::string& path) {
  struct stat st {};
  lstat(path.c_str(), &st);
  return st.st_ino;
}

class InstallTest : public E2ETest {
 protected:
  void SetUp() override {
    E2ETest::SetUp();
    if (IsSkipped()) return;
    sandbox.writeUsers({{"alice", 1001, 1001, "/Users/alice"}, {"bob", 1002, 1002, "/Users/bob"}});
  }

  RunResult install(const std::string& source = "/payload") { return runTool({"install", source}); }
  RunResult uninstall() { return runTool({"uninstall"}); }

  std::vector<std::string> infoTexts() const {
    std::vector<std::string> texts;
    for (const SyslogLine& line : sandbox.syslog()) {
      if (line.type != LogType::kDebug) texts.push_back(line.text);
    }
    return texts;
  }

  std::vector<std::string> supportEntries() const {
    std::vector<std::string> top;
    for (const std::string& entry : sandbox.list(kSupport)) {
      if (entry.find('/') == std::string::npos || entry.find('/') == entry.size() - 1) {
        top.push_back(entry);
      }
    }
    return top;
  }

  // Everything an installation leaves outside the maker's folder is gone.
  void expectNothingInstalled() {
    EXPECT_FALSE(sandbox.exists(kDirectorySet));
    EXPECT_FALSE(sandbox.exists(kLockFile));
    EXPECT_FALSE(sandbox.exists(kDaemonPlist));
    EXPECT_FALSE(sandbox.exists(kAgentPlist));
    EXPECT_FALSE(sandbox.exists(kVersion1Dir));
  }
};

TEST_F(InstallTest, FreshInstallCopiesRegistersAndRetiresVersionOne) {
  RunResult result = install();
  ASSERT_EQ(result.exitCode, 0);
  EXPECT_THAT(result.out, IsEmpty());
  EXPECT_THAT(result.err, IsEmpty());

  const Database db = readDatabase();
  EXPECT_TRUE(db.valid);
  EXPECT_EQ(db.formatVersion, 1u);
  EXPECT_EQ(db.version, 8u);
  EXPECT_EQ(db.referenceCounter, 1u);
  EXPECT_EQ(sandbox.readFile(kInstalledTool), sandbox.readFile(kPayloadTool));
  EXPECT_EQ(sandbox.readFile(kDaemonPlist),
            sandbox.readFile("/payload/conf/com.quendalore.ks2.plist"));
  EXPECT_EQ(sandbox.readFile(kAgentPlist),
            sandbox.readFile("/payload/conf/com.quendalore.ks2.ws.plist"));
  EXPECT_THAT(sandbox.list(kVersion1Dir), ElementsAre("99/"));
  EXPECT_THAT(supportEntries(), ElementsAre("kestrun/", "ks2/", "ks2.lock"));

  EXPECT_THAT(sandbox.launchctlCalls(),
              ElementsAre(ElementsAre("launchctl", "load", kDaemonPlist),
                          ElementsAre("launchctl", "start", "com.quendalore.ks2"),
                          ElementsAre("launchctl", "unload", kVersion1Plist)));
  EXPECT_THAT(infoTexts(), ElementsAre("installation started", "done."));
}

TEST_F(InstallTest, InstallingTheSameVersionAgainOnlyCounts) {
  ASSERT_EQ(install().exitCode, 0);
  const ino_t tool = InodeOf(sandbox.at(kInstalledTool));
  sandbox.clearLaunchctlCalls();
  sandbox.clearSyslog();

  // A source that does not exist is never read when the version is current.
  ASSERT_EQ(install("/no/such/payload").exitCode, 0);
  EXPECT_EQ(readDatabase().referenceCounter, 2u);
  EXPECT_EQ(InodeOf(sandbox.at(kInstalledTool)), tool) << "files were copied again";
  EXPECT_THAT(sandbox.launchctlCalls(), IsEmpty());
  EXPECT_THAT(
      infoTexts(),
      ElementsAre("installation started", "installed version: 8, my version: 8",
                  "installed version of Kestrun2 is OK, just increasing ref counter", "done."));
}

TEST_F(InstallTest, NewerInstalledVersionStaysAndGainsAReference) {
  ASSERT_EQ(install().exitCode, 0);
  sandbox.writeFile(kDatabase, DatabaseText(1, 9, 3));
  ASSERT_EQ(install().exitCode, 0);
  const Database db = readDatabase();
  EXPECT_EQ(db.version, 9u);
  EXPECT_EQ(db.referenceCounter, 4u);
}

TEST_F(InstallTest, InvalidDatabaseStopsBothProceduresUnchanged) {
  ASSERT_EQ(install().exitCode, 0);
  const std::string invalid = DatabaseText(2, 8, 5);
  sandbox.writeFile(kDatabase, invalid);
  sandbox.clearSyslog();
  sandbox.clearLaunchctlCalls();

  EXPECT_EQ(install().exitCode, 1);
  EXPECT_EQ(uninstall().exitCode, 1);
  EXPECT_EQ(sandbox.readFile(kDatabase), invalid);
  EXPECT_THAT(sandbox.launchctlCalls(), IsEmpty());
  EXPECT_THAT(infoTexts(), ElementsAre("installation started", "installation DB invalid format",
                                       "uninstallation started", "installation DB invalid format"));
}

TEST_F(InstallTest, UninstallWithoutInstallationLeavesTheEmptyRoot) {
  RunResult result = uninstall();
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_THAT(result.err, IsEmpty());
  EXPECT_THAT(infoTexts(),
              ElementsAre("uninstallation started", "installation DB not found or access denied"));
  EXPECT_THAT(sandbox.list(kDirectorySet), IsEmpty());
  EXPECT_THAT(sandbox.launchctlCalls(), IsEmpty());
}

TEST_F(InstallTest, UninstallCountsDownThenRemovesEverythingWithTheLastReference) {
  ASSERT_EQ(install().exitCode, 0);
  ASSERT_EQ(install().exitCode, 0);
  sandbox.makeDirs("/usr/local/lib");
  ASSERT_EQ(sandbox.run({kInstalledTool, "create"}).exitCode, 0);
  ASSERT_EQ(sandbox.readLink("/usr/local/lib/libvq-client.dylib"),
            std::string(kDirectorySet) + "/modules/libfreerdp.dylib");
  sandbox.clearSyslog();
  sandbox.clearLaunchctlCalls();

  ASSERT_EQ(uninstall().exitCode, 0);
  EXPECT_EQ(readDatabase().referenceCounter, 1u);
  EXPECT_TRUE(sandbox.exists("/usr/local/lib/libvq-client.dylib"));
  EXPECT_THAT(sandbox.launchctlCalls(), IsEmpty());
  EXPECT_THAT(
      infoTexts(),
      ElementsAre("uninstallation started", "installed version: 8, my version: 8",
                  "other software depends on kestrun, just decreasing ref counter", "done."));
  sandbox.clearSyslog();

  ASSERT_EQ(uninstall().exitCode, 0);
  expectNothingInstalled();
  EXPECT_FALSE(sandbox.exists("/usr/local/lib/libvq-client.dylib"));
  EXPECT_FALSE(sandbox.exists("/Library/DCV Extensions/com.quendalore.dcvproxy.json"));
  EXPECT_TRUE(sandbox.exists("/usr/local/lib")) << "folders the link maker made stay";
  EXPECT_THAT(sandbox.launchctlCalls(),
              ElementsAre(ElementsAre("launchctl", "unload", kDaemonPlist),
                          ElementsAre("launchctl", "bootout", "gui/1001", kAgentPlist),
                          ElementsAre("launchctl", "bootout", "gui/1002", kAgentPlist)));
  EXPECT_THAT(infoTexts(),
              ElementsAre("uninstallation started", "installed version: 8, my version: 8",
                          "unloading services...", "removing directory set...", "done."));
}

TEST_F(InstallTest, UninstallOfAnOlderDatabaseSaysSoAndBehavesTheSame) {
  ASSERT_EQ(install().exitCode, 0);
  sandbox.writeFile(kDatabase, DatabaseText(1, 6, 2));
  ASSERT_EQ(uninstall().exitCode, 0);
  EXPECT_THAT(infoTexts(), Contains("strange that uninstaller from higher version"));
  EXPECT_EQ(readDatabase().referenceCounter, 1u);
  EXPECT_EQ(readDatabase().version, 6u);
}

TEST_F(InstallTest, CounterAtZeroStillRemovesEverything) {
  ASSERT_EQ(install().exitCode, 0);
  sandbox.writeFile(kDatabase, DatabaseText(1, 8, 0));
  ASSERT_EQ(uninstall().exitCode, 0);
  expectNothingInstalled();
}

TEST_F(InstallTest, UpdateModeRemovesEverythingButTheLinksAndTheLock) {
  ASSERT_EQ(install().exitCode, 0);
  ASSERT_EQ(install().exitCode, 0);
  ASSERT_EQ(sandbox.run({kInstalledTool, "create"}).exitCode, 0);
  sandbox.clearSyslog();
  sandbox.clearLaunchctlCalls();

  RunResult result = runTool({"uninstall", "-u"});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_FALSE(sandbox.exists(kDirectorySet)) << "references do not matter in update mode";
  EXPECT_FALSE(sandbox.exists(kDaemonPlist));
  EXPECT_FALSE(sandbox.exists(kAgentPlist));
  EXPECT_FALSE(sandbox.exists(kVersion1Dir));
  EXPECT_TRUE(sandbox.exists("/Library/DCV Extensions/com.quendalore.dcvproxy.json"));
  EXPECT_THAT(infoTexts(),
              ElementsAre("uninstallation started", "uninstaller started in update mode",
                          "unloading services...", "removing directory set...", "done."));
}

TEST_F(InstallTest, UpdateModeOnAnEmptyMachineSucceeds) {
  EXPECT_EQ(runTool({"uninstall", "-u"}).exitCode, 0);
  // The empty root that start-up made is removed again.
  EXPECT_FALSE(sandbox.exists(kDirectorySet));
  EXPECT_THAT(infoTexts(),
              ElementsAre("uninstallation started", "uninstaller started in update mode",
                          "unloading services...", "removing directory set...", "done."));
  EXPECT_THAT(sandbox.launchctlCalls(),
              ElementsAre(ElementsAre("launchctl", "unload", kDaemonPlist),
                          ElementsAre("launchctl", "bootout", "gui/1001", kAgentPlist),
                          ElementsAre("launchctl", "bootout", "gui/1002", kAgentPlist)));
}

TEST_F(InstallTest, FreshInstallFromAMissingSourceFailsAndRecovers) {
  RunResult result = install("/no/such/payload");
  EXPECT_EQ(result.exitCode, 1);
  const auto texts = infoTexts();
  EXPECT_THAT(texts, Contains("cannot copy service files into place: copy /no/such/payload: No "
                              "such file or directory"));
  EXPECT_THAT(texts, Contains("install process terminated due to error, trying to recover"));
  EXPECT_FALSE(sandbox.exists(kDatabase));
  EXPECT_FALSE(sandbox.exists(kDaemonPlist));
  // Recovery tried to register whatever is in place: there is nothing.
  EXPECT_THAT(sandbox.launchctlCalls(), IsEmpty());

  // The machine is not stuck: a good payload installs afterwards.
  ASSERT_EQ(install().exitCode, 0);
  EXPECT_EQ(readDatabase().referenceCounter, 1u);
}

TEST_F(InstallTest, FailedDaemonLoadOnFreshInstallKeepsTheCountedDatabase) {
  sandbox.setLaunchctlAnswer("load", 5, "Load failed: 5: Input/output error\n");
  EXPECT_EQ(install().exitCode, 1);
  EXPECT_THAT(infoTexts(), Contains("launchd service installation terminated due to error"));
  // No backup to restore: the new database counts the failed run's reference.
  EXPECT_EQ(readDatabase().referenceCounter, 1u);
  EXPECT_THAT(sandbox.launchctlCalls(),
              ElementsAre(ElementsAre("launchctl", "load", kDaemonPlist),
                          ElementsAre("launchctl", "load", kDaemonPlist)));
}

TEST_F(InstallTest, PayloadWithLinksFifosAndDeepFoldersInstallsSafely) {
  sandbox.writeFile("/etc/outside-target", "not ours");
  chown(sandbox.at("/etc/outside-target").c_str(), 1001, 1001);
  sandbox.symlink("/etc/outside-target", "/payload/conf/outside-link");
  sandbox.symlink("/etc", "/payload/etc-link");
  ASSERT_EQ(mkfifo(sandbox.at("/payload/modules/pipe").c_str(), 0644), 0);
  std::string deep = "/payload/deep";
  for (int i = 0; i < 100; ++i) deep += "/d";
  sandbox.writeFile(deep + "/leaf", "x");

  ASSERT_EQ(install().exitCode, 0) << sandbox.syslogDump();
  EXPECT_EQ(sandbox.readLink(std::string(kDirectorySet) + "/conf/outside-link"),
            "/etc/outside-target");
  EXPECT_TRUE(sandbox.exists(std::string(kDirectorySet) + "/modules/pipe"));
  EXPECT_TRUE(sandbox.exists(std::string(kDirectorySet) + deep.substr(8) + "/leaf"));
  struct stat st {};
  ASSERT_EQ(stat(sandbox.at("/etc/outside-target").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 1001u) << "ownership went through a link";
  EXPECT_EQ(sandbox.readFile("/etc/outside-target"), "not ours");
  ASSERT_EQ(stat(sandbox.at("/etc").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
}

TEST_F(InstallTest, NothingOutsideTheDirectorySetIsChangedByABrokenPayload) {
  sandbox.writeFile("/payload-broken/bin/kestrun", "tool", 0755);
  EXPECT_EQ(install("/payload-broken").exitCode, 1);
  const auto after = sandbox.list("/Library");
  // Only the maker's folder, its lock and the (empty) directory set root differ.
  EXPECT_THAT(after, Not(Contains(HasSubstr("LaunchDaemons/com.quendalore"))));
  EXPECT_THAT(after, Not(Contains(HasSubstr("LaunchAgents/com.quendalore"))));
  EXPECT_THAT(after, Not(Contains(HasSubstr("ks2bk-"))));
  EXPECT_THAT(after, Not(Contains(HasSubstr(".ks2-staging"))));
}

}  // namespace
}  // namespace vq::testing
