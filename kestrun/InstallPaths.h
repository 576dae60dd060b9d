// The installed locations of the service, built once from the constants and
// handed to everything that touches them. Under a real system the root is
// empty; a test builds the same set over its temporary root.
#pragma once

#include <string>
#include <string_view>

struct VQInstallPaths {
  std::string root;
  std::string supportRoot;        // .../com.quendalore, parent of the sets, lock and backups
  std::string kestrun1Path;       // .../com.quendalore/kestrun
  std::string kestrun2Path;       // .../com.quendalore/ks2, the directory set
  std::string instLockFile;       // .../com.quendalore/ks2.lock
  std::string pendingFile;        // .../com.quendalore/ks2.pending, an update under way
  std::string instPlistFile;      // .../ks2/inst.plist
  std::string uninstallerPath;    // .../ks2/bin/kestrun
  std::string launchFullPath;     // /Library/LaunchDaemons/com.quendalore.ks2.plist
  std::string oldLaunchFullPath;  // the version 1 daemon's property list
  std::string wsLaunchFullPath;   // /Library/LaunchAgents/com.quendalore.ks2.ws.plist

  static VQInstallPaths Under(std::string root);
  // A compiled-in absolute path as it lies under this root.
  std::string rooted(std::string_view absolute) const;
};
