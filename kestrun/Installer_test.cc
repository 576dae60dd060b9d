#include "kestrun/Installer.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "kestrun/Globals.h"
#include "platform/capture_logger.h"
#include "platform/property_list.h"
#include "tests/support/immutable_file.h"
#include "tests/support/temp_root.h"

namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using vq::CaptureLogger;
using vq::LogRecord;
using vq::LogType;
using vq::testing::ScopedImmutable;
using vq::testing::TempRoot;

constexpr char kSupport[] = "/Library/Application Support/com.quendalore";
constexpr char kDirectorySet[] = "/Library/Application Support/com.quendalore/ks2";
constexpr char kDatabase[] = "/Library/Application Support/com.quendalore/ks2/inst.plist";
constexpr char kDaemonPlist[] = "/Library/LaunchDaemons/com.quendalore.ks2.plist";
constexpr char kAgentPlist[] = "/Library/LaunchAgents/com.quendalore.ks2.ws.plist";
constexpr char kOldPlist[] = "/Library/LaunchDaemons/com.quendalore.kestrun.plist";
constexpr char kVersion1[] = "/Library/Application Support/com.quendalore/kestrun";

std::string Database(uint32_t format, uint32_t version, uint32_t counter) {
  return "<plist version=\"1.0\"><dict><key>FormatVersion</key><integer>" + std::to_string(format) +
         "</integer><key>Version</key><integer>" + std::to_string(version) +
         "</integer><key>ReferenceCounter</key><integer>" + std::to_string(counter) +
         "</integer></dict></plist>";
}

struct StatInfo {
  mode_t mode;
  uid_t uid;
  gid_t gid;
};

StatInfo StatOf(const std::string& path) {
  struct stat st {};
  lstat(path.c_str(), &st);
  return {static_cast<mode_t>(st.st_mode & 07777), st.st_uid, st.st_gid};
}

class InstallerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root.installLaunchctlDouble();
    root.makeDirs("/Library/LaunchDaemons");
    root.makeDirs("/Library/LaunchAgents");
    ASSERT_TRUE(VQKS2Installer::initGlobals());
  }

  void TearDown() override {
    if (HasFailure()) std::cerr << "---- log ----\n" << log.dump();
  }

  std::unique_ptr<VQKS2Installer> makeInstaller() {
    return VQKS2Installer::initWithSource(root.at("/payload").c_str(), log);
  }

  // A payload as products ship it, owned by an ordinary user.
  void writePayload() {
    root.writeFile("/payload/bin/kestrun", "#!/bin/sh\nexit 0\n", 0755);
    root.writeFile("/payload/conf/com.quendalore.ks2.plist", "<plist>daemon</plist>", 0644);
    root.writeFile("/payload/conf/com.quendalore.ks2.ws.plist", "<plist>agent</plist>", 0644);
    root.writeFile("/payload/modules/libfreerdp.dylib", "module", 0644);
    root.symlink("libfreerdp.dylib", "/payload/modules/alias.dylib");
  }

  std::vector<std::vector<std::string>> calls() const { return root.launchctlCalls(); }

  TempRoot root;
  CaptureLogger log;
};

// ---- paths and the directory set root ----

TEST_F(InstallerTest, GlobalsAreBuiltUnderTheRoot) {
  EXPECT_EQ(vqDefaultKestrun1Path, root.at(kVersion1));
  EXPECT_EQ(vqDefaultKestrun2Path, root.at(kDirectorySet));
  EXPECT_EQ(vqDefaultInstLockFile, root.at(kSupport) + "/ks2.lock");
  EXPECT_EQ(vqDefaultInstPlistFile, root.at(kDatabase));
  EXPECT_EQ(vqDefaultUninstallerPath, root.at(kDirectorySet) + "/bin/kestrun");
  EXPECT_EQ(vqDefaultLaunchFullPath, root.at(kDaemonPlist));
  EXPECT_EQ(vqDefaultInstPlistFile.rfind(vqDefaultKestrun2Path + "/", 0), 0u);
  EXPECT_NE(vqDefaultInstLockFile.rfind(vqDefaultKestrun2Path + "/", 0), 0u);
}

TEST_F(InstallerTest, DirectorySetRootIsCreatedRootOwnedWithMode0755) {
  for (const char* path : {kSupport, kDirectorySet}) {
    const StatInfo info = StatOf(root.at(path));
    EXPECT_EQ(info.mode, 0755u) << path;
    EXPECT_EQ(info.uid, 0u) << path;
    EXPECT_EQ(info.gid, 0u) << path;
  }
}

TEST_F(InstallerTest, ExistingDirectorySetRootKeepsItsAttributes) {
  chmod(root.at(kDirectorySet).c_str(), 0700);
  chown(root.at(kDirectorySet).c_str(), 5, 6);
  EXPECT_TRUE(VQKS2Installer::createDirSet());
  const StatInfo info = StatOf(root.at(kDirectorySet));
  EXPECT_EQ(info.mode, 0700u);
  EXPECT_EQ(info.uid, 5u);
  EXPECT_EQ(info.gid, 6u);
}

TEST_F(InstallerTest, PlainFileAtTheDirectorySetRootFails) {
  rmdir(root.at(kDirectorySet).c_str());
  root.writeFile(kDirectorySet, "in the way");
  EXPECT_FALSE(VQKS2Installer::initGlobals());
  EXPECT_THAT(log.records(), IsEmpty());
}

// ---- database ----

TEST_F(InstallerTest, DefaultDatabase) {
  vq::PropertyList db = VQKS2Installer::createDefaultInstPlist();
  EXPECT_EQ(db.uint32ForKey("FormatVersion"), 1u);
  EXPECT_EQ(db.uint32ForKey("Version"), 8u);
  EXPECT_EQ(db.uint32ForKey("ReferenceCounter"), 0u);
}

