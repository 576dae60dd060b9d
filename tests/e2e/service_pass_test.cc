// The service's passes as users and admins meet them: the report of a
// `create` pass, the module-file edit on disk, users who own plug-in folders
// and try to steer root, and a long quiet loop.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <tuple>

#include "tests/e2e/e2e_fixture.h"

namespace vq::testing {
namespace {

constexpr char kAliceModules[] = "/Users/alice/Library/Application Support/Citrix Receiver/Modules";
constexpr char kBefore[] = "[ICA 3.0]\rVirtualDriver=Thinwire3.0, TWI\rTWI=On\r";
constexpr char kAfter[] = "[ICA 3.0]\rVirtualDriver=Thinwire3.0, TWI, vq\rvq=On\rTWI=On\r";

// The twelve plug-in locations in the pass's order: the payload's file and
// the link. Only the five whose folders a Mac with FreeRDP and Citrix can
// have (numbered) vary here; the others fail.
// clang-format off
constexpr std::tuple<int, const char*, const char*> kLocations[] = {
    {-1, "libfreerdp.dylib", "/usr/local/opt/freerdp/lib/freerdp2/libvq-client.dylib"},
    {0, "libfreerdp.dylib", "/usr/local/lib/freerdp2/libvq-client.dylib"},
    {-1, "libfreerdp.dylib", "/opt/local/lib/freerdp2/libvq-client.dylib"},
    {1, "libfreerdp.dylib", "/usr/local/lib/freerdp3/libvq-client.dylib"},
    {-1, "libfreerdp.dylib", "/opt/homebrew/opt/freerdp/lib/freerdp2/libvq-client.dylib"},
    {2, "libfreerdp.dylib", "/usr/local/lib/libvq-client.dylib"},
    {-1, "libblast.dylib", "/Applications/VMware Horizon Client.app/Contents/Frameworks/rdpvcbridge/libvq.dylib"},
    {-1, "libpcoip.dylib", "/Applications/WorkSpaces.app/Contents/MacOS/vchan_plugins/libpcoip_vchan_vq.dylib"},
    {-1, "libpcoip.dylib", "/Applications/PCoIPClient.app/Contents/MacOS/vchan_plugins/libpcoip_vchan_vq.dylib"},
    {-1, "libpcoip.dylib", "/Applications/VMware Horizon Client.app/Contents/Library/pcoip/vchan_plugins/libpcoip_vchan_vq.dylib"},
    {3, "ica.bundle", "/Library/Application Support/Citrix/PlugIns/vq"},
    {4, "com.quendalore.dcvproxy.json", "/Library/DCV Extensions/com.quendalore.dcvproxy.json"}};
// clang-format on

// The verbose pass's report: one line per location.
std::string Report(const std::array<const char*, 5>& tags, const std::string& citrix) {
  std::string out;
  for (const auto& [tag, file, link] : kLocations) {
    out += std::string("[") + (tag < 0 ? "FAIL" : tags[tag]) + "] " + file + " -> " + link + "\n";
  }
  return out + citrix + "\nws agent is activated for: alice bob.\n";
}

class ServicePass : public E2ETest {
 protected:
  void SetUp() override {
    E2ETest::SetUp();
    if (IsSkipped()) return;
    // FreeRDP from source under /usr/local and Citrix Workspace; nothing else.
    Shell(
        sandbox,
        "mkdir -p /usr/local/lib '/Library/Application Support/Citrix' /Users/alice /Users/bob && "
        "chown 1001:1001 /Users/alice && chown 1002:1002 /Users/bob");
  }
  RunResult create() { return runTool({"create"}); }
  void aliceModulesFile() {
    sandbox.writeFile(kAliceModules, kBefore, 0640);
    Shell(sandbox, "chown -R 1001:1001 /Users/alice/Library");
  }
};

TEST_F(ServicePass, ReportThenQuietSecondPass) {
  aliceModulesFile();
  RunResult first = create();
  EXPECT_EQ(first.exitCode, 0);
  EXPECT_EQ(first.out,
            Report({"SUCC", "SUCC", "SUCC", "SUCC", "SUCC"}, "Citrix enabled for: alice "));
  EXPECT_EQ(sandbox.readFile(kAliceModules), kAfter);
  Shell(sandbox,
        "test \"$(stat -c %a:%u:%g '" + std::string(kAliceModules) + "')\" = 640:1001:1001");
  using Names = std::vector<std::string>;
  EXPECT_EQ(sandbox.list("/usr/local/lib/freerdp2"),
            Names{"libvq-client.dylib -> /payload/modules/libfreerdp.dylib"});
  EXPECT_EQ(sandbox.list("/Library/DCV Extensions"),
            Names{"com.quendalore.dcvproxy.json -> /payload/conf/com.quendalore.dcvproxy.json"});
  EXPECT_EQ(calls(), (std::vector<std::string>{
                         "bootstrap gui/1001 /Library/LaunchAgents/com.quendalore.ks2.ws.plist",
                         "kickstart gui/1001/com.quendalore.ks2.ws",
                         "bootstrap gui/1002 /Library/LaunchAgents/com.quendalore.ks2.ws.plist",
                         "kickstart gui/1002/com.quendalore.ks2.ws"}));
  EXPECT_EQ(create().out,
            Report({"EXST", "EXST", "EXST", "EXST", "EXST"}, "Citrix enabled for no one"));
  // A replaced link is updated; a file standing at a location is replaced.
  Shell(sandbox,
        "cd /usr/local/lib && ln -s /payload/modules/libfreerdp.dylib.old freerdp3/new && mv -f "
        "freerdp3/new freerdp3/libvq-client.dylib && rm libvq-client.dylib && echo x > "
        "libvq-client.dylib");
  EXPECT_EQ(create().out,
            Report({"EXST", "UPDT", "SUCC", "EXST", "EXST"}, "Citrix enabled for no one"));
}

struct ModulesCase {
  friend void PrintTo(const ModulesCase& row, std::ostream* out) { *out << row.name; }
  const char* name;
  std::string arrange;  // shell: $D is alice's Citrix folder, /before and /after module files
  std::string after;    // alice's file afterwards
  bool listed = false;  // reported as enabled
  const char* logged = nullptr;  // a default-level line, or nullptr
  bool inPlace = false;          // edited in place, not replaced by a new file
  std::string file = kAliceModules;
};

class ModulesFile : public ServicePass, public ::testing::WithParamInterface<ModulesCase> {};

TEST_P(ModulesFile, EditedOnlyWhenSafeAndReportedTruly) {
  const ModulesCase& c = GetParam();
  sandbox.writeFile("/before", kBefore);
  sandbox.writeFile("/after", kAfter);
  Shell(sandbox,
        "D='/Users/alice/Library/Application Support/Citrix Receiver' && "
        "mkdir -p \"$D\" && " +
            c.arrange);
  // A reader that opened the file before sees the old bytes, unless the edit
  // had to be made in place.
  const int reader = open(sandbox.at(c.file).c_str(), O_RDONLY | O_CLOEXEC);
  const RunResult result = create();
  std::string seen(4096, '\0');
  seen.resize(static_cast<size_t>(std::max<ssize_t>(0, pread(reader, seen.data(), 4096, 0))));
  if (reader >= 0) close(reader);
  if (c.listed) {
    EXPECT_EQ(seen, c.inPlace ? c.after : kBefore);
  }
  EXPECT_NE(
      result.out.find(c.listed ? "Citrix enabled for: alice \n" : "Citrix enabled for no one\n"),
      std::string::npos)
      << result.out;
  EXPECT_EQ(sandbox.readFile(c.file), c.after);
  // The last line that says it is at the default level.
  const std::vector<SyslogLine> log = sandbox.syslog();
  const auto line = std::find_if(log.rbegin(), log.rend(), [&](const SyslogLine& l) {
    return c.logged != nullptr && l.text.find(c.logged) != std::string::npos;
  });
  if (c.logged != nullptr) {
    ASSERT_NE(line, log.rend()) << c.logged;
    EXPECT_EQ(line->type, LogType::kDefault);
  }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, ModulesFile, ::testing::Values(
  ModulesCase{.name = "UsersOwn", .arrange = "cp /before \"$D/Modules\" && chown -R 1001:1001 /Users/alice/Library", .after = kAfter, .listed = true},
  ModulesCase{.name = "AlreadyEnabled", .arrange = "cp /after \"$D/Modules\" && chown -R 1001:1001 /Users/alice/Library", .after = kAfter},
  ModulesCase{.name = "RootOwnedFolderIsWrittenInPlace", .arrange = "cp /before \"$D/Modules\" && chown -R 1001:1001 /Users/alice/Library && chown 0:0 \"$D\"", .after = kAfter, .listed = true, .inPlace = true},
  ModulesCase{.name = "RootOwnedFileInHome", .arrange = "cp /before \"$D/Modules\" && chmod 666 \"$D/Modules\" && chown -R 1001:1001 /Users/alice/Library && chown 0:0 \"$D/Modules\"", .after = kBefore, .logged = "it belongs to another user"},
  ModulesCase{.name = "HardLinkedFile", .arrange = "cp /before \"$D/Modules\" && ln \"$D/Modules\" /Users/alice/second && chown -R 1001:1001 /Users/alice", .after = kBefore, .logged = "it has more than one name"},
  ModulesCase{.name = "FolderIsALink", .arrange = "rmdir \"$D\" && mkdir /Users/alice/real && cp /before /Users/alice/real/Modules && ln -s /Users/alice/real \"$D\" && chown -R -h 1001:1001 /Users/alice", .after = kBefore, .logged = "cannot be reached without following a link", .file = "/Users/alice/real/Modules"},
  ModulesCase{.name = "FileIsALinkToRootsFile", .arrange = "cp /before /etc/target && ln -s /etc/target \"$D/Modules\" && chown -R -h 1001:1001 /Users/alice", .after = ""}),
  [](const auto& row) { return std::string(row.param.name); });
// clang-format on

TEST_F(ServicePass, OnlyAccountsAPersonLogsInWithAreVisited) {
  sandbox.writeUsers({{"alice", 1001, 1001, "/Users/alice"},
                      {"first", 1000, 1000, "/Users/first"},  // UID_MIN itself
                      {"alice", 1009, 1009, "/Users/again"},  // a later entry of the same name
                      {"carol", 1003, 1003, "/Users/\xff"},   // a home that is not UTF-8
                      {"_www", 1004, 1004, "/Users/www"},
                      {"daemon", 999, 999, "/Users/daemon"},
                      {"nobody", 60001, 60001, "/Users/nobody"},
                      {"svc", 1005, 1005, "/Users/svc", "/usr/sbin/nologin"},
                      {"ftp", 1006, 1006, "/Users/ftp", "/bin/false"},
                      {"zed", 60000, 60000, "/Users/zed"}});
  EXPECT_NE(create().out.find("ws agent is activated for: alice first zed.\n"), std::string::npos);
  sandbox.writeFile("/etc/login.defs", "UID_MIN 1001\nUID_MAX 59999\n");
  EXPECT_NE(create().out.find("ws agent is activated for: alice.\n"), std::string::npos);
}

TEST_F(ServicePass, UserOwnedPluginFolderNeverSteersRoot) {
  // alice owns /usr/local/lib (as admins often do) and renames a root-owned
  // tree she cannot delete to a location's name.
  sandbox.writeFile("/usr/local/lib/python3.11/site-packages/keep.py", "root's");
  // She also links a location's folder to root's /Library/LaunchDaemons.
  Shell(sandbox,
        "chown 1001:1001 /usr/local/lib && mv /usr/local/lib/python3.11 "
        "/usr/local/lib/libvq-client.dylib && ln -s /Library/LaunchDaemons /usr/local/lib/freerdp3 "
        "&& chown -h 1001:1001 /usr/local/lib/freerdp3");
  const std::string report = create().out;
  EXPECT_NE(report.find("[FAIL] libfreerdp.dylib -> /usr/local/lib/libvq-client.dylib\n"),
            std::string::npos);
  EXPECT_NE(report.find("[FAIL] libfreerdp.dylib -> /usr/local/lib/freerdp3/libvq-client.dylib\n"),
            std::string::npos);
  EXPECT_FALSE(sandbox.exists("/Library/LaunchDaemons/libvq-client.dylib"));
  const std::vector<SyslogLine> log = sandbox.syslog();
  EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const SyslogLine& line) {
    return line.type == LogType::kError &&
           line.text ==
               "not touching /usr/local/lib/freerdp3/libvq-client.dylib: its folder is "
               "reached through another user's link";
  }));
}

