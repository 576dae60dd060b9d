#include "kestrun/InstallPaths.h"

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
  return paths;
}

std::string VQInstallPaths::rooted(std::string_view absolute) const {
  std::string out = root;
  out.append(absolute);
  return out;
}
