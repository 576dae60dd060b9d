// The main job, for people: a product installs the sample payload, the
// service makes one verbose pass, and the product uninstalls it again, all
// in a throwaway sandbox. After each step it prints what the tool printed,
// the files it left, the launchctl calls and the log.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>

#include "platform/capture_logger.h"
#include "platform/property_list.h"
#include "tests/e2e/sandbox.h"

namespace {

using vq::testing::RunResult;
using vq::testing::Sandbox;

void Heading(const std::string& text) { std::cout << "\n=== " << text << " ===\n"; }

void ShowTree(const Sandbox& sandbox, const std::string& folder) {
  if (!sandbox.exists(folder)) {
    std::cout << folder << ": (absent)\n";
    return;
  }
  std::cout << folder << "/\n";
  for (const std::string& entry : sandbox.list(folder)) std::cout << "  " << entry << "\n";
}

void ShowRun(const std::string& command, const RunResult& result) {
  std::cout << "$ " << command << "\nexit status " << result.exitCode << "\n";
  if (!result.out.empty()) std::cout << "standard output:\n" << result.out;
  if (!result.err.empty()) std::cout << "standard error:\n" << result.err;
}

void ShowState(Sandbox& sandbox) {
  std::cout << "-- files --\n";
  ShowTree(sandbox, "/Library/Application Support/com.quendalore");
  ShowTree(sandbox, "/Library/LaunchDaemons");
  ShowTree(sandbox, "/Library/LaunchAgents");
  ShowTree(sandbox, "/Library/Application Support/Citrix/PlugIns");
  ShowTree(sandbox, "/usr/local/lib");
  const std::string db = "/Library/Application Support/com.quendalore/ks2/inst.plist";
  if (sandbox.exists(db)) std::cout << "-- inst.plist --\n" << sandbox.readFile(db);
  std::cout << "-- launchctl calls --\n";
  for (const auto& call : sandbox.launchctlCalls()) {
    std::cout << " ";
    for (const auto& arg : call) std::cout << " " << arg;
    std::cout << "\n";
  }
  sandbox.clearLaunchctlCalls();
  std::cout << "-- log (subsystem com.quendalore.ks2) --\n";
  for (const auto& line : sandbox.syslog()) {
    std::cout << "  [" << line.category << "] " << vq::LogTypeName(line.type) << ": " << line.text
              << "\n";
  }
  sandbox.clearSyslog();
}

}  // namespace

int main() {
  Sandbox sandbox;
  if (!sandbox.ready()) {
    std::cerr << "cannot build the sandbox: " << sandbox.whyNotReady() << "\n";
    return 1;
  }
  Heading("A Mac with two users, Citrix Workspace and FreeRDP installed");
  sandbox.writeUsers({{"alice", 1001, 1001, "/Users/alice"}, {"bob", 1002, 1002, "/Users/bob"}});
  std::ifstream sample(std::string(TEST_DATA_DIR) + "/citrix/mac-Modules.Homework4fin",
                       std::ios::binary);
  std::stringstream modules;
  modules << sample.rdbuf();
  for (const char* user : {"alice", "bob"}) {
    const std::string home = std::string("/Users/") + user;
    const std::string file = home + "/Library/Application Support/Citrix Receiver/Modules";
    sandbox.writeFile(file, modules.str(), 0644);
    const uid_t uid = std::string(user) == "alice" ? 1001 : 1002;
    for (const std::string& path : {home, home + "/Library", home + "/Library/Application Support",
                                    home + "/Library/Application Support/Citrix Receiver", file}) {
      chown(sandbox.at(path).c_str(), uid, uid);
    }
  }
  sandbox.makeDirs("/Library/Application Support/Citrix/PlugIns");
  sandbox.makeDirs("/usr/local/lib/freerdp2");
  sandbox.installPayload("/payload");
  ShowTree(sandbox, "/payload");

  Heading("1. A product's installer runs: kestrun install /payload");
  ShowRun("/payload/bin/kestrun install /payload",
          sandbox.run({"/payload/bin/kestrun", "install", "/payload"}));
  ShowState(sandbox);

  const std::string installed = "/Library/Application Support/com.quendalore/ks2/bin/kestrun";
  Heading("2. One verbose pass of the installed service: kestrun create");
  ShowRun(installed + " create", sandbox.run({installed, "create"}));
  ShowState(sandbox);
  std::cout << "-- alice's Citrix module file, driver list --\n";
  std::string text =
      sandbox.readFile("/Users/alice/Library/Application Support/Citrix Receiver/Modules");
  const size_t key = text.find("VirtualDriver=");
  const size_t end = text.find("\r", text.find("\r", key) + 1);
  std::string excerpt = text.substr(key, end - key);
  for (char& c : excerpt) c = c == '\r' ? '\n' : c;
  std::cout << excerpt << "\n";

  Heading("3. The product's uninstaller runs: kestrun uninstall");
  ShowRun(installed + " uninstall", sandbox.run({installed, "uninstall"}));
  ShowState(sandbox);
  return 0;
}
