// Install, update and uninstall as product installers run them: each row is
// a starting machine, one command, and everything the caller and the admin
// can see afterwards (exit status, log, launchctl calls, the whole machine).
#include <fnmatch.h>
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <functional>

#include "tests/e2e/e2e_fixture.h"

namespace vq::testing {
namespace {

using Setup = std::function<void(E2ETest&)>;  // empty: a machine with nothing installed

struct TransactionCase {
  friend void PrintTo(const TransactionCase& row, std::ostream* out) { *out << row.name; }
  const char* name;
  Setup setup;
  std::vector<std::string> command;  // run by /payload/bin/kestrun
  int exit;
  // In this order, among the tool's log lines; '*' matches any text, a
  // leading "error: " asks for the error level. The last line, the verdict,
  // is checked for every row: default level on success, error on failure.
  std::vector<std::string> log;
  std::string machine;
  std::vector<std::string> calls;  // {"*"}: not compared
};

constexpr char kLoad[] = "load /Library/LaunchDaemons/com.quendalore.ks2.plist";
constexpr char kStart[] = "start com.quendalore.ks2";
constexpr char kUnload[] = "unload /Library/LaunchDaemons/com.quendalore.ks2.plist";
constexpr char kUnloadV1[] = "unload /Library/LaunchDaemons/com.quendalore.kestrun.plist";
constexpr char kBootoutAlice[] =
    "bootout gui/1001 /Library/LaunchAgents/com.quendalore.ks2.ws.plist";
constexpr char kBootoutBob[] = "bootout gui/1002 /Library/LaunchAgents/com.quendalore.ks2.ws.plist";
const std::vector<std::string> kAny = {"*"}, kFirstCalls = {kLoad, kStart, kUnloadV1},
                               kRemoveCalls = {kUnload, kBootoutAlice, kBootoutBob};
const std::vector<std::string> kInstall = {"install", "/payload"}, kUninstall = {"uninstall"};
const std::string kMounted = std::string(kDirectorySet) + "/mounted";
constexpr char kRecover[] = "install process terminated due to error, trying to recover";

// The machine with the database at this version and count and everything installed.
std::string Installed(int version, int counter) {
  return "db=" + std::to_string(version) + "/" + std::to_string(counter) +
         " set daemon agent v1 lock jobs=system:com.quendalore.ks2";
}

std::string Db(int version, int counter, int format = 1) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
         "<key>FormatVersion</key><integer>" +
         std::to_string(format) + "</integer><key>ReferenceCounter</key><integer>" +
         std::to_string(counter) + "</integer><key>Version</key><integer>" +
         std::to_string(version) + "</integer></dict></plist>";
}

// The older build installed `older` times, then this build `current` times,
// then a shell command ($T: the installed tool), then this database.
Setup Installs(int older, int current = 0, const std::string& shell = "", std::string db = "") {
  return [=](E2ETest& e) {
    e.installTimes(older);
    e.installTimes(current, "/payload");
    if (!shell.empty()) Shell(e.sandbox, "T='" + std::string(kInstalledTool) + "' && " + shell);
    if (!db.empty()) e.sandbox.writeFile(kDatabase, db);
  };
}

bool Matches(const SyslogLine& line, std::string pattern) {
  constexpr std::string_view kError = "error: ";
  if (pattern.rfind(kError, 0) == 0) {
    if (line.type != LogType::kError) return false;
    pattern.erase(0, kError.size());
  }
  return fnmatch(pattern.c_str(), line.text.c_str(), 0) == 0;
}

class Transactions : public E2ETest, public ::testing::WithParamInterface<TransactionCase> {};

TEST_P(Transactions, Outcome) {
  const TransactionCase& c = GetParam();
  if (c.setup) c.setup(*this);
  if (HasFatalFailure()) return;
  sandbox.clearSyslog();
  sandbox.clearLaunchctlCalls();
  const RunResult result = runTool(c.command);
  EXPECT_EQ(result.exitCode, c.exit);
  EXPECT_EQ(result.err, "");
  const std::vector<SyslogLine> log = sandbox.syslog();
  size_t at = 0;
  for (const std::string& expected : c.log) {
    while (at < log.size() && !Matches(log[at], expected)) ++at;
    EXPECT_LT(at, log.size()) << "missing, or out of order: " << expected;
  }
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back().type, c.exit == 0 ? LogType::kDefault : LogType::kError) << log.back().text;
  EXPECT_NE(log.back().text.find(c.exit == 0 ? " done: " : " failed: "), std::string::npos)
      << log.back().text;
  EXPECT_EQ(machine(), c.machine);
  if (sandbox.exists(kInstalledTool)) {
    // Everything installed is root's, with the payload's modes; the database is 0644.
    Shell(sandbox, "cd '" + std::string(kDirectorySet) +
                       "' && test -z \"$(find . ! -user 0 -o ! -group 0)\" && test \"$(stat -c %a "
                       "inst.plist ../ks2.lock)\" = \"644\n600\" && test \"$(stat -c %a modules "
                       "conf/com.quendalore.dcvproxy.json)\" = \"$(stat -c %a /payload/modules "
                       "/payload/conf/com.quendalore.dcvproxy.json)\"");
  }
  if (c.calls != kAny) {
    EXPECT_EQ(calls(), c.calls);
  }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Rows, Transactions, ::testing::Values(
  TransactionCase{"FirstInstall", {}, kInstall, 0, {"installation started", "done.", "first install of version 8 done: version 8 installed, 1 reference"}, Installed(8, 1), kFirstCalls},
  TransactionCase{"OneMoreReference", Installs(0, 1), kInstall, 0, {"installed version: 8, my version: 8", "installed version of Kestrun2 is OK, just increasing ref counter", "done."}, Installed(8, 2), {}},
  TransactionCase{"NewerInstalledKeepsItsVersion", Installs(0, 1, "", Db(9, 1)), kInstall, 0, {"installed version: 9, my version: 8"}, Installed(9, 2), {}},
  TransactionCase{"UpdateCarriesReferences", Installs(3), kInstall, 0, {"installed version: 7, my version: 8", "older version detected, uninstalling it first", "uninstaller started in update mode", "done.", "update from version 7 to version 8 done: version 8 installed, 4 references"},
    Installed(8, 4), {kUnload, kBootoutAlice, kBootoutBob, kLoad, kStart, kUnloadV1}},
  TransactionCase{"FailingOlderToolIsRolledBack", Installs(1, 0, "printf '#!/bin/sh\\nexit 3\\n' > \"$T\" && chmod 0755 \"$T\""), kInstall, 1,
    {"uninstaller returned error", "uninstalling previous version failed", "error: update from version 7 to version 8 failed: the older tool did not remove its installation: it exited with 3; version 7 installed, 1 reference"}, Installed(7, 1), {kLoad, kUnload, kLoad, kStart}},
  // A tool ended by a signal, or one that exits 0 but leaves its set, has not done its part.
  TransactionCase{"OlderToolEndedBySignalIsRolledBack", Installs(1, 0, "printf '#!/bin/sh\\nkill -SEGV $$\\n' > \"$T\""), kInstall, 1,
    {"uninstaller returned error", "error: the older tool * did not remove its installation: it was ended by signal 11"}, Installed(7, 1), {kLoad, kUnload, kLoad, kStart}},
  TransactionCase{"OlderToolThatLeavesItsSetIsRolledBack", Installs(1, 0, "printf '#!/bin/sh\\nexit 0\\n' > \"$T\""), kInstall, 1,
    {"error: the older tool * did not remove its installation: it left /Library/Application Support/com.quendalore/ks2 in place"}, Installed(7, 1), {kLoad, kUnload, kLoad, kStart}},
  // Built with umask 002: group write on root's group is kept, write for others never.
  TransactionCase{"GroupWritablePayloadIsUpdatedLater", Installs(0, 0, "cp -a /payload-v7 /p7 && chmod -R g+w,o+w /p7 && /p7/bin/kestrun install /p7 && "
    "test \"$(stat -c %a \"$T\")\" = 775"), kInstall, 0, {"done."}, Installed(8, 2), kAny},
  TransactionCase{"UnsafeOlderToolIsNeverRun", Installs(1, 0, "chmod 0757 \"$T\""), kInstall, 1,
    {"not running " + std::string(kInstalledTool) + ": *", "uninstaller returned error", "uninstalling previous version failed"}, Installed(7, 1), {}},
  // The older tool took the version 1 blocker with it; the next update brings it back.
  TransactionCase{"FailedUpdateRestoresTheOlderSet", Installs(2, 0, "cp -a /payload /broken && rm /broken/conf/com.quendalore.ks2.plist"), {"install", "/broken"}, 1,
    {"cannot install launchd plist file: *", "launchd service installation terminated due to error", kRecover}, "db=7/2 set daemon agent lock jobs=system:com.quendalore.ks2", {kUnload, kBootoutAlice, kBootoutBob, kLoad, kStart}},
  // launchctl load prints its refusal and exits 0: the install has failed, and takes its set away.
  TransactionCase{"DaemonPlistLaunchdRefusesFailsTheInstall", Installs(0, 0, "cp -a /payload /bad && echo '<plist><dict/></plist>' > /bad/conf/com.quendalore.ks2.plist"), {"install", "/bad"}, 1,
    {"launchctl returned error (load)", "error: launchctl load /Library/LaunchDaemons/com.quendalore.ks2.plist: * Invalid property list*"}, "lock", {kLoad, kUnload, kBootoutAlice, kBootoutBob}},
  TransactionCase{"LinkedDaemonPlistIsRefused", Installs(0, 0, "cp -a /payload /linked && ln -sf /etc/passwd /linked/conf/com.quendalore.ks2.plist"), {"install", "/linked"}, 1,
    {"cannot install launchd plist file: *", kRecover}, "lock", {}},
  // A mount inside a set without a database: the removal never crosses it, and the set stays aside.
  TransactionCase{"FullInstallFailsWhenTheOldSetCannotBeRemoved", [](E2ETest& e) { e.sandbox.makeDirs(kMounted); ASSERT_EQ(mount("tmpfs", e.sandbox.at(kMounted).c_str(), "tmpfs", 0, nullptr), 0); },
    kInstall, 1, {"cannot copy service files into place: remove*", kRecover}, "lock junk=1", {}},
  TransactionCase{"MissingSourceFailsTheCopy", {}, {"install", "/nowhere"}, 1, {"cannot copy service files into place: *", kRecover}, "lock", {}},
  TransactionCase{"LockFileIsAFolder", Installs(0, 0, "mkdir -p '" + std::string(kLockFile) + "'"), kInstall, 1,
    {"error: cannot lock installation database", "error: lock " + std::string(kLockFile) + ": Is a directory"}, "lock", {}},
  TransactionCase{"SupportRootIsAFile", Installs(0, 0, "printf x > '" + std::string(kSupport) + "'"), kUninstall, 1,
    {"error: cannot initialize uninstaller", "error: mkdir " + std::string(kSupport) + ": Not a directory"}, "", {}},
  TransactionCase{"InvalidFormatStops", Installs(0, 0, "", Db(8, 1, 2)), kInstall, 1, {"installation DB invalid format"}, "db=bad lock", {}},
  // Counted as missing, but kept aside and said.
  TransactionCase{"UnparsableDatabaseIsKeptAndSaid", Installs(0, 0, "", "<plist><dict><key>FormatVersion</key><integer>1</integer><key>Version</key><integer>8</integer>"
    "<key>ReferenceCounter</key><integer>4</integer><key>N</key><string>\xc3\x28</string></dict></plist>"), kInstall, 0,
    {"error: installation database " + std::string(kDatabase) + " could not be read as a property list: kept as " + kSupport + "/inst.plist.damaged-*; the reference count starts again", "done."},
    "db=8/1 set daemon agent v1 lock damaged=1 jobs=system:com.quendalore.ks2", kAny},
  // A journal is never guessed at: the run stops, and nothing changes.
  TransactionCase{"UnreadableJournalStopsTheRun", Installs(3, 0, "printf 'garbage' > \"$(dirname \"$T\")/../../ks2.pending\""), kInstall, 1,
    {"error: cannot repair an interrupted run: * holds no entry this tool wrote"}, "db=7/3 set daemon agent v1 lock pending jobs=system:com.quendalore.ks2", {}},
  // The set of an update killed after its older tool ran, with no journal to name it: put back.
  TransactionCase{"OrphanBackupIsAdopted", Installs(2, 0, "cd \"$(dirname \"$T\")/../..\" && mv ks2 ks2bk-1-2 && rm /Library/LaunchDaemons/*.plist /Library/LaunchAgents/*.plist && : > /var/launchctl/loaded"), kInstall, 0,
    {"a backup no run needs and no installation in place: restoring " + std::string(kSupport) + "/ks2bk-1-2", "done."}, Installed(8, 3), kAny},
  TransactionCase{"UninstallLeavesOtherReferences", Installs(0, 2), kUninstall, 0, {"other software depends on kestrun, just decreasing ref counter", "done."}, Installed(8, 1), {}},
  TransactionCase{"LastUninstallRemovesEverything", Installs(0, 1), kUninstall, 0, {"unloading services...", "removing directory set...", "done."}, "", kRemoveCalls},
  // Nothing is removed while launchd still has the daemon: the run fails, and its journal has the
  // next run put back what it took down (here nothing: launchctl cannot run at all).
  TransactionCase{"DaemonThatCannotBeUnloadedFailsTheLastUninstall", Installs(0, 1, "rm /bin/launchctl"), kUninstall, 1, {"unloading services...", "cannot execute process", "/bin/launchctl exited with 2", "launchctl could not unload /Library/LaunchDaemons/com.quendalore.ks2.plist, keeping it", "kestrun service removing failed, ignoring...",
    "error: last uninstall failed: the daemon could not be unloaded; an interrupted removal waits for the next run, which keeps version 8 with 1 reference"}, "db=8/1 set daemon agent v1 lock pending jobs=system:com.quendalore.ks2", {}},
  TransactionCase{"LeftoversOfKilledRunsAreRemoved", Installs(0, 1, "cd \"$(dirname \"$T\")/../..\" && mkdir -p .ks2-removing-9/bin .ks2-staging-8 .ks2-backup-7"), kInstall, 0, {"done."}, Installed(8, 2), {}},
  TransactionCase{"CounterZeroRemovesEverything", Installs(0, 1, "", Db(8, 0)), kUninstall, 0, {"done."}, "", kAny},
  TransactionCase{"UninstallWithoutDatabase", {}, kUninstall, 1, {"installation DB not found or access denied"}, "", {}},
  TransactionCase{"UninstallOfAnOlderInstallation", Installs(2), kUninstall, 0, {"strange that uninstaller from higher version", "other software depends on kestrun, just decreasing ref counter"}, Installed(7, 1), {}},
  TransactionCase{"StandaloneUpdateModeRemovesTheLockFileToo", Installs(0, 3), {"uninstall", "-u"}, 0, {"uninstaller started in update mode", "unloading services...", "done."}, "", kRemoveCalls},
  TransactionCase{"VersionOneIsRetired", Installs(0, 0, "cd '/Library/Application Support' && mkdir -p com.quendalore/kestrun/bin && printf x > com.quendalore/kestrun/bin/old && "
    "printf 'system\\tcom.quendalore.kestrun\\n' > /var/launchctl/loaded && printf '%s' '<plist><dict><key>Label</key><string>com.quendalore.kestrun</string></dict></plist>' > "
    "/Library/LaunchDaemons/com.quendalore.kestrun.plist"), kInstall, 0, {"done."}, Installed(8, 1), kFirstCalls}),
  [](const auto& row) { return std::string(row.param.name); });
// clang-format on

}  // namespace
}  // namespace vq::testing
