// VQKS2UserAgent: the per-user "ws" launchd agent. Installs its property list
// among the system-wide launch agents, activates it in every local user's
// "gui" domain, and takes it out again.
#pragma once

#include <memory>
#include <string>

#include "kestrun/InstallPaths.h"
#include "libutils-macOS/users.h"
#include "platform/file_manager.h"
#include "platform/logger.h"

class VQKS2UserAgent {
 public:
  // Null when the file manager cannot be had.
  static std::unique_ptr<VQKS2UserAgent> initWithLogger(const VQInstallPaths& paths,
                                                        vq::Logger& logger);

  // Bootstraps and kick-starts the agent for every user of the pass; with
  // verbose, prints "ws agent is activated for: <names>." on standard output.
  void runOnceVerbose(bool verbose, const vq::UserList& users);
  // Puts "<serviceDir>/conf/com.quendalore.ks2.ws.plist" in place.
  [[nodiscard]] bool install(const std::string& serviceDir);
  // Boots the agent out of every user's domain and deletes its property list.
  // False when a user's session could not be asked (launchctl could not run,
  // or the user list is incomplete) or the list could not be deleted.
  [[nodiscard]] bool remove(const vq::UserList& users);

 private:
  struct Token {};

 public:
  VQKS2UserAgent(Token, vq::Logger& log, const VQInstallPaths& paths, vq::FileManager* fileManager);

 private:
  vq::Logger* logger;
  std::string plistFullPath;
  vq::FileManager* fm;
  std::string launchctl;
};