TEST_F(ServicePass, LongLoopWithAgentsLoadedWritesAndSaysNothing) {
  // Every client installed: a steady pass has nothing to report.
  for (const auto& [tag, file, link] : kLocations) {
    if (tag < 0) sandbox.makeDirs(std::string(link).substr(0, std::string(link).rfind('/')));
  }
  aliceModulesFile();
  sandbox.copyIn(KESTRUN_100PASSES_TOOL_PATH, "/payload/bin/kestrun-loop");
  installTimes(1, "/payload");
  ASSERT_EQ(create().exitCode, 0);
  sandbox.writeFile("/var/before-loop", "");
  sandbox.clearSyslog();
  sandbox.clearLaunchctlCalls();
  const RunResult loop = sandbox.run({"/payload/bin/kestrun-loop"});
  EXPECT_EQ(loop.exitCode, 0);
  EXPECT_EQ(loop.out, "");
  EXPECT_EQ(calls().size(), 100u * 4);
  const std::vector<SyslogLine> log = sandbox.syslog();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.front().text, "Kestrun version: payload\n");
  for (size_t i = 1; i < log.size(); ++i) EXPECT_EQ(log[i].type, LogType::kDebug) << log[i].text;
  Shell(sandbox, "test -z \"$(find /Library /Users /usr/local /payload -newer /var/before-loop)\"");
  EXPECT_EQ(sandbox.readFile(kAliceModules), kAfter);
}

}  // namespace
}  // namespace vq::testing
