// The service's passes as a Mac sees them: `create` from the installed copy
// with its report, links that follow wherever the tool lies, the endless loop
// with its pause, and the removal of every link with the last reference.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/e2e/e2e_fixture.h"
#include "tests/e2e/service_helpers.h"
#include "tests/support/locations.h"

#ifndef KESTRUN_NOPAUSE_TOOL_PATH
#error "KESTRUN_NOPAUSE_TOOL_PATH must name the build whose loop does not rest"
#endif

namespace vq::testing {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using ::testing::Not;

constexpr char kModules[] = "/Library/Application Support/com.quendalore/ks2/modules";
constexpr char kConf[] = "/Library/Application Support/com.quendalore/ks2/conf";

using Location = PluginLocation;
constexpr const auto& kLocations = kPluginLocations;

std::string Line(const char* tag, const Location& location) {
  return std::string("[") + tag + "] " + location.file + " -> " + location.path + "\n";
}

// The report of a pass, given the tag of each location in table order.
std::string Report(const std::vector<const char*>& tags, const std::string& citrix,
                   const std::string& agent) {
  std::string out;
  for (size_t i = 0; i < tags.size(); ++i) out += Line(tags[i], kLocations[i]);
  return out + citrix + agent;
}

class ServicePassTest : public E2ETest {
 protected:
  // Texts of the run's messages that are not debug output of child processes.
  std::vector<std::string> messages() const {
    std::vector<std::string> texts;
    for (const SyslogLine& line : sandbox.syslog()) {
      EXPECT_EQ(line.category, "all") << line.text;
      if (line.type != LogType::kDebug) texts.push_back(line.text);
    }
    return texts;
  }

  // Every client folder in which a link can be made.
  void installEveryClient() const {
    for (const Location& location : kLocations) {
      const std::string path = location.path;
      sandbox.makeDirs(path.substr(0, path.rfind('/', path.rfind('/') - 1)));
    }
  }

  long passesSeen() const { return static_cast<long>(sandbox.launchctlCalls().size()) / 2; }

