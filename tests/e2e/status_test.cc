// `kestrun status` in every state the installers and the kill tests leave, as
// an admin and a management tool read it: the fields, the exit status, the
// fleet scripts of examples/ run as they are, and proof that asking changed
// nothing (the whole sandbox before and after, launchctl asked only "print").
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <sstream>

#include "tests/e2e/e2e_fixture.h"

namespace vq::testing {
namespace {

std::string ReadHostFile(const std::string& path) {
  std::stringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

constexpr char kInstalledDaemon[] =
    "\"LoadedFrom\": \"/Library/LaunchDaemons/com.quendalore.ks2.plist\"";

class Status;
using Setup = std::function<void(Status&)>;

struct StatusCase {
  friend void PrintTo(const StatusCase& row, std::ostream* out) { *out << row.name; }
  const char* name;
  Setup setup;
  int exit;                        // 0 healthy, 3 not installed, 4 needs attention
  std::vector<std::string> lines;  // each the start of a line of the JSON report, unindented
  const char* jamf;                // what the extension attribute reports
};

class Status : public E2ETest, public ::testing::WithParamInterface<StatusCase> {
 public:
  void TearDown() override {
    if (held >= 0) close(held);
    E2ETest::TearDown();
  }
  // Every item of the sandbox outside /proc, /dev, /tmp and launchctl's call
  // record; files with their size and time.
  std::string snapshot() {
    Shell(sandbox,
          "find / -xdev \\( -path /proc -o -path /dev -o -path /tmp -o -path "
          "/var/launchctl/calls \\) -prune -o -type d -printf '%p %m %U:%G\\n' -o -printf "
          "'%p %m %U:%G %s %T@\\n' | sort > /tmp/snapshot");
    return sandbox.readFile("/tmp/snapshot");
  }
  void shell(const std::string& command) {
    Shell(sandbox, "cd '" + std::string(kSupport) + "' && " + command);
  }
  int held = -1;
};

TEST_P(Status, ReportsTheStateAndChangesNothing) {
  const StatusCase& c = GetParam();
  installExamples();
  if (c.setup) c.setup(*this);
  if (HasFatalFailure()) return;
  sandbox.clearLaunchctlCalls();
  sandbox.clearSyslog();
  const std::string before = snapshot();

  const RunResult json = runTool({"status", "--json"});
  EXPECT_EQ(json.exitCode, c.exit);
  EXPECT_EQ(json.err, "");
  std::string unindented;
  for (size_t at = 0; at < json.out.size();) {
    const size_t text = json.out.find_first_not_of(' ', at), end = json.out.find('\n', at);
    unindented += "\n" + json.out.substr(text, end - text);
    at = end == std::string::npos ? json.out.size() : end + 1;
  }
  for (const std::string& line : c.lines) {
    EXPECT_NE(unindented.find("\n" + line), std::string::npos) << line << "\n" << json.out;
  }
  // The property list says the same, for plutil and defaults.
  const RunResult plist = runTool({"status"});
  EXPECT_EQ(plist.exitCode, c.exit);
  const std::optional<PropertyList> parsed = PropertyList::ParseDictionary(plist.out);
  ASSERT_TRUE(parsed) << plist.out;
  const std::string health = c.exit == 0   ? "healthy"
                             : c.exit == 3 ? "not installed"
                                           : "needs attention";
  EXPECT_EQ(parsed->stringForKey("Health"), health);

  const RunResult jamf = sandbox.run({"/examples/jamf-extension-attribute"});
  EXPECT_EQ(jamf.out, std::string("<result>") + c.jamf + "</result>\n");
  // munki installs the product (exit 0) unless ks2 is healthy.
  EXPECT_EQ(sandbox.run({"/examples/munki-installcheck"}).exitCode, c.exit == 0 ? 1 : 0);

  EXPECT_EQ(snapshot(), before);
  for (const std::string& call : calls()) EXPECT_EQ(call.rfind("print ", 0), 0u) << call;
  EXPECT_TRUE(sandbox.syslog().empty()) << sandbox.syslogDump();
}

// The state an update killed after its older tool ran leaves, or a first install killed
// before it counted: the set moved to its backup, or installed, with the journal that says so.
const char kKilledUpdate[] =
    "mv ks2 ks2bk-1-2 && printf 'restore ks2bk-1-2' > ks2.pending && rm /Library/LaunchDaemons/* "
    "/Library/LaunchAgents/* && : > /var/launchctl/loaded";

// clang-format off
INSTANTIATE_TEST_SUITE_P(States, Status, ::testing::Values(
  StatusCase{"Healthy", [](Status& s) { s.installTimes(2, "/payload"); }, 0,
    {"\"Health\": \"healthy\"", "\"State\": \"installed\"", "\"Version\": 8", "\"ReferenceCounter\": 2", "\"ToolVersion\": \"8\"",
     "\"Loaded\": \"yes\"", kInstalledDaemon, "\"Verdict\": \"one more reference to version 8 done: version 8 installed, 2 references\""}, "healthy"},
  StatusCase{"NotInstalled", {}, 3, {"\"State\": \"not installed\"", "\"Installed\": false", "\"Loaded\": \"no\"", "\"Recorded\": false"}, "not installed"},
  StatusCase{"UpdateInterrupted", [](Status& s) { s.installTimes(2); s.shell(kKilledUpdate); }, 4,
    {"\"State\": \"update interrupted\"", "\"Version\": 7", "\"ReferenceCounter\": 2", "\"ToolVersion\": \"none\"",
     "\"NextRunRepairs\": \"restore the installation the update started from (/Library/Application Support/com.quendalore/ks2bk-1-2)\""}, "needs attention"},
  StatusCase{"FirstInstallInterrupted", [](Status& s) { s.installTimes(1, "/payload"); s.shell("printf fresh > ks2.pending"); }, 4,
    {"\"State\": \"first install interrupted\"", "\"NextRunRepairs\": \"remove the interrupted first installation, which never counted\""}, "needs attention"},
  StatusCase{"RemovalInterrupted", [](Status& s) { s.installTimes(1, "/payload"); s.shell("printf remove > ks2.pending"); }, 4,
    {"\"State\": \"removal interrupted\"", "\"NextRunRepairs\": \"put the services of the installation in place back\""}, "needs attention"},
  StatusCase{"DatabaseDamaged", [](Status& s) { s.installTimes(1, "/payload"); s.shell("printf garbage > ks2/inst.plist"); }, 4,
    {"\"State\": \"database damaged\"", "\"Problem\": \"/Library/Application Support/com.quendalore/ks2/inst.plist is not a property list\""}, "needs attention"},
  StatusCase{"DaemonNotLoaded", [](Status& s) { s.installTimes(1, "/payload"); s.shell(": > /var/launchctl/loaded"); }, 4,
    {"\"State\": \"installed\"", "\"Loaded\": \"no\"", "\"the daemon is not loaded (no)\""}, "needs attention"},
  StatusCase{"OperationRunning", [](Status& s) {
      s.installTimes(1, "/payload");
      s.held = open(s.sandbox.at(kLockFile).c_str(), O_RDWR | O_CLOEXEC);
      ASSERT_EQ(flock(s.held, LOCK_EX), 0); }, 4,
    {"\"State\": \"operation running\"", "\"Version\": 8"}, "needs attention"},
  // Module files are the users' own business: reported, but not the service's health.
  StatusCase{"ModuleFiles", [](Status& s) {
      s.installTimes(1, "/payload");
      s.shell("for u in alice bob; do D=\"/Users/$u/Library/Application Support/Citrix Receiver\"; mkdir -p \"$D\" && "
              "printf 'VirtualDriver=TWI\\r' > \"$D/Modules\" && chown -R $u:$u /Users/$u; done && "
              "ln '/Users/bob/Library/Application Support/Citrix Receiver/Modules' /Users/bob/second"); }, 0,
    {"\"State\": \"not enabled\"", "\"State\": \"not editable\"", "\"Reason\": \"it has more than one name\""}, "healthy"},
  StatusCase{"SomethingInTheWayOfALink", [](Status& s) {
      s.installTimes(1, "/payload"); s.shell("mkdir -p /usr/local/lib && echo x > /usr/local/lib/libvq-client.dylib"); }, 4,
    {"\"/usr/local/lib/libvq-client.dylib: something else in the way\""}, "needs attention"}),
  [](const auto& row) { return std::string(row.param.name); });
// clang-format on

// The product's scripts as the Installer and an uninstaller run them, and
// the README showing every script of examples/ as it is.
TEST_F(E2ETest, ProductScriptsAsShipped) {
  installExamples();
  Shell(sandbox,
        "mkdir -p /Applications/Example.app/Contents/Resources && "
        "cp -a /payload /Applications/Example.app/Contents/Resources/ks2");
  const RunResult other =
      sandbox.run({"/examples/postinstall", "/p.pkg", "/Applications", "/Volumes/X"});
  EXPECT_EQ(other.exitCode, 1);
  EXPECT_EQ(other.err, "ks2 can only be installed on the startup volume, not on /Volumes/X\n");
  EXPECT_EQ(sandbox.run({"/examples/postinstall", "/p.pkg", "/Applications", "/"}).exitCode, 0);
  EXPECT_EQ(machine(), "db=8/1 set daemon agent v1 lock jobs=system:com.quendalore.ks2");
  EXPECT_EQ(sandbox.run({"/examples/uninstall"}).exitCode, 0);
  EXPECT_EQ(machine(), "");
  const RunResult again = sandbox.run({"/examples/uninstall"});
  EXPECT_EQ(again.exitCode, 0);
  EXPECT_EQ(again.out, "ks2 is not installed: nothing to remove\n");

  const std::string readme = ReadHostFile(std::string(KESTRUN_EXAMPLES_DIR) + "/../README.md");
  for (const char* name : {"postinstall", "uninstall", "jamf-extension-attribute",
                           "munki-installcheck", "osquery-ks2.sql"}) {
    const std::string script = ReadHostFile(std::string(KESTRUN_EXAMPLES_DIR) + "/" + name);
    EXPECT_FALSE(script.empty()) << name;
    EXPECT_NE(readme.find(script), std::string::npos) << "README does not show examples/" << name;
  }
}

}  // namespace
}  // namespace vq::testing
