#include "tests/e2e/e2e_fixture.h"

#include "platform/property_list.h"

namespace vq::testing {

E2ETest::Database E2ETest::readDatabase() const {
  Database db;
  db.present = sandbox.exists(kDatabase);
  auto plist = PropertyList::ReadDictionary(sandbox.at(kDatabase));
  if (!plist) return db;
  auto format = plist->uint32ForKey("FormatVersion");
  auto version = plist->uint32ForKey("Version");
  auto counter = plist->uint32ForKey("ReferenceCounter");
  db.valid = format && version && counter;
  db.formatVersion = format.value_or(0);
  db.version = version.value_or(0);
  db.referenceCounter = counter.value_or(0);
  return db;
}

void Shell(Sandbox& sandbox, const std::string& command) {
  RunOptions options;
  options.environment = {"PATH=/usr/bin:/bin"};
  const RunResult result = sandbox.run({"/bin/sh", "-c", command}, options);
  ASSERT_EQ(result.exitCode, 0) << command << "\n" << result.err;
}

std::string E2ETest::machine() const {
  std::string out;
  auto add = [&](const std::string& word) { out += (out.empty() ? "" : " ") + word; };
  const Database db = readDatabase();
  if (db.valid && db.formatVersion == 1) {
    add("db=" + std::to_string(db.version) + "/" + std::to_string(db.referenceCounter));
  } else if (db.present) {
    add("db=bad");
  }
  const std::pair<const char*, const char*> files[] = {
      {kInstalledTool, "set"},
      {kDaemonPlist, "daemon"},
      {kAgentPlist, "agent"},
      {"/Library/Application Support/com.quendalore/kestrun/99", "v1"},
      {kLockFile, "lock"},
      {"/Library/Application Support/com.quendalore/ks2.pending", "pending"}};
  for (const auto& [path, word] : files) {
    if (sandbox.exists(path)) add(word);
  }
  int backups = 0, junk = 0;
  if (sandbox.exists(kSupport)) {
    for (const std::string& name : sandbox.list(kSupport)) {
      if (name.find('/') != std::string::npos) continue;
      if (name.rfind("ks2bk-", 0) == 0) ++backups;
      if (name.rfind(".ks2-", 0) == 0) ++junk;
    }
  }
  if (backups != 0) add("backups=" + std::to_string(backups));
  if (junk != 0) add("junk=" + std::to_string(junk));
  if (sandbox.exists("/var/launchctl/loaded")) {
    std::string jobs = sandbox.readFile("/var/launchctl/loaded");
    for (char& c : jobs) c = c == '\n' ? ',' : c == '\t' ? ':' : c;
    if (!jobs.empty()) add("jobs=" + jobs.substr(0, jobs.size() - 1));
  }
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
