#include "tests/e2e/e2e_fixture.h"

#include "platform/property_list.h"

namespace vq::testing {

void Shell(Sandbox& sandbox, const std::string& command) {
  RunOptions options;
  options.environment = {"PATH=/usr/bin:/bin"};
  const RunResult result = sandbox.run({"/bin/sh", "-c", command}, options);
  ASSERT_EQ(result.exitCode, 0) << command << "\n" << result.err;
}

void E2ETest::SetUp() {
  if (!sandbox.ready()) GTEST_SKIP() << "no sandbox: " << sandbox.whyNotReady();
  sandbox.installPayload();
  sandbox.installOlderPayload();
  sandbox.writeUsers({{"alice", 1001, 1001, "/Users/alice"}, {"bob", 1002, 1002, "/Users/bob"}});
}

void E2ETest::TearDown() {
  if (!HasFailure()) return;
  std::cerr << "---- log ----\n" << sandbox.syslogDump() << "---- launchctl calls ----\n";
  for (const std::string& call : calls()) std::cerr << call << "\n";
}

RunResult E2ETest::runTool(std::vector<std::string> args, const RunOptions& options) {
  args.insert(args.begin(), "/payload/bin/kestrun");
  return sandbox.run(args, options);
}

std::string E2ETest::machine() const {
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
  int backups = 0, junk = 0;
  for (const std::string& name : sandbox.list(kSupport)) {
    if (name.find('/') + 1 < name.size()) continue;  // only what lies directly inside
    backups += name.rfind("ks2bk-", 0) == 0;
    junk += name.rfind(".ks2-", 0) == 0;
  }
  if (backups != 0) add("backups=" + std::to_string(backups));
  if (junk != 0) add("junk=" + std::to_string(junk));
  std::string jobs = sandbox.readFile("/var/launchctl/loaded");
  for (char& c : jobs) c = c == '\n' ? ',' : c == '\t' ? ':' : c;
  if (!jobs.empty()) add("jobs=" + jobs.substr(0, jobs.size() - 1));
  return out;
}

std::vector<std::string> E2ETest::calls() const {
  std::vector<std::string> out;
  for (const auto& call : sandbox.launchctlCalls()) {
    std::string line;
    for (size_t i = 1; i < call.size(); ++i) line += (i > 1 ? " " : "") + call[i];
    out.push_back(line);
  }
  return out;
}

void E2ETest::installTimes(int times, const std::string& payload) {
  for (int i = 0; i < times; ++i) {
    ASSERT_EQ(sandbox.run({payload + "/bin/kestrun", "install", payload}).exitCode, 0)
        << sandbox.syslogDump();
  }
  sandbox.clearSyslog();
  sandbox.clearLaunchctlCalls();
}

}  // namespace vq::testing
