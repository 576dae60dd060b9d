// Shows what kestrun does for the products that share the ks2 service, step
// by step in a throwaway sandbox (a broken update, a killed one and what
// `kestrun status` says of it included): after each step the command and its exit
// status, the files with their modes and owners, the installation database,
// the launchctl calls and the log. Exits non-zero when a step does not end
// as it should, so it doubles as a smoke test.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/sandbox.h"

namespace {

using vq::testing::RunOptions;
using vq::testing::RunResult;
using vq::testing::Sandbox;

constexpr char kSupport[] = "/Library/Application Support/com.quendalore";
constexpr char kDatabase[] = "/Library/Application Support/com.quendalore/ks2/inst.plist";
constexpr char kModules[] = "/Users/alice/Library/Application Support/Citrix Receiver/Modules";
int g_failures = 0;

void Expect(bool ok, const std::string& what) {
  if (ok) return;
  std::cout << "!! UNEXPECTED: " << what << "\n";
  ++g_failures;
}

std::string ModeString(const struct stat& st) {
  std::string out = S_ISDIR(st.st_mode) ? "d" : S_ISLNK(st.st_mode) ? "l" : "-";
  const char* letters = "rwxrwxrwx";
  for (int bit = 0; bit < 9; ++bit) out += (st.st_mode & (0400 >> bit)) ? letters[bit] : '-';
  return out;
}

// The folder's entries (two levels deep) as "mode uid:gid name".
void ShowFolder(const Sandbox& sandbox, const std::string& folder) {
  if (!sandbox.exists(folder)) {
    std::cout << "  " << folder << ": (absent)\n";
    return;
  }
  std::cout << "  " << folder << "/\n";
  for (const std::string& entry : sandbox.list(folder)) {
    const std::string name = entry.substr(0, entry.find(" -> "));
    const std::string trimmed = name.back() == '/' ? name.substr(0, name.size() - 1) : name;
    if (std::count(trimmed.begin(), trimmed.end(), '/') > 1) continue;
    struct stat st;
    if (lstat(sandbox.at(folder + "/" + trimmed).c_str(), &st) != 0) continue;
    std::printf("    %s %4u:%-4u %s\n", ModeString(st).c_str(), st.st_uid, st.st_gid,
                entry.c_str());
  }
  std::cout.flush();
}

std::string Database(const Sandbox& sandbox) {
  if (!sandbox.exists(kDatabase)) return "(none)";
  const std::string xml = sandbox.readFile(kDatabase);
  std::string out;
  for (const char* key : {"FormatVersion", "Version", "ReferenceCounter"}) {
    const size_t at = xml.find(std::string("<key>") + key + "</key>");
    const size_t open = xml.find("<integer>", at), close = xml.find("</integer>", open);
    if (at != std::string::npos && close != std::string::npos) {
      out += std::string(key) + "=" + xml.substr(open + 9, close - open - 9) + " ";
    }
  }
  return out;
}

// What `kestrun status --json` says, quietly.
std::string StatusOf(Sandbox& sandbox) {
  return sandbox.run({"/payload/bin/kestrun", "status", "--json"}).out;
}

void Heading(const std::string& text) { std::cout << "\n==== " << text << " ====\n"; }

// The step's command, then everything it changed or said.
RunResult Step(Sandbox& sandbox, const std::vector<std::string>& argv, const char* why) {
  if (*why != '\0') std::cout << why << "\n";
  std::cout << "$";
  for (const std::string& word : argv) std::cout << " " << word;
  const RunResult result = sandbox.run(argv);
  std::cout << "\nexit status " << result.exitCode << "\n";
  if (!result.out.empty()) std::cout << "-- standard output --\n" << result.out;
  if (!result.err.empty()) std::cout << "-- standard error --\n" << result.err;
  return result;
}

void ShowState(Sandbox& sandbox, bool plugins = false) {
  std::cout << "-- files --\n";
  ShowFolder(sandbox, kSupport);
  ShowFolder(sandbox, "/Library/LaunchDaemons");
  ShowFolder(sandbox, "/Library/LaunchAgents");
  if (plugins) {
    ShowFolder(sandbox, "/usr/local/lib");
    ShowFolder(sandbox, "/Library/Application Support/Citrix/PlugIns");
    ShowFolder(sandbox, "/Library/DCV Extensions");
  }
  std::cout << "-- database -- " << Database(sandbox) << "\n-- launchctl calls --\n";
  for (const auto& call : sandbox.launchctlCalls()) {
    std::cout << "  /bin/launchctl";
    for (size_t i = 1; i < call.size(); ++i) std::cout << " " << call[i];
    std::cout << "\n";
  }
  sandbox.clearLaunchctlCalls();
  std::cout << "-- log (subsystem com.quendalore.ks2) --\n";
  std::istringstream lines(sandbox.syslogDump());
  for (std::string line; std::getline(lines, line);) std::cout << "  " << line << "\n";
  sandbox.clearSyslog();
}

std::string ListLine(const std::string& file) {
  std::string text = file;
  for (char& c : text) c = c == '\r' ? '\n' : c;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("VirtualDriver=", 0) == 0) return line;
  }
  return "(no VirtualDriver line)";
}

}  // namespace