TEST_F(InstallerTest, ReadDatabaseClassifiesWhatIsOnDisk) {
  struct Case {
    std::string name;
    std::string content;
    int expected;
  };
  const std::vector<Case> cases = {
      {"array", "<plist version=\"1.0\"><array><integer>1</integer></array></plist>",
       InstDBMissing},
      {"random bytes", std::string("\x89PNG\r\n\x1a\n\x00\x01garbage", 17), InstDBMissing},
      {"truncated xml", Database(1, 8, 1).substr(0, 60), InstDBMissing},
      {"empty", "", InstDBMissing},
      {"format 2", Database(2, 8, 1), InstDBInvalid},
      {"format 0", Database(0, 8, 1), InstDBInvalid},
      {"no format",
       "<plist><dict><key>Version</key><integer>8</integer><key>ReferenceCounter</key>"
       "<integer>1</integer></dict></plist>",
       InstDBInvalid},
      {"no version",
       "<plist><dict><key>FormatVersion</key><integer>1</integer><key>ReferenceCounter</key>"
       "<integer>1</integer></dict></plist>",
       InstDBInvalid},
      {"no counter",
       "<plist><dict><key>FormatVersion</key><integer>1</integer><key>Version</key>"
       "<integer>8</integer></dict></plist>",
       InstDBInvalid},
      {"counter is a string",
       "<plist><dict><key>FormatVersion</key><integer>1</integer><key>Version</key>"
       "<integer>8</integer><key>ReferenceCounter</key><string>2</string></dict></plist>",
       InstDBInvalid},
      {"version is a date",
       "<plist><dict><key>FormatVersion</key><integer>1</integer><key>Version</key>"
       "<date>2020-01-01T00:00:00Z</date><key>ReferenceCounter</key><integer>2</integer>"
       "</dict></plist>",
       InstDBInvalid},
      {"version 7", Database(1, 7, 3), InstDBOlder},
      {"version 8", Database(1, 8, 3), InstDBCurrent},
      {"version 9", Database(1, 9, 3), InstDBCurrent},
      {"version 2^32+8 reads as 8",
       Database(1, 8, 3).replace(Database(1, 8, 3).find("<integer>8<"), 11, "<integer>4294967304<"),
       InstDBCurrent},
  };
  for (const Case& c : cases) {
    root.writeFile(kDatabase, c.content);
    auto installer = makeInstaller();
    EXPECT_EQ(installer->readDB(), c.expected) << c.name;
    if (c.expected == InstDBMissing || c.expected == InstDBInvalid) {
      EXPECT_EQ(installer->database().uint32ForKey("ReferenceCounter"), 0u) << c.name;
      EXPECT_EQ(installer->database().uint32ForKey("Version"), 8u) << c.name;
    }
  }
}

TEST_F(InstallerTest, ReadDatabaseLogsTheInstalledVersion) {
  for (uint32_t version : {7u, 8u, 9u}) {
    log.clear();
    root.writeFile(kDatabase, Database(1, version, 3));
    auto installer = makeInstaller();
    (void)installer->readDB();
    EXPECT_THAT(log.records(), ElementsAre(LogRecord{
                                   LogType::kInfo, "installed version: " + std::to_string(version) +
                                                       ", my version: 8"}));
    EXPECT_EQ(installer->database().uint32ForKey("ReferenceCounter"), 3u);
  }
}

TEST_F(InstallerTest, MissingDatabaseIsSilent) {
  auto installer = makeInstaller();
  EXPECT_EQ(installer->readDB(), InstDBMissing);
  EXPECT_THAT(log.records(), IsEmpty());
}

TEST_F(InstallerTest, BinaryDatabaseIsRead) {
  std::ifstream in(std::string(TEST_DATA_DIR) + "/plist-binary/libplist-order.bplist");
  ASSERT_TRUE(in.good());
  // A binary dictionary without our keys is still a dictionary: invalid, not missing.
  std::stringstream bytes;
  bytes << in.rdbuf();
  root.writeFile(kDatabase, bytes.str());
  EXPECT_EQ(makeInstaller()->readDB(), InstDBInvalid);
}

TEST_F(InstallerTest, DatabaseIsWrittenAsSortedXmlKeepingOtherKeys) {
  root.writeFile(kDatabase,
                 "<plist><dict><key>Zeta</key><string>kept</string><key>ReferenceCounter</key>"
                 "<integer>1</integer><key>Version</key><integer>8</integer>"
                 "<key>FormatVersion</key><integer>1</integer></dict></plist>");
  auto installer = makeInstaller();
  ASSERT_EQ(installer->readDB(), InstDBCurrent);
  ASSERT_TRUE(installer->incrementRefCounter(1, nullptr));
  ASSERT_TRUE(installer->writeDB());
  EXPECT_EQ(root.readFile(kDatabase),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
            "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
            "<plist version=\"1.0\">\n<dict>\n"
            "\t<key>FormatVersion</key>\n\t<integer>1</integer>\n"
            "\t<key>ReferenceCounter</key>\n\t<integer>2</integer>\n"
            "\t<key>Version</key>\n\t<integer>8</integer>\n"
            "\t<key>Zeta</key>\n\t<string>kept</string>\n"
            "</dict>\n</plist>\n");
  EXPECT_EQ(StatOf(root.at(kDatabase)).mode, 0644u);
  EXPECT_THAT(root.list(kDirectorySet), ElementsAre("inst.plist"));
}

