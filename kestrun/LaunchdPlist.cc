#include "kestrun/LaunchdPlist.h"

bool InstallLaunchdPlist(vq::Logger& logger, vq::FileManager& fm, const std::string& source,
                         const std::string& destination) {
  vq::LogIgnored(logger, fm.removeItem(destination));
  vq::FsResult copied = fm.copyRegularFile(source, destination);
  if (!copied) {
    VQ_LOG_ERROR(logger, "cannot install launchd plist file: %s", copied.description().c_str());
    return false;
  }
  return true;
}
