// The fixture of every end-to-end test: a fresh sandbox with the built
// payloads at /payload and /payload-v7 and two users, alice and bob, with
// graphical sessions. On failure the sandbox's whole log and launchctl calls
// are printed.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/property_list.h"
#include "tests/support/sandbox.h"

namespace vq::testing {

inline constexpr char kSupport[] = "/Library/Application Support/com.quendalore";
inline constexpr char kDirectorySet[] = "/Library/Application Support/com.quendalore/ks2";
inline constexpr char kDatabase[] = "/Library/Application Support/com.quendalore/ks2/inst.plist";
inline constexpr char kLockFile[] = "/Library/Application Support/com.quendalore/ks2.lock";
inline constexpr char kInstalledTool[] =
    "/Library/Application Support/com.quendalore/ks2/bin/kestrun";
inline constexpr char kVersion1Dir[] = "/Library/Application Support/com.quendalore/kestrun";

// Runs a shell command inside (PATH=/usr/bin:/bin, umask 022); the test fails unless it succeeds.
inline void Shell(Sandbox& sandbox, const std::string& command) {
  const RunResult result =
      sandbox.run({"/bin/sh", "-c", "umask 022; " + command}, {{}, {}, {"PATH=/usr/bin:/bin"}});
  ASSERT_EQ(result.exitCode, 0) << command << "\n" << result.err;
}

class E2ETest : public ::testing::Test {
 public:
  void SetUp() override {
    if (!sandbox.ready()) GTEST_SKIP() << "no sandbox: " << sandbox.whyNotReady();
    sandbox.installPayload();
    sandbox.installOlderPayload();
    sandbox.writeUsers({{"alice", 1001, 1001, "/Users/alice"}, {"bob", 1002, 1002, "/Users/bob"}});
  }
  void TearDown() override {
    if (!HasFailure()) return;
    std::cerr << "---- log ----\n" << sandbox.syslogDump() << "---- launchctl calls ----\n";
    for (const std::string& call : calls()) std::cerr << call << "\n";
  }

  // The product scripts of examples/ at /examples, as they are.
  void installExamples() { sandbox.copyIn(KESTRUN_EXAMPLES_DIR, "/examples"); }

  // The tool from /payload, as a product's installer runs it.
  RunResult runTool(std::vector<std::string> args, const RunOptions& options = {}) {
    args.insert(args.begin(), "/payload/bin/kestrun");
    return sandbox.run(args, options);
  }

  // The machine in one line: the database ("db=VERSION/COUNT", "db=bad" or
  // nothing), the installed files that stand, leftovers of killed or failed
  // runs, databases kept aside, and the jobs launchd has loaded.
  std::string machine() const {
    std::string out;
    auto add = [&](const std::string& word) { out += (out.empty() ? "" : " ") + word; };
    if (sandbox.exists(kDatabase)) {
      const auto db = PropertyList::ReadDictionary(sandbox.at(kDatabase));
      const auto version = db ? db->uint32ForKey("Version") : std::nullopt;
      const auto counter = db ? db->uint32ForKey("ReferenceCounter") : std::nullopt;
      const bool valid = db && db->uint32ForKey("FormatVersion") == 1u && version && counter;
      add(valid ? "db=" + std::to_string(*version) + "/" + std::to_string(*counter) : "db=bad");
    }
    const std::pair<std::string, const char*> files[] = {
        {kInstalledTool, "set"},
        {"/Library/LaunchDaemons/com.quendalore.ks2.plist", "daemon"},
        {"/Library/LaunchAgents/com.quendalore.ks2.ws.plist", "agent"},
        {std::string(kVersion1Dir) + "/99", "v1"},
        {kLockFile, "lock"},
        {std::string(kSupport) + "/ks2.pending", "pending"}};
    for (const auto& [path, word] : files) {
      if (sandbox.exists(path)) add(word);
    }
    int backups = 0, junk = 0, damaged = 0;
    for (const std::string& name : sandbox.list(kSupport)) {
      const size_t slash = name.find('/');  // only what lies directly inside
      if (slash != std::string::npos && slash + 1 < name.size()) continue;
      backups += name.rfind("ks2bk-", 0) == 0;
      junk += name.rfind(".ks2-", 0) == 0;
      damaged += name.rfind("inst.plist.damaged-", 0) == 0;
    }
    if (backups != 0) add("backups=" + std::to_string(backups));
    if (junk != 0) add("junk=" + std::to_string(junk));
    if (damaged != 0) add("damaged=" + std::to_string(damaged));
    std::string jobs = sandbox.readFile("/var/launchctl/loaded");
    for (char& c : jobs) c = c == '\n' ? ',' : c == '\t' ? ':' : c;
    if (!jobs.empty()) add("jobs=" + jobs.substr(0, jobs.size() - 1));
    return out;
  }

  // The launchctl calls since the last clear, one "verb arguments" each.
  std::vector<std::string> calls() const {
    std::vector<std::string> out;
    for (const auto& call : sandbox.launchctlCalls()) {
      std::string& line = out.emplace_back();
      for (size_t i = 1; i < call.size(); ++i) line += (i > 1 ? " " : "") + call[i];
    }
    return out;
  }

  // Installs a payload (default: the older build) this many times.
  void installTimes(int times, const std::string& payload = "/payload-v7") {
    for (int i = 0; i < times; ++i) {
      ASSERT_EQ(sandbox.run({payload + "/bin/kestrun", "install", payload}).exitCode, 0);
    }
    sandbox.clearSyslog();
    sandbox.clearLaunchctlCalls();
  }

  Sandbox sandbox;
};

}  // namespace vq::testing
