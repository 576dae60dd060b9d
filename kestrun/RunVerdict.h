// The line that ends every install and uninstall run: what it did and in
// which state it left the Mac, at default level when it succeeded and at
// error level when it failed (both levels stay on disk without a logging
// profile). Runs that hold the lock also keep it, with the time and the
// command, in ks2.last-run.plist beside the set, for `kestrun status`.
#pragma once

#include <string>

#include "kestrun/InstallPaths.h"
#include "platform/logger.h"

class VQRunVerdict {
 public:
  VQRunVerdict(const VQInstallPaths& paths, vq::Logger& logger, std::string command);

  // What the run does, as the verdict names it ("update from version 7 to
  // version 8"); the procedure sets it once it knows.
  void setAction(std::string action) { action_ = std::move(action); }
  // Whether the verdict is kept for status (only runs that hold the lock).
  void setRecorded(bool recorded) { recorded_ = recorded; }

  // Ends the run: logs the verdict and keeps it; answers the exit status.
  // The state is read from the files, unless the caller names it.
  int succeeded(const std::string& state = "");
  int failed(const std::string& cause);

  // The file the verdicts are kept in.
  static std::string RecordPath(const VQInstallPaths& paths);

 private:
  int finish(bool success, const std::string& line);

  const VQInstallPaths& paths_;
  vq::Logger& logger_;
  std::string command_;
  std::string action_;
  bool recorded_ = false;
};
