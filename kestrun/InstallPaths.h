// Every location the tool touches, built once from the root it works on and
// handed to everything: the installed service, its lock, journal, backups and
// the folders of runs in progress, the launchd property lists, the plug-in
// link locations and /bin/launchctl. The tool uses the empty root (the real
// "/"); a test builds the same set over its temporary root.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

struct VQInstallPaths {
  std::string root;
  std::string supportRoot;        // .../com.quendalore, parent of the sets, lock and backups
  std::string kestrun1Path;       // .../com.quendalore/kestrun, version 1's folder
  std::string kestrun2Path;       // .../com.quendalore/ks2, the directory set
  std::string instLockFile;       // .../com.quendalore/ks2.lock
  std::string pendingFile;        // .../com.quendalore/ks2.pending, the journal of a run
  std::string instPlistFile;      // .../ks2/inst.plist
  std::string uninstallerPath;    // .../ks2/bin/kestrun
  std::string launchFullPath;     // /Library/LaunchDaemons/com.quendalore.ks2.plist
  std::string oldLaunchFullPath;  // the version 1 daemon's property list
  std::string wsLaunchFullPath;   // /Library/LaunchAgents/com.quendalore.ks2.ws.plist
  std::string launchctl;          // /bin/launchctl

  // Names in the support folder of runs in progress, each followed by the
  // run's process id (a backup: also its time).
  static constexpr char kBackupPrefix[] = "ks2bk-";
  static constexpr char kStagingPrefix[] = ".ks2-staging-";
  static constexpr char kRemovalPrefix[] = ".ks2-removing-";
  // Backups under construction, as earlier versions made them.
  static constexpr char kBackupStagingPrefix[] = ".ks2-backup-";
  // A database that was no property list, kept aside (followed by the time).
  static constexpr char kDamagedDatabasePrefix[] = "inst.plist.damaged-";

  static VQInstallPaths Under(std::string root);
  // A compiled-in absolute path as it lies under this root.
  std::string rooted(std::string_view absolute) const;
  // supportRoot/<prefix><suffix>.
  std::string inSupport(std::string_view prefix, std::string_view suffix) const;
  // The staging and removal folders of the process pid.
  std::string stagingFolder(pid_t pid) const;
  std::string removalFolder(pid_t pid) const;
  // Whether a name in the support folder is what a killed run was copying
  // or deleting.
  static bool IsLeftover(std::string_view name);
};