  const TestUser alice{"alice", 1001, 1001, "/Users/alice"};
  const TestUser bob{"bob", 1002, 1002, "/Users/bob"};
};

TEST_F(ServicePassTest, CreateFromTheInstalledCopyReportsEveryLocation) {
  sandbox.writeUsers({alice, bob});
  const std::string sample = CitrixSample();
  const std::string patched = CitrixSamplePatched();
  ASSERT_FALSE(patched.empty());
  MakeHome(sandbox, alice, &sample, 0600);
  MakeHome(sandbox, bob, &patched);
  ASSERT_EQ(runTool({"install", "/payload"}).exitCode, 0) << sandbox.syslogDump();

  // Homebrew in /usr/local: the prefix's folders belong to the user, and
  // opt/freerdp is the user's relative link into the Cellar.
  sandbox.writeFile("/usr/local/Cellar/freerdp/2.11.7/lib/freerdp2/librdpsnd-client.dylib", "");
  sandbox.makeDirs("/usr/local/opt");
  sandbox.symlink("../Cellar/freerdp/2.11.7", "/usr/local/opt/freerdp");
  sandbox.makeDirs("/usr/local/lib/freerdp2");
  sandbox.symlink("/Library/Application Support/com.quendalore/ks1/modules/libfreerdp.dylib",
                  kFreeRDP2);
  sandbox.symlink(std::string(kModules) + "/libfreerdp.dylib", kUsrLocalLib);
  for (const char* folder : {"/usr/local/Cellar", "/usr/local/opt", "/usr/local/lib"}) {
    OwnTree(sandbox, folder, alice);
  }
  sandbox.makeDirs("/Applications/VMware Horizon Client.app/Contents/Frameworks");
  sandbox.writeFile(kPCoIP, "an old copy");
  sandbox.writeFile(std::string(kCitrix) + "/Contents/Info.plist", "<plist/>");
  sandbox.clearSyslog();
  sandbox.clearLaunchctlCalls();

  RunResult first = sandbox.run({kInstalledTool, "create"});
  EXPECT_EQ(first.exitCode, 0);
  EXPECT_THAT(first.err, IsEmpty());
  EXPECT_EQ(first.out,
            Report({"SUCC", "UPDT", "FAIL", "SUCC", "FAIL", "EXST", "SUCC", "FAIL", "SUCC", "FAIL",
                    "SUCC", "SUCC"},
                   "Citrix enabled for: alice \n", "ws agent is activated for: alice bob.\n"));
  for (const Location& location : kLocations) {
    const std::string expected =
        std::string(location.isModule ? kModules : kConf) + "/" + location.file;
    if (sandbox.exists(location.path)) {
      EXPECT_EQ(sandbox.readLink(location.path), expected);
    }
  }
  EXPECT_EQ(sandbox.readLink("/usr/local/Cellar/freerdp/2.11.7/lib/freerdp2/libvq-client.dylib"),
            std::string(kModules) + "/libfreerdp.dylib");
  for (const char* failed : {kMacPorts, kHomebrew, kWorkSpaces, kHorizonPCoIP}) {
    EXPECT_FALSE(sandbox.exists(failed)) << failed;
  }
  EXPECT_FALSE(sandbox.exists("/opt/local"));
  EXPECT_FALSE(sandbox.exists("/Applications/WorkSpaces.app"));
  EXPECT_FALSE(sandbox.exists("/Applications/VMware Horizon Client.app/Contents/Library"));

  // alice's file got the entry, as alice; bob's already had it.
  EXPECT_EQ(sandbox.readFile(alice.home + kModulesFile), patched);
  struct stat st;
  ASSERT_EQ(lstat(sandbox.at(alice.home + kModulesFile).c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, alice.uid);
  EXPECT_EQ(st.st_gid, alice.gid);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(sandbox.readFile(bob.home + kModulesFile), patched);

  const std::string plist = kAgentPlist;
  EXPECT_THAT(sandbox.launchctlCalls(),
              ElementsAre(ElementsAre("launchctl", "bootstrap", "gui/1001", plist),
                          ElementsAre("launchctl", "kickstart", "gui/1001/com.quendalore.ks2.ws"),
                          ElementsAre("launchctl", "bootstrap", "gui/1002", plist),
                          ElementsAre("launchctl", "kickstart", "gui/1002/com.quendalore.ks2.ws")));
  auto created = [](const char* path) { return std::string("create link ") + path; };
  auto removed = [](const char* path) { return std::string("remove ") + path; };
  EXPECT_THAT(
      messages(),
      ElementsAre("Kestrun version: ks2\n", created(kHomebrewOpt), removed(kFreeRDP2),
                  created(kFreeRDP2), created(kMacPorts), created(kFreeRDP3), created(kHomebrew),
                  created(kBlast), created(kWorkSpaces), removed(kPCoIP), created(kPCoIP),
                  created(kHorizonPCoIP), removed(kCitrix), created(kCitrix), created(kDCV)));

  // A second pass finds everything current and says so only on standard output.
  sandbox.clearSyslog();
  RunResult second = sandbox.run({kInstalledTool, "create"});
  EXPECT_EQ(second.exitCode, 0);
  EXPECT_EQ(second.out,
            Report({"EXST", "EXST", "FAIL", "EXST", "FAIL", "EXST", "EXST", "FAIL", "EXST", "FAIL",
                    "EXST", "EXST"},
                   "Citrix enabled for no one\n", "ws agent is activated for: alice bob.\n"));
  EXPECT_THAT(messages(),
              ElementsAre("Kestrun version: ks2\n", created(kMacPorts), created(kHomebrew),
                          created(kWorkSpaces), created(kHorizonPCoIP)));
}

TEST_F(ServicePassTest, ToolStartedElsewhereLinksToItsOwnFolders) {
  sandbox.copyIn(BuiltToolPath(), "/tmp/x/bin/kestrun");
  sandbox.makeDirs("/usr/local/lib");
  sandbox.makeDirs("/Library/Application Support/Citrix/PlugIns");

  RunResult result = sandbox.run({"/tmp/x/bin/kestrun", "create"});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.out, Report({"FAIL", "SUCC", "FAIL", "SUCC", "FAIL", "SUCC", "FAIL", "FAIL",
                                "FAIL", "FAIL", "SUCC", "SUCC"},
                               "Citrix enabled for no one\n", "ws agent is activated for:.\n"));
  EXPECT_EQ(sandbox.readLink(kFreeRDP2), "/tmp/x/modules/libfreerdp.dylib");
  EXPECT_EQ(sandbox.readLink(kFreeRDP3), "/tmp/x/modules/libfreerdp.dylib");
  EXPECT_EQ(sandbox.readLink(kUsrLocalLib), "/tmp/x/modules/libfreerdp.dylib");
  EXPECT_EQ(sandbox.readLink(kCitrix), "/tmp/x/modules/ica.bundle");
  EXPECT_EQ(sandbox.readLink(kDCV), "/tmp/x/conf/com.quendalore.dcvproxy.json");
  EXPECT_THAT(messages(), Contains("Kestrun version: x\n"));
}

TEST_F(ServicePassTest, ToolDirectlyInTheRootFolderCannotMakeItsWorkers) {
  sandbox.copyIn(BuiltToolPath(), "/kestrun");
  sandbox.makeDirs("/usr/local/lib");
  sandbox.writeUsers({alice});

  RunResult once = sandbox.run({"/kestrun", "create"});
  EXPECT_EQ(once.exitCode, 1);
  EXPECT_THAT(once.out, IsEmpty());
  EXPECT_THAT(once.err, IsEmpty());

  // The loop form ends the same way instead of starting.
  SandboxProcess loop = sandbox.spawn({"/kestrun"});
  const std::string stat = "/proc/" + std::to_string(loop.pid()) + "/stat";
  const bool ended =
      WaitUntil([&] { return ReadHostFile(stat).find(") Z ") != std::string::npos; }, 10000);
  if (!ended) loop.kill(SIGKILL);
  EXPECT_TRUE(ended) << "the loop started";
  RunResult looped = loop.wait();
  EXPECT_EQ(looped.exitCode, 1);
  EXPECT_THAT(looped.out, IsEmpty());
  EXPECT_THAT(looped.err, IsEmpty());

  const std::vector<SyslogLine> lines = sandbox.syslog();
  ASSERT_EQ(lines.size(), 2u) << sandbox.syslogDump();
  for (const SyslogLine& line : lines) {
    EXPECT_EQ(line.type, LogType::kError);
    EXPECT_EQ(line.category, "all");
    EXPECT_EQ(line.text, "utility path is too short");
  }
  EXPECT_THAT(sandbox.list("/usr/local/lib"), IsEmpty());
  EXPECT_THAT(sandbox.launchctlCalls(), IsEmpty());
}

TEST_F(ServicePassTest, LoopRepeatsPassesSilentlyAndKeepsGoingWhenTheyFail) {
  sandbox.copyIn(KESTRUN_NOPAUSE_TOOL_PATH, "/payload/bin/kestrun-nopause");
  sandbox.writeUsers({alice});
  sandbox.makeDirs("/usr/local/lib");
  // Every launchctl run fails, and most locations cannot be linked.
  sandbox.setLaunchctlAnswer("*", 1, "Bootstrap failed: 5: Input/output error\n");

  SandboxProcess loop = sandbox.spawn({"/payload/bin/kestrun-nopause"});
  ASSERT_TRUE(WaitUntil([&] { return passesSeen() >= 3; }, 20000));
  // A link lost between passes is back on a later one.
  unlink(sandbox.at(kUsrLocalLib).c_str());
  sandbox.writeFile(kUsrLocalLib, "not ours");
  EXPECT_TRUE(WaitUntil(
      [&] { return sandbox.readLink(kUsrLocalLib) == "/payload/modules/libfreerdp.dylib"; },
      20000));
  const long seen = passesSeen();
  EXPECT_TRUE(WaitUntil([&] { return passesSeen() >= seen + 3; }, 20000));
  loop.kill(SIGTERM);
  RunResult result = loop.wait();

  EXPECT_EQ(result.signal, SIGTERM);
  EXPECT_THAT(result.out, IsEmpty());
  EXPECT_THAT(result.err, IsEmpty());
  // The same two workers serve every pass: they are made once.
  const std::vector<std::string> texts = messages();
  EXPECT_EQ(std::count(texts.begin(), texts.end(), "Kestrun version: payload\n"), 1);
  EXPECT_GE(std::count(texts.begin(), texts.end(), std::string("create link ") + kMacPorts), 6);
  EXPECT_THAT(texts, Contains(std::string("remove ") + kUsrLocalLib));
  // Each pass asks for the agent of the one user, whatever launchctl answered.
  const auto calls = sandbox.launchctlCalls();
  ASSERT_GE(calls.size(), 12u);
  for (size_t i = 0; i + 1 < calls.size(); i += 2) {
    EXPECT_THAT(calls[i], ElementsAre("launchctl", "bootstrap", "gui/1001", kAgentPlist));
    EXPECT_THAT(calls[i + 1],
                ElementsAre("launchctl", "kickstart", "gui/1001/com.quendalore.ks2.ws"));
  }
}

// Runs a tool under strace with every sleep answered at once, until two
// passes have been seen; returns the sleeps the tool asked for.
std::vector<std::string> SleepsOf(Sandbox& sandbox, const std::string& tool, RunResult* result) {
  sandbox.clearLaunchctlCalls();
  SandboxProcess tracer = sandbox.spawn({"/usr/bin/strace", "-o", "/tmp/sleeps", "-e",
                                         "trace=clock_nanosleep,nanosleep", "-e",
                                         "inject=clock_nanosleep:retval=0", tool});
  auto sleeps = [&] {
    std::vector<std::string> lines;
    std::istringstream trace(sandbox.readFile("/tmp/sleeps"));
    std::string line;
    while (std::getline(trace, line)) {
      if (line.find("nanosleep(") != std::string::npos) lines.push_back(line);
    }
    return lines;
  };
  const bool seen = WaitUntil(
      [&] { return sandbox.launchctlCalls().size() >= 4 && sleeps().size() >= 2; }, 30000);
  EXPECT_TRUE(seen) << sandbox.readFile("/tmp/sleeps");
  for (pid_t traced : ChildrenOf(tracer.pid())) kill(traced, SIGKILL);
  tracer.kill(SIGKILL);
  *result = tracer.wait();
  return sleeps();
}

TEST_F(ServicePassTest, ReleaseBuildRestsSixtySecondsAfterEachPass) {
  sandbox.writeUsers({alice});
  sandbox.makeDirs("/usr/local/lib");
  RunResult result;
  const std::vector<std::string> sleeps = SleepsOf(sandbox, kPayloadTool, &result);
  ASSERT_GE(sleeps.size(), 2u);
  for (const std::string& sleep : sleeps) {
    EXPECT_EQ(sleep.rfind("clock_nanosleep(CLOCK_REALTIME, 0, {tv_sec=60, tv_nsec=0}, ", 0), 0u)
        << sleep;
    EXPECT_NE(sleep.find("= 0 (INJECTED)"), std::string::npos) << sleep;
  }
  // A pass comes before every pause: the first pause follows the first pass.
  EXPECT_GE(passesSeen(), static_cast<long>(sleeps.size()) - 1);
  EXPECT_THAT(result.out, IsEmpty());
  EXPECT_EQ(sandbox.readLink(kFreeRDP3), "/payload/modules/libfreerdp.dylib");

  // The test build differs in that one number only.
  sandbox.copyIn(KESTRUN_NOPAUSE_TOOL_PATH, "/payload/bin/kestrun-nopause");
  const std::vector<std::string> none = SleepsOf(sandbox, "/payload/bin/kestrun-nopause", &result);
  ASSERT_GE(none.size(), 2u);
  for (const std::string& sleep : none) {
    EXPECT_EQ(sleep.rfind("clock_nanosleep(CLOCK_REALTIME, 0, {tv_sec=0, tv_nsec=0}, ", 0), 0u)
        << sleep;
  }
}

TEST_F(ServicePassTest, LastReferenceUninstallRemovesEveryLink) {
  sandbox.writeUsers({alice});
  const std::string sample = CitrixSample();
  MakeHome(sandbox, alice, &sample);
  ASSERT_EQ(runTool({"install", "/payload"}).exitCode, 0);
  ASSERT_EQ(runTool({"install", "/payload"}).exitCode, 0);
  installEveryClient();
  RunResult pass = sandbox.run({kInstalledTool, "create"});
  ASSERT_EQ(pass.out, Report(std::vector<const char*>(12, "SUCC"), "Citrix enabled for: alice \n",
                             "ws agent is activated for: alice.\n"));

  // One reference fewer keeps them.
  ASSERT_EQ(runTool({"uninstall"}).exitCode, 0);
  EXPECT_EQ(readDatabase().referenceCounter, 1u);
  for (const Location& location : kLocations) {
    EXPECT_EQ(sandbox.readLink(location.path),
              std::string(location.isModule ? kModules : kConf) + "/" + location.file);
  }

  // A real folder where a link was goes as well, with its contents.
  unlink(sandbox.at(kCitrix).c_str());
  sandbox.writeFile(std::string(kCitrix) + "/Contents/Info.plist", "<plist/>");
  ASSERT_EQ(runTool({"uninstall"}).exitCode, 0) << sandbox.syslogDump();
  EXPECT_FALSE(sandbox.exists(kDatabase));
  for (const Location& location : kLocations) {
    EXPECT_FALSE(sandbox.exists(location.path)) << location.path;
  }
  // What the passes made besides the links stays.
  EXPECT_TRUE(sandbox.exists("/usr/local/lib/freerdp3"));
  EXPECT_TRUE(sandbox.exists("/Library/DCV Extensions"));
  EXPECT_EQ(sandbox.readFile(alice.home + kModulesFile), CitrixSamplePatched());
}

}  // namespace
}  // namespace vq::testing