TEST_F(InstallerTest, CounterSaturatesBothWays) {
  auto installer = makeInstaller();
  uint32_t value = 77;
  EXPECT_TRUE(installer->incrementRefCounter(-1, &value));
  EXPECT_EQ(value, 0u);

  root.writeFile(kDatabase, Database(1, 8, 4294967295u));
  ASSERT_EQ(installer->readDB(), InstDBCurrent);
  EXPECT_TRUE(installer->incrementRefCounter(1, &value));
  EXPECT_EQ(value, 4294967295u);
  EXPECT_TRUE(installer->incrementRefCounter(-5, &value));
  EXPECT_EQ(value, 4294967290u);
  EXPECT_EQ(installer->database().uint32ForKey("ReferenceCounter"), 4294967290u);
}

TEST_F(InstallerTest, ZeroDeltaChangesNothing) {
  auto installer = makeInstaller();
  uint32_t value = 77;
  EXPECT_FALSE(installer->incrementRefCounter(0, &value));
  EXPECT_EQ(value, 77u);
  EXPECT_EQ(installer->database().uint32ForKey("ReferenceCounter"), 0u);
}

TEST_F(InstallerTest, ApplyMyVersionLeavesTheOtherKeys) {
  root.writeFile(kDatabase, Database(1, 5, 9));
  auto installer = makeInstaller();
  ASSERT_EQ(installer->readDB(), InstDBOlder);
  EXPECT_TRUE(installer->applyMyVersion());
  EXPECT_EQ(installer->database().uint32ForKey("Version"), 8u);
  EXPECT_EQ(installer->database().uint32ForKey("ReferenceCounter"), 9u);
  EXPECT_EQ(installer->database().uint32ForKey("FormatVersion"), 1u);
}

// ---- lock ----

TEST_F(InstallerTest, LockingTwiceOpensOnce) {
  auto installer = makeInstaller();
  ASSERT_TRUE(installer->lock());
  const int fd = installer->lockDescriptor();
  EXPECT_TRUE(installer->lock());
  EXPECT_EQ(installer->lockDescriptor(), fd);
  EXPECT_EQ(StatOf(vqDefaultInstLockFile).mode, 0600u);
  installer->unlock();
  EXPECT_EQ(installer->lockDescriptor(), -1);
}

TEST_F(InstallerTest, LockFailsWithoutTheMakersFolder) {
  vq::testing::RemoveTree(root.at(kSupport));
  EXPECT_FALSE(makeInstaller()->lock());
}

// Runs body in a child process; the child reports on a pipe.
pid_t Fork(const std::function<void()>& body) {
  const pid_t pid = fork();
  if (pid == 0) {
    body();
    _exit(0);
  }
  return pid;
}

bool Readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, 0) == 1;
}