int main() {
  Sandbox sandbox;
  if (!sandbox.ready()) {
    std::cerr << "cannot build the sandbox: " << sandbox.whyNotReady() << "\n";
    return 1;
  }
  Heading("A Mac with two users, FreeRDP under /usr/local and Citrix Workspace");
  sandbox.writeUsers({{"alice", 1001, 1001, "/Users/alice"}, {"bob", 1002, 1002, "/Users/bob"}});
  std::ifstream sample(std::string(TEST_DATA_DIR) + "/citrix/mac-Modules.Homework4fin",
                       std::ios::binary);
  std::stringstream modules;
  modules << sample.rdbuf();
  sandbox.writeFile(kModules, modules.str());
  sandbox.makeDirs("/Users/bob");
  sandbox.makeDirs("/usr/local/lib");
  sandbox.makeDirs("/Library/Application Support/Citrix");
  sandbox.installPayload();
  sandbox.installOlderPayload();
  RunOptions shell;
  shell.environment = {"PATH=/usr/bin:/bin"};
  sandbox.run(
      {"/bin/sh", "-c",
       "chown -R 1001:1001 /Users/alice && chown 1002:1002 /Users/bob && "
       "cp -a /payload /payload-broken && rm /payload-broken/conf/com.quendalore.ks2.plist"},
      shell);
  std::cout << "Product A ships the older build of the service (version 7) in /payload-v7,\n"
               "product B the current one (version 8) in /payload, and a broken copy of it\n"
               "(its LaunchDaemon property list missing) in /payload-broken.\n";

  Heading("1. Product A installs: the first install copies the payload and registers launchd");
  Expect(Step(sandbox, {"/payload-v7/bin/kestrun", "install", "/payload-v7"}, "").exitCode == 0,
         "first install");
  ShowState(sandbox);
  Expect(Database(sandbox) == "FormatVersion=1 Version=7 ReferenceCounter=1 ",
         "count 1, version 7");

  Heading("2. Product B's first try ships a broken payload: the update is rolled back");
  Expect(Step(sandbox, {"/payload/bin/kestrun", "install", "/payload-broken"},
              "The older installation is moved aside as the backup (one rename), its own tool\n"
              "removes a stand-in, the new copy fails to register, and the backup is moved back.")
                 .exitCode == 1,
         "broken update fails");
  ShowState(sandbox);
  Expect(Database(sandbox) == "FormatVersion=1 Version=7 ReferenceCounter=1 ", "version 7 back");

  Heading("3. Product B's installer is killed half-way through its update");
  sandbox.pauseLaunchctlCall(1);
  std::cout << "While the older tool removes itself (paused at its first launchctl call):\n";
  vq::testing::SandboxProcess update =
      sandbox.spawn({"/payload/bin/kestrun", "install", "/payload"});
  while (!sandbox.launchctlPaused()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ShowFolder(sandbox, kSupport);
  std::cout << "  (ks2bk-PID-TIME is the backup, the older set itself; ks2 is the stand-in the\n"
               "   older tool removes; ks2.pending tells a later run to roll back to the backup.)\n"
               "The installer is killed now (SIGKILL); the older tool finishes on its own.\n";
  update.kill(SIGKILL);
  update.wait();
  sandbox.resumeLaunchctl();
  // The orphaned older tool holds the lock until it is done: a status run
  // says "operation running" until then.
  for (int waited = 0;
       waited < 10000 && StatusOf(sandbox).find("\"operation running\"") != std::string::npos;
       waited += 10) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ShowFolder(sandbox, kSupport);
  const RunResult broken = Step(sandbox, {"/payload/bin/kestrun", "status", "--json"},
                                "No service now. What an admin (or an MDM) sees:");
  Expect(broken.exitCode == 4 &&
             broken.out.find("\"State\": \"update interrupted\"") != std::string::npos,
         "status: update interrupted, needs attention (4)");
  sandbox.clearLaunchctlCalls();
  sandbox.clearSyslog();

  Heading("4. Product B's installer runs again: the run repairs first, then updates");
  Expect(Step(sandbox, {"/payload/bin/kestrun", "install", "/payload"},
              "The backup comes back with its daemon, then the update runs and keeps every\n"
              "reference.")
                 .exitCode == 0,
         "update");
  ShowState(sandbox);
  Expect(Database(sandbox) == "FormatVersion=1 Version=8 ReferenceCounter=2 ",
         "count 2, version 8");
  const RunResult healthy =
      Step(sandbox, {"/Library/Application Support/com.quendalore/ks2/bin/kestrun", "status"}, "");
  Expect(healthy.exitCode == 0, "status: healthy (0)");

  Heading("5. Product C installs the same build: one more reference, nothing copied");
  Expect(Step(sandbox, {"/payload/bin/kestrun", "install", "/payload"}, "").exitCode == 0,
         "reference");
  ShowState(sandbox);
  Expect(Database(sandbox) == "FormatVersion=1 Version=8 ReferenceCounter=3 ", "count 3");

  Heading("6. One pass of the service, as launchd runs it every minute, with a report");
  const std::string before = ListLine(sandbox.readFile(kModules));
  const RunResult pass =
      Step(sandbox, {"/Library/Application Support/com.quendalore/ks2/bin/kestrun", "create"}, "");
  std::cout << "-- what the report says --\n"
               "  [SUCC] a link was made, [EXST] it was already there, [UPDT] it was replaced;\n"
               "  [FAIL] that client is not installed on this machine (its folder is missing),\n"
               "  so there is nothing to link into: here only FreeRDP under /usr/local and\n"
               "  Citrix Workspace are; /Library/DCV Extensions is created one level deep.\n"
               "-- alice's Citrix module file --\n  before: "
            << before << "\n  after:  " << ListLine(sandbox.readFile(kModules))
            << "\n  (and a \"vq=On\" line after it; bob has no module file)\n";
  ShowState(sandbox, true);
  Expect(pass.out.find("Citrix enabled for: alice \n") != std::string::npos, "alice enabled");

  Heading("7. The products uninstall; the last one removes everything");
  Expect(Step(sandbox, {"/payload/bin/kestrun", "uninstall"}, "Product C:").exitCode == 0, "C");
  Expect(Step(sandbox, {"/payload/bin/kestrun", "uninstall"}, "Product B:").exitCode == 0, "B");
  ShowState(sandbox);
  Expect(Database(sandbox) == "FormatVersion=1 Version=8 ReferenceCounter=1 ", "count 1");
  Expect(Step(sandbox, {"/Library/Application Support/com.quendalore/ks2/bin/kestrun", "uninstall"},
              "Product A's uninstaller runs the installed copy:")
                 .exitCode == 0,
         "last uninstall");
  ShowState(sandbox, true);
  Expect(!sandbox.exists(kSupport + std::string("/ks2")), "everything removed");

  std::cout << "\n"
            << (g_failures == 0 ? "demo: every step ended as it should\n" : "demo: FAILED\n");
  return g_failures == 0 ? 0 : 1;
}
