#include "kestrun/InstallPaths.h"

#include <string>

#include "kestrun/Globals.h"

VQInstallPaths VQInstallPaths::Under(std::string root) {
  VQInstallPaths paths;
  paths.root = std::move(root);
  paths.supportRoot = paths.rooted(vqDefaultApplicationSupportRoot);
  paths.kestrun1Path = paths.supportRoot + "/kestrun";
  paths.kestrun2Path = paths.supportRoot + "/ks2";
  paths.instLockFile = paths.supportRoot + "/ks2.lock";
  paths.pendingFile = paths.supportRoot + "/ks2.pending";
  paths.instPlistFile = paths.kestrun2Path + "/inst.plist";
  paths.uninstallerPath = paths.kestrun2Path + "/bin/kestrun";
  paths.launchFullPath = paths.rooted(vqLaunchDaemonsDir) + "/" + vqDefaultLaunchPlistFile;
  paths.oldLaunchFullPath = paths.rooted(vqOldLaunchFullPath);
  paths.wsLaunchFullPath = paths.rooted(vqLaunchAgentsDir) + "/" + vqDefaultWSLaunchPlistFile;
  paths.launchctl = paths.rooted("/bin/launchctl");
  return paths;
}

std::string VQInstallPaths::rooted(std::string_view absolute) const {
  std::string out = root;
  out.append(absolute);
  return out;
}

std::string VQInstallPaths::inSupport(std::string_view prefix, std::string_view suffix) const {
  std::string out = supportRoot;
  out.append("/").append(prefix).append(suffix);
  return out;
}

std::string VQInstallPaths::stagingFolder(pid_t pid) const {
  return inSupport(kStagingPrefix, std::to_string(pid));
}

std::string VQInstallPaths::removalFolder(pid_t pid) const {
  return inSupport(kRemovalPrefix, std::to_string(pid));
}

bool VQInstallPaths::IsLeftover(std::string_view name) {
  for (std::string_view prefix : {kStagingPrefix, kRemovalPrefix, kBackupStagingPrefix}) {
    if (name.substr(0, prefix.size()) == prefix) return true;
  }
  return false;
}
