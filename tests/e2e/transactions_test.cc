// Install, update and uninstall as product installers run them: each row is
// a starting machine, one command, and everything the caller and the admin
// can see afterwards (exit status, log, launchctl calls, the whole machine).
#include <gtest/gtest.h>

#include <functional>

#include "tests/e2e/e2e_fixture.h"

namespace vq::testing {
namespace {

using Setup = std::function<void(E2ETest&)>;

struct TransactionCase {
  friend void PrintTo(const TransactionCase& row, std::ostream* out) { *out << row.name; }
  const char* name;
  Setup setup;
  std::vector<std::string> command;  // run by /payload/bin/kestrun
  int exit;
  // In this order, among the tool's log lines; a trailing '*' matches a prefix.
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
constexpr char kInstalled[] = "set daemon agent v1 lock jobs=system:com.quendalore.ks2";

std::string Db(int version, int counter, int format = 1) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
         "<key>FormatVersion</key><integer>" +
         std::to_string(format) + "</integer><key>ReferenceCounter</key><integer>" +
         std::to_string(counter) + "</integer><key>Version</key><integer>" +
         std::to_string(version) + "</integer></dict></plist>";
}

Setup Older(int times) {
  return [=](E2ETest& e) { e.installTimes(times); };
}
Setup Current(int times) {
  return [=](E2ETest& e) { e.installTimes(times, "/payload"); };
}
Setup Then(Setup first, std::function<void(Sandbox&)> second) {
  return [=](E2ETest& e) {
    first(e);
    second(e.sandbox);
  };
}
Setup Nothing() {
  return [](E2ETest&) {};
}

bool Matches(const std::string& line, const std::string& pattern) {
  if (!pattern.empty() && pattern.back() == '*') {
    return line.compare(0, pattern.size() - 1, pattern, 0, pattern.size() - 1) == 0;
  }
  return line == pattern;
}

class Transactions : public E2ETest, public ::testing::WithParamInterface<TransactionCase> {};

TEST_P(Transactions, Outcome) {
  const TransactionCase& c = GetParam();
  c.setup(*this);
  if (HasFatalFailure()) return;
  sandbox.clearSyslog();
  sandbox.clearLaunchctlCalls();
  const RunResult result = runTool(c.command);
  EXPECT_EQ(result.exitCode, c.exit);
  EXPECT_EQ(result.err, "");
  const std::vector<std::string> texts = sandbox.syslogTexts();
  size_t at = 0;
  for (const std::string& expected : c.log) {
    while (at < texts.size() && !Matches(texts[at], expected)) ++at;
    EXPECT_LT(at, texts.size()) << "missing, or out of order: " << expected;
  }
  EXPECT_EQ(machine(), c.machine);
  if (sandbox.exists(kInstalledTool)) {
    // Everything installed is root's, with the payload's modes; the database is 0644.
    Shell(sandbox,
          "cd '" + std::string(kDirectorySet) +
              "' && test -z \"$(find . ! -user 0 -o ! -group 0)\" && "
              "test \"$(stat -c %a inst.plist ../ks2.lock)\" = \"644\n600\" && test \"$(stat -c %a "
              "modules "
              "conf/com.quendalore.dcvproxy.json)\" = "
              "\"$(stat -c %a /payload/modules /payload/conf/com.quendalore.dcvproxy.json)\"");
  }
  if (c.calls != std::vector<std::string>{"*"}) {
    EXPECT_EQ(calls(), c.calls);
  }
}

const std::vector<std::string> kInstall = {"install", "/payload"};
const std::vector<std::string> kUninstall = {"uninstall"};

// clang-format off
INSTANTIATE_TEST_SUITE_P(Rows, Transactions, ::testing::Values(
  TransactionCase{"FirstInstall", Nothing(), kInstall, 0,
    {"installation started", "done."}, std::string("db=8/1 ") + kInstalled,
    {kLoad, kStart, kUnloadV1}},
  TransactionCase{"ForeignOwnedPayloadIsInstalledAsRootWithItsModes",
    [](E2ETest& e) { Shell(e.sandbox, "chown -R 501:20 /payload && chmod 0750 /payload/modules && chmod 0600 /payload/conf/com.quendalore.dcvproxy.json"); },
    kInstall, 0, {"done."}, std::string("db=8/1 ") + kInstalled, {"*"}},
  TransactionCase{"OneMoreReference", Current(1), kInstall, 0,
    {"installed version: 8, my version: 8", "installed version of Kestrun2 is OK, just increasing ref counter", "done."},
    std::string("db=8/2 ") + kInstalled, {}},
  TransactionCase{"NewerInstalledKeepsItsVersion", Then(Current(1), [](Sandbox& s) { s.writeFile(kDatabase, Db(9, 1)); }),
    kInstall, 0, {"installed version: 9, my version: 8"}, std::string("db=9/2 ") + kInstalled, {}},
  TransactionCase{"UpdateCarriesReferences", Older(3), kInstall, 0,
    {"installed version: 7, my version: 8", "older version detected, uninstalling it first",
     "uninstaller started in update mode", "done."},
    std::string("db=8/4 ") + kInstalled, {kUnload, kBootoutAlice, kBootoutBob, kLoad, kStart, kUnloadV1}},
  TransactionCase{"FailingOlderToolIsRolledBack",
    Then(Older(1), [](Sandbox& s) { s.writeFile(kInstalledTool, "#!/bin/sh\nexit 3\n", 0755); }),
    kInstall, 1, {"uninstaller returned error", "uninstalling previous version failed"},
    std::string("db=7/1 ") + kInstalled, {kLoad, kStart}},
  TransactionCase{"UnsafeOlderToolIsNeverRun",
    Then(Older(1), [](Sandbox& s) { Shell(s, "chmod 0775 '/Library/Application Support/com.quendalore/ks2/bin/kestrun'"); }),
    kInstall, 1, {"not running /Library/Application Support/com.quendalore/ks2/bin/kestrun: *",
                  "uninstaller returned error", "uninstalling previous version failed"},
    std::string("db=7/1 ") + kInstalled, {}},
  TransactionCase{"FailedUpdateRestoresTheOlderSet",
    Then(Older(2), [](Sandbox& s) { Shell(s, "cp -a /payload /broken && rm /broken/conf/com.quendalore.ks2.plist"); }),
    {"install", "/broken"}, 1,
    {"cannot install launchd plist file: *", "launchd service installation terminated due to error",
     "install process terminated due to error, trying to recover"},
    // The older tool took the version 1 blocker with it; the next update brings it back.
    "db=7/2 set daemon agent lock jobs=system:com.quendalore.ks2", {kUnload, kBootoutAlice, kBootoutBob, kLoad, kStart}},
  TransactionCase{"LinkedDaemonPlistIsRefused",
    [](E2ETest& e) { Shell(e.sandbox, "cp -a /payload /linked && ln -sf /etc/passwd /linked/conf/com.quendalore.ks2.plist"); },
    {"install", "/linked"}, 1, {"cannot install launchd plist file: *", "install process terminated due to error, trying to recover"},
    "db=8/1 set agent lock", {}},
  TransactionCase{"MissingSourceFailsTheCopy", Nothing(), {"install", "/nowhere"}, 1,
    {"cannot copy service files into place: *", "install process terminated due to error, trying to recover"},
    "lock", {}},
  TransactionCase{"InvalidFormatStops", [](E2ETest& e) { e.sandbox.writeFile(kDatabase, Db(8, 1, 2)); }, kInstall, 1,
    {"installation DB invalid format"}, "db=bad lock", {}},
  TransactionCase{"NonUtf8DatabaseCountsAsMissing",
    [](E2ETest& e) { e.sandbox.writeFile(kDatabase, "<plist><dict><key>FormatVersion</key><integer>1</integer><key>Version</key><integer>8</integer><key>ReferenceCounter</key><integer>4</integer><key>N</key><string>\xc3\x28</string></dict></plist>"); },
    kInstall, 0, {"done."}, std::string("db=8/1 ") + kInstalled, {"*"}},
  TransactionCase{"UninstallLeavesOtherReferences", Current(2), kUninstall, 0,
    {"other software depends on kestrun, just decreasing ref counter", "done."}, std::string("db=8/1 ") + kInstalled, {}},
  TransactionCase{"LastUninstallRemovesEverything", Current(1), kUninstall, 0,
    {"unloading services...", "removing directory set...", "done."}, "", {kUnload, kBootoutAlice, kBootoutBob}},
  TransactionCase{"CounterZeroRemovesEverything", Then(Current(1), [](Sandbox& s) { s.writeFile(kDatabase, Db(8, 0)); }),
    kUninstall, 0, {"done."}, "", {"*"}},
  TransactionCase{"UninstallWithoutDatabase", Nothing(), kUninstall, 1,
    {"installation DB not found or access denied"}, "lock", {}},
  TransactionCase{"UninstallOfAnOlderInstallation", Older(2), kUninstall, 0,
    {"strange that uninstaller from higher version", "other software depends on kestrun, just decreasing ref counter"},
    std::string("db=7/1 ") + kInstalled, {}},
  TransactionCase{"StandaloneUpdateModeRemovesTheLockFileToo", Current(3), {"uninstall", "-u"}, 0,
    {"uninstaller started in update mode", "unloading services...", "done."}, "", {kUnload, kBootoutAlice, kBootoutBob}},
  TransactionCase{"VersionOneIsRetired",
    [](E2ETest& e) {
      e.sandbox.writeFile(kVersion1Plist, "<plist><dict><key>Label</key><string>com.quendalore.kestrun</string></dict></plist>");
      e.sandbox.writeFile("/var/launchctl/loaded", "system\tcom.quendalore.kestrun\n");
      e.sandbox.writeFile(std::string(kVersion1Dir) + "/bin/old", "x");
    },
    kInstall, 0, {"done."}, std::string("db=8/1 ") + kInstalled, {kLoad, kStart, kUnloadV1}}),
  [](const auto& row) { return std::string(row.param.name); });
// clang-format on

}  // namespace
}  // namespace vq::testing
