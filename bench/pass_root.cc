#include "bench/pass_root.h"

#include <unistd.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "platform/file_manager.h"

#ifndef KESTRUN_PAYLOAD_SOURCE
#error "KESTRUN_PAYLOAD_SOURCE must name the sample payload folder"
#endif

namespace vq::bench {
namespace {

constexpr char kModulesSample[] = "/citrix/mac-Modules.Homework4fin";
constexpr char kAgentPlist[] = "/Library/LaunchAgents/com.quendalore.ks2.ws.plist";

void Own(const std::string& path, uid_t uid, gid_t gid) {
  if (lchown(path.c_str(), uid, gid) != 0) {
    throw std::runtime_error("cannot give " + path + " to its user (run as root)");
  }
}

}  // namespace

PassRoot::PassRoot(int users, bool clientsPresent)
    : users_(users), clientsPresent_(clientsPresent) {
  root_.installLaunchctlDouble();
  testing::RootTree source;
  const std::string modules = source.readFile(std::string(TEST_DATA_DIR) + kModulesSample);
  const std::string agentPlist =
      source.readFile(std::string(KESTRUN_PAYLOAD_SOURCE) + "/conf/com.quendalore.ks2.ws.plist");
  if (modules.empty() || agentPlist.empty()) throw std::runtime_error("sample files missing");
  root_.writeFile(kAgentPlist, agentPlist);

  std::vector<testing::TestUser> accounts;
  for (int i = 0; i < users; ++i) {
    const std::string name = "user" + std::to_string(1001 + i);
    const auto id = static_cast<uint32_t>(1001 + i);
    accounts.push_back({name, id, id, root_.at("/Users/" + name)});
    // A home with the module file as the Citrix client leaves it.
    const std::string home = "/Users/" + name;
    std::string path = home;
    root_.writeFile(home + vqCitrixModulesFile, modules);
    Own(root_.at(home), id, id);
    for (const char* part : {"/Library", "/Application Support", "/Citrix Receiver", "/Modules"}) {
      path += part;
      Own(root_.at(path), id, id);
    }
  }
  root_.writeUsers(accounts);

  if (clientsPresent_) {
    VQKS2ModInstaller::forEachLocation(
        [&](const char* location, const char*, bool) { root_.makeDirs(ParentPath(location)); });
  } else {
    // A Mac without any of the clients.
    for (const char* dir : {"/usr/local/lib", "/Applications", "/Library/Application Support"}) {
      root_.makeDirs(dir);
    }
  }

  mods_ = VQKS2ModInstaller::initWithLogger(logger_);
  agent_ = VQKS2UserAgent::initWithLogger(logger_);
  if (!mods_ || !agent_) throw std::runtime_error("cannot make the workers");
  // The first pass makes the links and enables the plug-in for every user.
  mods_->runOnceVerbose(false);
  agent_->runOnceVerbose(false);
  checkSteadyState();
}

void PassRoot::checkSteadyState() {
  int failing = 0;
  VQKS2ModInstaller::forEachLocation([&](const char* location, const char* file, bool isModule) {
    const int result = mods_->tryMakeLink(location, file, isModule);
    const bool folderThere = root_.exists(ParentPath(location));
    if (result == VQLinkFailed && !folderThere) {
      ++failing;
    } else if (result != VQLinkExisting || !folderThere) {
      throw std::runtime_error(std::string("not in the steady state: ") + location);
    }
  });
  if (clientsPresent_ ? failing != 0 : failing == 0) {
    throw std::runtime_error("unexpected number of failing locations");
  }
  for (int i = 0; i < users_; ++i) {
    const std::string file = "/Users/user" + std::to_string(1001 + i) + vqCitrixModulesFile;
    if (VQKS2ModInstaller::patchedModulesData(root_.readFile(file))) {
      throw std::runtime_error("module file not enabled: " + file);
    }
  }
  failingLinks_ = failing;
}

}  // namespace vq::bench