TEST_F(InstallerTest, SecondProcessWaitsUntilTheHolderHasEnded) {
  int locked[2], finished[2];
  ASSERT_EQ(pipe(locked), 0);
  ASSERT_EQ(pipe(finished), 0);
  const pid_t holder = Fork([&] {
    auto installer = makeInstaller();
    if (!installer->lock()) _exit(1);
    (void)!write(locked[1], "L", 1);
    usleep(200 * 1000);
    (void)!write(finished[1], "F", 1);
    // Exiting releases the lock; nothing unlocks it explicitly.
  });
  char byte;
  ASSERT_EQ(read(locked[0], &byte, 1), 1);
  auto installer = makeInstaller();
  ASSERT_TRUE(installer->lock());
  EXPECT_TRUE(Readable(finished[0])) << "got the lock while the holder was still running";
  int status = 0;
  waitpid(holder, &status, 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  for (int fd : {locked[0], locked[1], finished[0], finished[1]}) close(fd);
}

TEST_F(InstallerTest, LockStillSerialisesAfterTheHolderDeletesTheFile) {
  // The holder deletes the lock file as it ends. A waiter that had opened the
  // old file and a newcomer that creates a new one must still take turns.
  const std::string events = root.at("/events");
  auto record = [&](const std::string& what) {
    const int fd = open(events.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    (void)!write(fd, (what + "\n").c_str(), what.size() + 1);
    close(fd);
  };
  auto critical = [&](const std::string& who) {
    auto installer = makeInstaller();
    if (!installer->lock()) _exit(1);
    record(who + " in");
    usleep(150 * 1000);
    record(who + " out");
  };

  int locked[2], go[2];
  ASSERT_EQ(pipe(locked), 0);
  ASSERT_EQ(pipe(go), 0);
  const pid_t holder = Fork([&] {
    auto installer = makeInstaller();
    if (!installer->lock()) _exit(1);
    (void)!write(locked[1], "L", 1);
    char byte;
    (void)!read(go[0], &byte, 1);
    unlink(vqDefaultInstLockFile.c_str());
  });
  char byte;
  ASSERT_EQ(read(locked[0], &byte, 1), 1);
  const pid_t waiter = Fork([&] { critical("waiter"); });
  usleep(100 * 1000);  // lets the waiter open the old file and block on it
  (void)!write(go[1], "G", 1);
  waitpid(holder, nullptr, 0);
  const pid_t newcomer = Fork([&] { critical("newcomer"); });
  int status = 0;
  waitpid(waiter, &status, 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  waitpid(newcomer, &status, 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);

  std::istringstream lines(root.readFile("/events"));
  std::vector<std::string> seen;
  for (std::string line; std::getline(lines, line);) seen.push_back(line);
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[0].substr(seen[0].find(' ')), " in");
  EXPECT_EQ(seen[1], seen[0].substr(0, seen[0].find(' ')) + " out") << "runs overlapped";
  EXPECT_EQ(seen[3], seen[2].substr(0, seen[2].find(' ')) + " out") << "runs overlapped";
  for (int fd : {locked[0], locked[1], go[0], go[1]}) close(fd);
}

// ---- backup ----

TEST_F(InstallerTest, BackupIsNamedAfterProcessAndTimeAndCopiesTheSet) {
  root.writeFile(std::string(kDirectorySet) + "/inst.plist", Database(1, 7, 2));
  auto installer = makeInstaller();
  const long before = time(nullptr);
  ASSERT_TRUE(installer->backupPreviousFiles());
  const long after = time(nullptr);
  ASSERT_TRUE(installer->backupDirectory().has_value());
  const std::string prefix = root.at(kSupport) + "/ks2bk-" + std::to_string(getpid()) + "-";
  const std::string& backup = *installer->backupDirectory();
  ASSERT_EQ(backup.rfind(prefix, 0), 0u) << backup;
  const long seconds = std::stol(backup.substr(prefix.size()));
  EXPECT_GE(seconds, before);
  EXPECT_LE(seconds, after);
  EXPECT_EQ(root.readFile(backup.substr(root.path().size()) + "/inst.plist"), Database(1, 7, 2));
}

TEST_F(InstallerTest, RestoreBringsTheSetBackAndDropsTheBackup) {
  root.writeFile(std::string(kDirectorySet) + "/inst.plist", Database(1, 7, 2));
  auto installer = makeInstaller();
  ASSERT_TRUE(installer->backupPreviousFiles());
  root.writeFile(std::string(kDirectorySet) + "/inst.plist", Database(1, 8, 3));
  root.writeFile(std::string(kDirectorySet) + "/new-file", "x");
  ASSERT_TRUE(installer->restoreBackup());
  EXPECT_THAT(root.list(kDirectorySet), ElementsAre("inst.plist"));
  EXPECT_EQ(root.readFile(kDatabase), Database(1, 7, 2));
  EXPECT_FALSE(root.exists(installer->backupDirectory()->substr(root.path().size())));
  EXPECT_THAT(log.records(), IsEmpty());
}

TEST_F(InstallerTest, RestoreOverAMissingDirectorySetStillRestores) {
  root.writeFile(std::string(kDirectorySet) + "/inst.plist", Database(1, 7, 2));
  auto installer = makeInstaller();
  ASSERT_TRUE(installer->backupPreviousFiles());
  vq::testing::RemoveTree(root.at(kDirectorySet));
  ASSERT_TRUE(installer->restoreBackup());
  EXPECT_EQ(root.readFile(kDatabase), Database(1, 7, 2));
}

TEST_F(InstallerTest, WithoutBackupRemoveAndRestoreTouchNothing) {
  root.writeFile(std::string(kDirectorySet) + "/file", "x");
  auto installer = makeInstaller();
  EXPECT_TRUE(installer->removeBackup());
  EXPECT_TRUE(installer->restoreBackup());
  EXPECT_THAT(root.list(kDirectorySet), ElementsAre("file"));
  EXPECT_THAT(log.records(), IsEmpty());
}

TEST_F(InstallerTest, FailedBackupLeavesNoBackupBehind) {
  vq::testing::RemoveTree(root.at(kDirectorySet));
  auto installer = makeInstaller();
  EXPECT_FALSE(installer->backupPreviousFiles());
  EXPECT_FALSE(installer->backupDirectory().has_value());
  EXPECT_THAT(log.records(),
              ElementsAre(LogRecord{LogType::kError, "cannot copy directory set to backup: copy " +
                                                         root.at(kDirectorySet) +
                                                         ": No such file or directory"}));
  EXPECT_THAT(root.list(kSupport), IsEmpty());
  // With no backup named, restoring leaves the directory set alone.
  root.writeFile(std::string(kDirectorySet) + "/file", "x");
  EXPECT_TRUE(installer->restoreBackup());
  EXPECT_TRUE(root.exists(std::string(kDirectorySet) + "/file"));
}

TEST_F(InstallerTest, UndeletableDirectorySetKeepsTheBackup) {
  root.writeFile(std::string(kDirectorySet) + "/inst.plist", Database(1, 7, 2));
  auto installer = makeInstaller();
  ASSERT_TRUE(installer->backupPreviousFiles());
  ScopedImmutable pinned(root.at(kDirectorySet));
  if (!pinned.applied()) GTEST_SKIP() << "no immutable flag on this file system";
  EXPECT_FALSE(installer->restoreBackup());
  ASSERT_EQ(log.records().size(), 1u);
  EXPECT_EQ(log.records()[0].type, LogType::kError);
  EXPECT_THAT(log.records()[0].text, HasSubstr("cannot remove kestrun directory set: remove "));
  EXPECT_TRUE(root.exists(installer->backupDirectory()->substr(root.path().size())));
}

TEST_F(InstallerTest, DirectorySetIsRemovedInOneStep) {
  // A file that cannot be deleted keeps its folder from going, but not the
  // directory set from leaving its place: it is moved aside first.
  root.writeFile(std::string(kDirectorySet) + "/inst.plist", Database(1, 7, 2));
  auto installer = makeInstaller();
  ASSERT_TRUE(installer->backupPreviousFiles());
  root.writeFile(std::string(kDirectorySet) + "/stuck", "x");
  ScopedImmutable pinned(root.at(kDirectorySet) + "/stuck");
  if (!pinned.applied()) GTEST_SKIP() << "no immutable flag on this file system";
  EXPECT_TRUE(installer->restoreBackup());
  EXPECT_THAT(root.list(kDirectorySet), ElementsAre("inst.plist"));
  const std::string aside = std::string(kSupport) + "/.ks2-removing-" + std::to_string(getpid());
  EXPECT_THAT(root.list(aside), ElementsAre("stuck"));
}

TEST_F(InstallerTest, UndeletableBackupIsReported) {
  root.writeFile(std::string(kDirectorySet) + "/inst.plist", Database(1, 7, 2));
  auto installer = makeInstaller();
  ASSERT_TRUE(installer->backupPreviousFiles());
  const std::string backup = *installer->backupDirectory();
  ScopedImmutable pinned(backup + "/inst.plist");
  if (!pinned.applied()) GTEST_SKIP() << "no immutable flag on this file system";
  EXPECT_FALSE(installer->removeBackup());
  ASSERT_EQ(log.records().size(), 1u);
  EXPECT_THAT(log.records()[0].text, HasSubstr("cannot remove backup: remove "));
}

// ---- ownership ----

TEST_F(InstallerTest, OwnershipGoesToRootEverywhereAndModesStay) {
  writePayload();
  root.writeFile("/payload/deep/a/b/c/file", "x", 0600);
  root.symlink("/etc/hostname", "/payload/outside");
  for (const auto& entry : root.list("/payload")) {
    std::string path = root.at("/payload/" + entry.substr(0, entry.find(" -> ")));
    if (!path.empty() && path.back() == '/') path.pop_back();
    lchown(path.c_str(), 1234, 1234);
  }
  lchown(root.at("/payload").c_str(), 1234, 1234);
  const StatInfo hostname = StatOf("/etc/hostname");
  auto installer = makeInstaller();
  EXPECT_TRUE(installer->setAttrsRecurse(root.at("/payload")));
  EXPECT_EQ(StatOf(root.at("/payload")).uid, 0u);
  for (const auto& entry : root.list("/payload")) {
    std::string path = root.at("/payload/" + entry.substr(0, entry.find(" -> ")));
    if (path.back() == '/') path.pop_back();
    const StatInfo info = StatOf(path);
    EXPECT_EQ(info.uid, 0u) << entry;
    EXPECT_EQ(info.gid, 0u) << entry;
  }
  EXPECT_EQ(StatOf(root.at("/payload/deep/a/b/c/file")).mode, 0600u);
  EXPECT_EQ(StatOf(root.at("/payload/bin/kestrun")).mode, 0755u);
  EXPECT_EQ(StatOf("/etc/hostname").uid, hostname.uid) << "a link's target was changed";
  EXPECT_THAT(log.records(), IsEmpty());
}

TEST_F(InstallerTest, ItemsWhoseOwnerCannotChangeAreLoggedAndSkipped) {
  writePayload();
  chown(root.at("/payload/conf/com.quendalore.ks2.plist").c_str(), 1234, 1234);
  chown(root.at("/payload/bin/kestrun").c_str(), 1234, 1234);
  ScopedImmutable pinned(root.at("/payload/conf/com.quendalore.ks2.plist"));
  if (!pinned.applied()) GTEST_SKIP() << "no immutable flag on this file system";
  auto installer = makeInstaller();
  EXPECT_TRUE(installer->setAttrsRecurse(root.at("/payload")));
  EXPECT_THAT(
      log.records(),
      ElementsAre(LogRecord{
          LogType::kError,
          "cannot set owner/group for conf/com.quendalore.ks2.plist, ignoring.\nchown " +
              root.at("/payload/conf/com.quendalore.ks2.plist") + ": Operation not permitted"}));
  EXPECT_EQ(StatOf(root.at("/payload/bin/kestrun")).uid, 0u);
}

TEST_F(InstallerTest, RootWhoseOwnerCannotChangeIsNamedInFull) {
  root.makeDirs("/lonely");
  chown(root.at("/lonely").c_str(), 1234, 1234);
  ScopedImmutable pinned(root.at("/lonely"));
  if (!pinned.applied()) GTEST_SKIP() << "no immutable flag on this file system";
  auto installer = makeInstaller();
  EXPECT_TRUE(installer->setAttrsRecurse(root.at("/lonely")));
  ASSERT_EQ(log.records().size(), 1u);
  EXPECT_EQ(log.records()[0].text, "cannot set owner/group for " + root.at("/lonely") +
                                       ", ignoring.\nchown " + root.at("/lonely") +
                                       ": Operation not permitted");
}

// ---- daemon registration ----

TEST_F(InstallerTest, DaemonIsCopiedLoadedAndStarted) {
  root.writeFile(std::string(kDirectorySet) + "/conf/com.quendalore.ks2.plist", "new");
  root.writeFile(kDaemonPlist, "old");
  auto installer = makeInstaller();
  EXPECT_TRUE(installer->serviceLoadStart());
  EXPECT_EQ(root.readFile(kDaemonPlist), "new");
  EXPECT_THAT(calls(), ElementsAre(ElementsAre("launchctl", "load", root.at(kDaemonPlist)),
                                   ElementsAre("launchctl", "start", "com.quendalore.ks2")));
  EXPECT_THAT(log.records(), IsEmpty());
}

TEST_F(InstallerTest, MissingDaemonPlistRunsNoLaunchctl) {
  auto installer = makeInstaller();
  EXPECT_FALSE(installer->serviceLoadStart());
  EXPECT_THAT(calls(), IsEmpty());
  EXPECT_THAT(
      log.records(),
      ElementsAre(LogRecord{LogType::kError,
                            "cannot install launchd plist file: copy " + root.at(kDirectorySet) +
                                "/conf/com.quendalore.ks2.plist: No such file or directory"}));
}

TEST_F(InstallerTest, FailedLoadNeverStarts) {
  root.writeFile(std::string(kDirectorySet) + "/conf/com.quendalore.ks2.plist", "new");
  root.setLaunchctlAnswer("load", 5, "Load failed: 5: Input/output error\n");
  auto installer = makeInstaller();
  EXPECT_FALSE(installer->serviceLoadStart());
  EXPECT_THAT(calls(), ElementsAre(ElementsAre("launchctl", "load", root.at(kDaemonPlist))));
  EXPECT_THAT(log.records(),
              ElementsAre(LogRecord{LogType::kInfo, root.at("/bin/launchctl") + " exited with 5"},
                          LogRecord{LogType::kInfo, "output: Load failed: 5: Input/output error"},
                          LogRecord{LogType::kInfo, "launchctl returned error (load)"}));
  EXPECT_TRUE(root.exists(kDaemonPlist)) << "the copied list stays";
}

TEST_F(InstallerTest, FailedStartIsReported) {
  root.writeFile(std::string(kDirectorySet) + "/conf/com.quendalore.ks2.plist", "new");
  root.setLaunchctlAnswer("start", 3);
  auto installer = makeInstaller();
  EXPECT_FALSE(installer->serviceLoadStart());
  EXPECT_THAT(log.texts(), ElementsAre(root.at("/bin/launchctl") + " exited with 3",
                                       "launchctl returned error (start)"));
}

TEST_F(InstallerTest, UnloadDeletesOnlyOnSuccess) {
  root.writeFile(kDaemonPlist, "x");
  auto installer = makeInstaller();
  EXPECT_TRUE(installer->launchctlUnload(root.at(kDaemonPlist)));
  EXPECT_FALSE(root.exists(kDaemonPlist));
  EXPECT_THAT(calls(), ElementsAre(ElementsAre("launchctl", "unload", root.at(kDaemonPlist))));

  root.writeFile(kDaemonPlist, "x");
  root.setLaunchctlAnswer("unload", 1);
  EXPECT_FALSE(installer->launchctlUnload(root.at(kDaemonPlist)));
  EXPECT_TRUE(root.exists(kDaemonPlist));
  EXPECT_THAT(log.texts(),
              Contains("launchctl could not unload " + root.at(kDaemonPlist) + ", keeping it"));
}

// ---- transactions ----

TEST_F(InstallerTest, FullInstallCopiesOwnsCountsAndRegisters) {
  writePayload();
  chown(root.at("/payload/bin/kestrun").c_str(), 1234, 1234);
  auto installer = makeInstaller();
  ASSERT_EQ(installer->readDB(), InstDBMissing);
  ASSERT_EQ(installer->install(false), 0);
  EXPECT_THAT(root.list(kDirectorySet),
              ElementsAre("bin/", "bin/kestrun", "conf/", "conf/com.quendalore.ks2.plist",
                          "conf/com.quendalore.ks2.ws.plist", "inst.plist", "modules/",
                          "modules/alias.dylib -> libfreerdp.dylib", "modules/libfreerdp.dylib"));
  EXPECT_EQ(StatOf(root.at(kDirectorySet) + "/bin/kestrun").uid, 0u);
  EXPECT_EQ(root.readFile(kDatabase), [] {
    vq::PropertyList db = VQKS2Installer::createDefaultInstPlist();
    db.setUInt32("ReferenceCounter", 1);
    return db.xml();
  }());
  EXPECT_EQ(root.readFile(kDaemonPlist), "<plist>daemon</plist>");
  EXPECT_EQ(root.readFile(kAgentPlist), "<plist>agent</plist>");
  EXPECT_THAT(calls(), ElementsAre(ElementsAre("launchctl", "load", root.at(kDaemonPlist)),
                                   ElementsAre("launchctl", "start", "com.quendalore.ks2")));
  EXPECT_THAT(root.list(kSupport), Not(Contains(HasSubstr(".ks2-staging"))));
}

TEST_F(InstallerTest, FullInstallFromMissingSourceFailsAfterRemovingTheSet) {
  root.writeFile(kDatabase, Database(1, 7, 2));
  auto installer = VQKS2Installer::initWithSource(root.at("/nowhere").c_str(), log);
  ASSERT_EQ(installer->readDB(), InstDBOlder);
  log.clear();
  EXPECT_EQ(installer->install(false), 1);
  EXPECT_FALSE(root.exists(kDirectorySet));
  EXPECT_THAT(log.records(),
              ElementsAre(LogRecord{LogType::kError, "cannot copy service files into place: copy " +
                                                         root.at("/nowhere") +
                                                         ": No such file or directory"}));
  EXPECT_THAT(calls(), IsEmpty());
  EXPECT_THAT(root.list(kSupport), IsEmpty()) << "no staging folder stays";
}

TEST_F(InstallerTest, FullInstallReplacesAnEmptyRootMadeByAnotherRun) {
  writePayload();
  auto installer = makeInstaller();
  // Another run's start-up recreates the empty root after our removal.
  ASSERT_TRUE(VQKS2Installer::createDirSet());
  ASSERT_EQ(installer->install(false), 0);
  EXPECT_TRUE(root.exists(std::string(kDirectorySet) + "/bin/kestrun"));
}

TEST_F(InstallerTest, FoldersOfKilledRunsAreCleared) {
  writePayload();
  root.writeFile(std::string(kSupport) + "/.ks2-staging-99999/bin/kestrun", "half");
  root.writeFile(std::string(kSupport) + "/.ks2-removing-99998/bin/kestrun", "half");
  root.writeFile(std::string(kSupport) + "/ks2bk-99997-1700000000/inst.plist", "kept");
  auto installer = makeInstaller();
  ASSERT_EQ(installer->install(false), 0);
  EXPECT_FALSE(root.exists(std::string(kSupport) + "/.ks2-staging-99999"));
  EXPECT_FALSE(root.exists(std::string(kSupport) + "/.ks2-removing-99998"));
  EXPECT_TRUE(root.exists(std::string(kSupport) + "/ks2bk-99997-1700000000/inst.plist"))
      << "backups are never deleted by anyone but their own run";
}

TEST_F(InstallerTest, FullInstallStopsAtAFailedLoadWithTheDatabaseWritten) {
  writePayload();
  root.setLaunchctlAnswer("load", 5);
  auto installer = makeInstaller();
  EXPECT_EQ(installer->install(false), 1);
  EXPECT_THAT(log.texts(), Contains("launchd service installation terminated due to error"));
  EXPECT_TRUE(root.exists(kDatabase));
  EXPECT_FALSE(root.exists(kAgentPlist));
}

TEST_F(InstallerTest, FullInstallFailsWithoutTheAgentPlist) {
  writePayload();
  unlink(root.at("/payload/conf/com.quendalore.ks2.ws.plist").c_str());
  root.writeFile(kAgentPlist, "earlier");
  auto installer = makeInstaller();
  EXPECT_EQ(installer->install(false), 1);
  const auto texts = log.texts();
  EXPECT_EQ(texts.back(), "launchd ws service installation terminated due to error");
  EXPECT_THAT(texts[texts.size() - 2], HasSubstr("cannot install launchd plist file: copy "));
  EXPECT_FALSE(root.exists(kAgentPlist)) << "the earlier list is gone";
}

TEST_F(InstallerTest, FailingDatabaseWriteIsReported) {
  root.writeFile(kDatabase, Database(1, 8, 1));
  auto installer = makeInstaller();
  ASSERT_EQ(installer->readDB(), InstDBCurrent);
  ScopedImmutable pinned(root.at(kDirectorySet));
  if (!pinned.applied()) GTEST_SKIP() << "no immutable flag on this file system";
  log.clear();
  EXPECT_EQ(installer->install(true), 1);
  EXPECT_THAT(log.records(),
              ElementsAre(LogRecord{LogType::kError, "cannot save installer database"}));
  EXPECT_EQ(root.readFile(kDatabase), Database(1, 8, 1));
}

TEST_F(InstallerTest, ReferenceOnlyInstallKeepsTheVersionAndClamps) {
  root.writeFile(kDatabase, Database(1, 9, 4294967295u));
  auto installer = makeInstaller();
  ASSERT_EQ(installer->readDB(), InstDBCurrent);
  EXPECT_EQ(installer->install(true), 0);
  auto db = vq::PropertyList::ReadDictionary(root.at(kDatabase));
  EXPECT_EQ(db->uint32ForKey("Version"), 9u);
  EXPECT_EQ(db->uint32ForKey("ReferenceCounter"), 4294967295u);
  EXPECT_THAT(calls(), IsEmpty());
}

TEST_F(InstallerTest, UninstallCountsDownAndRemovesWithTheLast) {
  struct Case {
    uint32_t counter;
    bool removed;
    uint32_t left;
  };
  for (const Case& c : {Case{5, false, 4}, Case{2, false, 1}, Case{1, true, 0}, Case{0, true, 0}}) {
    root.writeFile(kDatabase, Database(1, 8, c.counter));
    root.writeFile(kDaemonPlist, "x");
    auto installer = makeInstaller();
    ASSERT_TRUE(installer->lock());
    ASSERT_EQ(installer->readDB(), InstDBCurrent);
    bool removedAll = !c.removed;
    EXPECT_EQ(installer->uninstall(&removedAll), 0);
    EXPECT_EQ(removedAll, c.removed) << c.counter;
    // One process, several runs: the previous run's lock must go first.
    installer->unlock();
    if (c.removed) {
      EXPECT_FALSE(root.exists(kDirectorySet));
      EXPECT_FALSE(root.exists(kDaemonPlist));
      EXPECT_TRUE(root.exists(std::string(kSupport) + "/ks2.lock")) << "kept until the run ends";
      installer.reset();
      EXPECT_FALSE(root.exists(std::string(kSupport) + "/ks2.lock"));
      ASSERT_TRUE(VQKS2Installer::initGlobals());
    } else {
      EXPECT_EQ(root.readFile(kDatabase), [&] {
        auto db = VQKS2Installer::createDefaultInstPlist();
        db.setUInt32("ReferenceCounter", c.left);
        return db.xml();
      }());
      EXPECT_THAT(log.texts(),
                  Contains("other software depends on kestrun, just decreasing ref counter"));
    }
  }
}

TEST_F(InstallerTest, RemoveAllRunsEveryStepInOrder) {
  root.writeUsers({{"alice", 1001, 1001, root.at("/Users/alice")}});
  root.writeFile(kDaemonPlist, "daemon");
  root.writeFile(kAgentPlist, "agent");
  root.writeFile(std::string(kVersion1) + "/99/.keep", "");
  root.setLaunchctlAnswer("unload", 1);
  root.setLaunchctlAnswer("bootout", 5);
  auto installer = makeInstaller();
  installer->removeAll();
  EXPECT_THAT(calls(),
              ElementsAre(ElementsAre("launchctl", "unload", root.at(kDaemonPlist)),
                          ElementsAre("launchctl", "bootout", "gui/1001", root.at(kAgentPlist))));
  const std::string launchctl = root.at("/bin/launchctl");
  EXPECT_THAT(log.records(),
              ElementsAre(LogRecord{LogType::kInfo, "unloading services..."},
                          LogRecord{LogType::kInfo, launchctl + " exited with 1"},
                          LogRecord{LogType::kInfo, "launchctl could not unload " +
                                                        root.at(kDaemonPlist) + ", keeping it"},
                          LogRecord{LogType::kInfo, "kestrun service removing failed, ignoring..."},
                          LogRecord{LogType::kDebug, launchctl + " exited with 5"},
                          LogRecord{LogType::kInfo, "removing directory set..."}));
  EXPECT_TRUE(root.exists(kDaemonPlist));
  EXPECT_FALSE(root.exists(kAgentPlist)) << "removed even though every bootout failed";
  EXPECT_FALSE(root.exists(kDirectorySet));
  EXPECT_FALSE(root.exists(kVersion1));
}

TEST_F(InstallerTest, RemoveAllOnAnEmptyMachineCompletes) {
  vq::testing::RemoveTree(root.at(kDirectorySet));
  auto installer = makeInstaller();
  installer->removeAll();
  EXPECT_THAT(log.texts(), Contains("cannot remove directory set, ignoring..."));
  EXPECT_EQ(log.texts().back(), "cannot remove directory set, ignoring...");
}

TEST_F(InstallerTest, RemoveAllGoesOnWhenTheDirectorySetCannotBeDeleted) {
  root.writeFile(std::string(kDirectorySet) + "/inst.plist", Database(1, 8, 1));
  root.writeFile(std::string(kVersion1) + "/99/.keep", "");
  ScopedImmutable pinned(root.at(kDirectorySet));
  if (!pinned.applied()) GTEST_SKIP() << "no immutable flag on this file system";
  makeInstaller()->removeAll();
  EXPECT_EQ(log.texts().back(), "cannot remove directory set, ignoring...");
  EXPECT_TRUE(root.exists(kDatabase));
  EXPECT_FALSE(root.exists(kVersion1)) << "the steps after it still ran";
}

TEST_F(InstallerTest, RemoveAllWithoutTheLockLeavesTheLockFile) {
  // Update mode: the lock and its file belong to the installer that started us.
  root.writeFile(std::string(kSupport) + "/ks2.lock", "");
  makeInstaller()->removeAll();
  EXPECT_TRUE(root.exists(std::string(kSupport) + "/ks2.lock"));
}

TEST_F(InstallerTest, RetiringVersionOneLeavesOnlyTheMarker) {
  root.writeFile(kOldPlist, "v1");
  root.writeFile(std::string(kVersion1) + "/bin/old", "v1");
  auto installer = makeInstaller();
  installer->blockKestrunV1();
  EXPECT_THAT(calls(), ElementsAre(ElementsAre("launchctl", "unload", root.at(kOldPlist))));
  EXPECT_FALSE(root.exists(kOldPlist));
  EXPECT_THAT(root.list(kVersion1), ElementsAre("99/"));
  EXPECT_EQ(StatOf(root.at(kVersion1) + "/99").uid, 0u);
}

TEST_F(InstallerTest, RetiringVersionOneOnAMachineThatNeverHadIt) {
  root.setLaunchctlAnswer("unload", 1);
  auto installer = makeInstaller();
  installer->blockKestrunV1();
  EXPECT_THAT(root.list(kVersion1), ElementsAre("99/"));
}

TEST_F(InstallerTest, RecoverRestoresAndRegistersAgain) {
  writePayload();
  {
    auto first = makeInstaller();
    ASSERT_EQ(first->install(false), 0);
  }
  root.clearLaunchctlCalls();
  auto installer = VQKS2Installer::initWithSource(root.at("/nowhere").c_str(), log);
  ASSERT_EQ(installer->readDB(), InstDBCurrent);
  ASSERT_TRUE(installer->backupPreviousFiles());
  EXPECT_EQ(installer->install(false), 1);
  installer->recover();
  EXPECT_TRUE(root.exists(std::string(kDirectorySet) + "/bin/kestrun"));
  EXPECT_TRUE(root.exists(kAgentPlist));
  EXPECT_THAT(calls(), ElementsAre(ElementsAre("launchctl", "load", root.at(kDaemonPlist)),
                                   ElementsAre("launchctl", "start", "com.quendalore.ks2")));
  EXPECT_THAT(root.list(kSupport), Not(Contains(HasSubstr("ks2bk-"))));
}

TEST_F(InstallerTest, OlderToolInAWritableFolderIsNotRun) {
  root.writeFile(kDatabase, Database(1, 7, 1));
  root.writeFile(std::string(kDirectorySet) + "/bin/kestrun", "#!/bin/sh\nexit 0\n", 0755);
  chmod(root.at(std::string(kDirectorySet) + "/bin").c_str(), 0777);
  auto installer = makeInstaller();
  EXPECT_FALSE(installer->uninstallPrevious());
  const auto records = log.records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].type, LogType::kError);
  EXPECT_EQ(records[0].text, "not running " + root.at(kDirectorySet) +
                                 "/bin/kestrun: " + root.at(kDirectorySet) +
                                 "/bin is not a root-owned folder writable only by root");
  EXPECT_EQ(records[1], (LogRecord{LogType::kInfo, "uninstaller returned error"}));
  EXPECT_TRUE(installer->backupDirectory().has_value());
  EXPECT_TRUE(root.exists(installer->backupDirectory()->substr(root.path().size())));
}

TEST_F(InstallerTest, OlderToolOwnedByAUserIsNotRun) {
  root.writeFile(std::string(kDirectorySet) + "/bin/kestrun", "#!/bin/sh\nexit 0\n", 0755);
  chown(root.at(std::string(kDirectorySet) + "/bin/kestrun").c_str(), 1234, 0);
  auto installer = makeInstaller();
  EXPECT_FALSE(installer->uninstallPrevious());
  EXPECT_THAT(log.texts(), Contains(HasSubstr("/bin/kestrun is not a root-owned file")));
}

TEST_F(InstallerTest, FailedBackupStopsBeforeTheOlderTool) {
  vq::testing::RemoveTree(root.at(kDirectorySet));
  auto installer = makeInstaller();
  EXPECT_FALSE(installer->uninstallPrevious());
  EXPECT_EQ(log.texts().back(), "backup process failed");
}

}  // namespace
