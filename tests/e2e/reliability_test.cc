// Runs killed at every step, orphaned children, installers racing each
// other: whatever happens, the next run leaves the exact count of references
// that finished, and nothing else behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <regex>
#include <thread>
#include <tuple>

#include "tests/e2e/e2e_fixture.h"

namespace vq::testing {
namespace {

const std::string kInstalled = "set daemon agent v1 lock jobs=system:com.quendalore.ks2";
const std::vector<std::string> kInstall = {"/payload/bin/kestrun", "install", "/payload"},
                               kUninstall = {"/payload/bin/kestrun", "uninstall"};
#ifdef KESTRUN_SANITIZED
constexpr int kRandomKills = 40;
#else
constexpr int kRandomKills = 200;
#endif

class Reliability : public E2ETest {
 protected:
  // Back to a machine with the older build installed `count` times.
  void reset(int count) {
    Shell(sandbox,
          "rm -rf '/Library/Application Support/com.quendalore' /Library/LaunchDaemons/* "
          "/Library/LaunchAgents/* /var/launchctl/loaded /var/launchctl/pause-call");
    sandbox.clearLaunchctlCalls();
    installTimes(count);
  }
  // Whether the launchd model holds its paused call within ten seconds.
  bool paused() {
    for (int waited = 0; !sandbox.launchctlPaused(); waited += 5) {
      if (waited >= 10000) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }
  // Waits until a spawned installer has logged its first line, and a little
  // longer: then it waits for the lock, or went on without it.
  void startedAndSettled() {
    for (int waited = 0; sandbox.syslog().empty() && waited < 10000; waited += 5) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  // Waits until no process holds the installation lock (an orphaned older
  // tool has finished), at most ten seconds.
  bool lockFree() {
    for (int waited = 0; waited < 10000; waited += 5) {
      const int fd = open(sandbox.at(kLockFile).c_str(), O_RDONLY | O_CLOEXEC);
      const bool free = fd < 0 || flock(fd, LOCK_EX | LOCK_NB) == 0;
      if (fd >= 0) close(fd);
      if (free) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }
  // Kills a command while its n-th launchctl call waits, and lets the call go on.
  void killAtCall(const std::vector<std::string>& command, int call) {
    sandbox.pauseLaunchctlCall(call);
    SandboxProcess run = sandbox.spawn(command);
    ASSERT_TRUE(paused()) << "call " << call << " never came";
    run.kill(SIGKILL);
    run.wait();
    sandbox.resumeLaunchctl();
  }
  // Nothing after "installation started": the installer waits for the lock.
  bool stillWaiting() {
    const std::vector<SyslogLine> log = sandbox.syslog();
    return log.size() == 1 && log[0].text == "installation started";
  }
};

// Each command is killed while its n-th launchctl call waits; that call and
// anything orphaned go on, and the command runs again as the product's
// installer would.
TEST_F(Reliability, KilledAtEveryLaunchctlCall) {
  // The older build's and this build's installs, the command, its launchctl
  // calls and the machine afterwards. An update: the older tool's unload and
  // two bootouts, then load, start and the version 1 unload. A first install:
  // the last three. A last uninstall: an unload and two bootouts.
  const std::tuple<int, int, std::vector<std::string>, int, std::string> cases[] = {
      {3, 0, kInstall, 6, "db=8/4 " + kInstalled},
      {0, 0, kInstall, 3, "db=8/1 " + kInstalled},
      {0, 1, kUninstall, 3, ""}};
  for (const auto& [older, current, command, calls, after] : cases) {
    for (int call = 1; call <= calls; ++call) {
      reset(older);
      installTimes(current, "/payload");
      killAtCall(command, call);
      ASSERT_EQ(sandbox.run(command).exitCode, 0) << command[1] << " killed at call " << call;
      EXPECT_EQ(machine(), after) << command[1] << " killed at call " << call;
    }
  }
}

// Product A has the older version; product B's update is killed while the
// older tool removes itself, which then finishes on its own: no service,
// only the backup and the journal. A's uninstall script (the installed tool
// is in the backup then) puts A's installation back, drops its reference and
// leaves nothing; B's installer, run again, counts B alone.
TEST_F(Reliability, KilledUpdateThenTheOtherProductUninstalls) {
  installExamples();
  installTimes(1);
  killAtCall(kInstall, 1);
  ASSERT_TRUE(lockFree());
  EXPECT_EQ(machine(), "lock pending backups=1");
  const RunResult uninstalled = sandbox.run({"/examples/uninstall"});
  EXPECT_EQ(uninstalled.exitCode, 0) << uninstalled.out << uninstalled.err;
  EXPECT_EQ(machine(), "");
  ASSERT_EQ(sandbox.run(kInstall).exitCode, 0);
  EXPECT_EQ(machine(), "db=8/1 " + kInstalled);
}

// A first install killed at its last launchctl call (version 1's unload)
// looks installed: its daemon is loaded, its agent's list in place, and the
// daemon's passes have activated the agent in the users' sessions. It never
// counted: the next run that can take the lock takes it all away, be it a
// product's uninstall script (which then succeeds) or the service's own pass.
TEST_F(Reliability, KilledFirstInstallIsTakenAwayByTheNextRun) {
  installExamples();
  const std::pair<std::vector<std::string>, std::string> next[] = {
      {{"/examples/uninstall"}, ""}, {{kInstalledTool, "create"}, "lock"}};
  for (const auto& [command, after] : next) {
    reset(0);
    killAtCall(kInstall, 3);
    Shell(sandbox,
          "printf 'gui/1001\\tcom.quendalore.ks2.ws\\ngui/1002\\tcom.quendalore.ks2.ws\\n' >> "
          "/var/launchctl/loaded");
    const RunResult result = sandbox.run(command);
    EXPECT_EQ(result.exitCode, 0) << command[0] << "\n" << result.out << result.err;
    EXPECT_EQ(machine(), after) << command[0];
  }
}

TEST_F(Reliability, UpdateKilledAtRandomMoments) {
  std::mt19937 random(12345);
  int committedRounds = 0;
  const auto started = std::chrono::steady_clock::now();
  reset(3);
  ASSERT_EQ(sandbox.run(kInstall).exitCode, 0);
  const auto span = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now() - started);
  for (int round = 0; round < kRandomKills; ++round) {
    reset(3);
    SandboxProcess run = sandbox.spawn(kInstall);
    std::this_thread::sleep_for(std::chrono::microseconds(random() % (span.count() / 4 + 1)));
    run.kill(SIGKILL);
    run.wait();
    // Killed after its journal was gone, the run had counted: its installer
    // sees the kill and runs again, and the one reference more is real.
    const std::string left = machine();
    const bool committed =
        left.rfind("db=8/4 ", 0) == 0 && left.find("pending") == std::string::npos;
    committedRounds += committed;
    ASSERT_EQ(sandbox.run(kInstall).exitCode, 0) << "round " << round;
    ASSERT_EQ(machine(), (committed ? "db=8/5 " : "db=8/4 ") + kInstalled) << "round " << round;
  }
  std::printf("killed after the commit in %d of %d rounds\n", committedRounds, kRandomKills);
}

TEST_F(Reliability, OrphanedOlderToolKeepsTheLock) {
  installTimes(3);
  // The older tool's own unload waits; its parent is killed meanwhile.
  sandbox.pauseLaunchctlCall(1);
  SandboxProcess first = sandbox.spawn(kInstall);
  ASSERT_TRUE(paused());
  first.kill(SIGKILL);
  first.wait();
  sandbox.clearSyslog();
  SandboxProcess second = sandbox.spawn(kInstall);
  startedAndSettled();
  EXPECT_TRUE(stillWaiting()) << "the next installer went on while the orphan worked";
  sandbox.resumeLaunchctl();
  EXPECT_EQ(second.wait().exitCode, 0);
  EXPECT_EQ(machine(), "db=8/4 " + kInstalled);
}

// A waiting installer whose lock file is deleted by the holder (as a last
// uninstall does) and replaced by a new one that another installer locks
// must wait for that one, not go on with the lock of a deleted file.
TEST_F(Reliability, LockOfADeletedLockFileIsNotTheLock) {
  installTimes(1, "/payload");
  const int held = open(sandbox.at(kLockFile).c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_TRUE(held >= 0 && flock(held, LOCK_EX) == 0);
  sandbox.clearSyslog();
  SandboxProcess waiting = sandbox.spawn(kInstall);
  startedAndSettled();
  ASSERT_EQ(unlink(sandbox.at(kLockFile).c_str()), 0);
  const int next = open(sandbox.at(kLockFile).c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  ASSERT_TRUE(next >= 0 && flock(next, LOCK_EX) == 0);
  close(held);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(stillWaiting());
  close(next);
  EXPECT_EQ(waiting.wait().exitCode, 0);
  EXPECT_EQ(machine(), "db=8/2 " + kInstalled);
}

// A file system mounted inside the set: the last uninstall leaves it and
// everything on it, and says so.
TEST_F(Reliability, RemovalNeverCrossesAMount) {
  installTimes(1, "/payload");
  const std::string mounted = std::string(kDirectorySet) + "/mounted";
  sandbox.makeDirs(mounted);
  ASSERT_EQ(mount("tmpfs", sandbox.at(mounted).c_str(), "tmpfs", 0, "mode=0755"), 0);
  sandbox.writeFile(mounted + "/other", "kept");
  EXPECT_EQ(runTool({"uninstall"}).exitCode, 0);
  Shell(sandbox, "test \"$(cat '" + std::string(kSupport) + "'/.ks2-*/mounted/other)\" = kept");
  // Said at info level, then why on the next line, at error level.
  EXPECT_TRUE(std::regex_search(
      sandbox.syslogDump(),
      std::regex(R"(\] info \d+: cannot remove directory set, ignoring\.\.\.\n)"
                 R"(\[[^\]]+\] error \d+: remove .*/mounted: Invalid cross-device link\n)")));
}

TEST_F(Reliability, ParallelInstallersAndUninstallersCountExactly) {
  for (const auto& [command, after] :
       {std::pair{kInstall, "db=8/8 " + kInstalled}, std::pair{kUninstall, std::string()}}) {
    std::vector<SandboxProcess> runs;
    for (int i = 0; i < 8; ++i) runs.push_back(sandbox.spawn(command));
    for (SandboxProcess& run : runs) EXPECT_EQ(run.wait().exitCode, 0);
    EXPECT_EQ(machine(), after);
  }
}

TEST_F(Reliability, UpdateModeKeepsALockFileSomeoneHolds) {
  installTimes(1, "/payload");
  const int fd = open(sandbox.at(kLockFile).c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);
  EXPECT_EQ(runTool({"uninstall", "-u"}).exitCode, 0);
  EXPECT_EQ(machine(), "lock");
  close(fd);
}

// Every item below a folder: mode, type, size, time, owner and path, links with
// their targets, then the checksum of every file.
std::string Inventory(const std::string& folder) {
  return "(cd '" + folder +
         "' && find . -mindepth 1 \\( -type l -printf '%y %U:%G %P -> %l\\n' \\) -o "
         "-printf '%m %y %s %T@ %U:%G %P\\n' | sort && find . -type f -exec md5sum {} + | sort)";
}

// The installed set is the payload byte for byte, with its modes, times and extended attributes,
// owner root and no write access for others: here from another file system (copy_file_range
// refused, the plain copy runs), from a payload owned by a user, with set-id and world-writable
// modes, into a support folder whose set-group-id bit gives new items group 20.
TEST_F(Reliability, InstalledSetIsThePayloadFromAnotherFileSystem) {
  sandbox.makeDirs("/mnt");
  ASSERT_EQ(mount("tmpfs", sandbox.at("/mnt").c_str(), "tmpfs", 0, "mode=0755"), 0);
  // Many files in one folder: the folder's times are set after its last file.
  Shell(sandbox,
        "cp -a /payload /mnt/p && head -c 300000 /dev/urandom > /mnt/p/modules/blob && "
        "mkdir /mnt/p/many && i=0 && while [ $i -lt 300 ]; do echo $i > /mnt/p/many/$i; "
        "i=$((i+1)); done && echo s > /mnt/p/modules/suid && echo w > /mnt/p/many/open && "
        "mkdir /mnt/p/shared && chown -R 501:20 /mnt/p && chmod 4755 /mnt/p/modules/suid && "
        "chmod 0666 /mnt/p/many/open && chmod 2750 /mnt/p/shared && "
        "touch -d 2001-02-03 /mnt/p/many /mnt/p/shared /mnt/p/modules && mkdir -p '" +
            std::string(kSupport) + "' && chgrp 20 '" + kSupport + "' && chmod 2755 '" + kSupport +
            "'");
  const std::string blob = "/mnt/p/modules/blob";
  ASSERT_EQ(setxattr(sandbox.at(blob).c_str(), "user.kestrun", "kept", 4, 0), 0);
  ASSERT_EQ(sandbox.run({"/mnt/p/bin/kestrun", "install", "/mnt/p"}).exitCode, 0);
  char value[8] = {};
  EXPECT_EQ(getxattr(sandbox.at(std::string(kDirectorySet) + "/modules/blob").c_str(),
                     "user.kestrun", value, sizeof value),
            4);
  EXPECT_STREQ(value, "kept");
  Shell(sandbox, Inventory("/mnt/p") +
                     " | sed -e 's/ 501:20 / 0:0 /' -e 's/^666 /664 /' > /tmp/want && " +
                     Inventory(kDirectorySet) + " | grep -v 'inst.plist$' > /tmp/got");
  EXPECT_EQ(sandbox.readFile("/tmp/got"), sandbox.readFile("/tmp/want"));
}

// An update that fails leaves the older set as it was, byte for byte, and
// nothing of the attempt: out of room for the new set, the disk staying full
// (the older tool has run), or an older tool that empties and opens up every
// file it finds, then fails.
struct FailedUpdate {
  friend void PrintTo(const FailedUpdate& row, std::ostream* out) { *out << row.name; }
  const char* name;
  std::string arrange;  // shell, after the older build's install: $S support folder, $T its tool
  std::string source;   // the payload the update installs
  std::vector<std::string> logged;
  std::string after;
};

class FailedUpdates : public Reliability, public ::testing::WithParamInterface<FailedUpdate> {};

TEST_P(FailedUpdates, LeaveTheOlderSetAsItWas) {
  const FailedUpdate& row = GetParam();
  // Room for the older set twice over (sanitized builds are larger).
  Shell(sandbox, "du -sk /payload-v7 | cut -f1 > /tmp/kb");
  const std::string kb = std::to_string(2 * std::stoi(sandbox.readFile("/tmp/kb")) + 512);
  sandbox.makeDirs(kSupport);
  ASSERT_EQ(mount("tmpfs", sandbox.at(kSupport).c_str(), "tmpfs", 0,
                  ("size=" + kb + "k,mode=0755").c_str()),
            0);
  installTimes(1);
  Shell(sandbox, "S='" + std::string(kSupport) + "' T='" + kInstalledTool + "' K=" + kb + " && " +
                     row.arrange + " && " + Inventory(kDirectorySet) + " > /tmp/before");
  EXPECT_EQ(sandbox.run({row.source + "/bin/kestrun", "install", row.source}).exitCode, 1);
  const std::string log = sandbox.syslogDump();
  for (const std::string& text : row.logged) EXPECT_NE(log.find(text), std::string::npos) << text;
  Shell(sandbox, Inventory(kDirectorySet) + " > /tmp/after");
  EXPECT_EQ(machine(), row.after);
  EXPECT_EQ(sandbox.readFile("/tmp/after"), sandbox.readFile("/tmp/before"));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Rows, FailedUpdates, ::testing::Values(
  // The older tool took the version 1 blocker with it, as in every update that reaches it.
  FailedUpdate{"NewSetDoesNotFit", "cp -a /payload /big && head -c ${K}k /dev/urandom > /big/modules/blob", "/big",
    {"cannot copy service files into place: copy ", "No space left on device"}, "db=7/1 set daemon agent lock jobs=system:com.quendalore.ks2"},
  FailedUpdate{"OlderToolEmptiesWhatItFinds", "printf '#!/bin/sh\\nfind \"%s\" -type f ! -name kestrun -exec sh -c '\\''for f; do : > \"$f\"; chmod 0666 \"$f\"; done'\\'' _ {} +\\nexit 3\\n' \"$S/ks2\" > \"$T\"", "/payload",
    {"uninstaller returned error", "uninstalling previous version failed"}, "db=7/1 set daemon agent v1 lock jobs=system:com.quendalore.ks2"}),
  [](const auto& row) { return std::string(row.param.name); });
// clang-format on

}  // namespace
}  // namespace vq::testing
