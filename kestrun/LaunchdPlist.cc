#include "kestrun/LaunchdPlist.h"

#include <errno.h>
#include <unistd.h>

#include "platform/path.h"

namespace {

vq::FsResult CopyIntoPlace(vq::Logger& logger, vq::FileManager& fm, const std::string& source,
                           const std::string& destination) {
  // Not a name launchd reads: it loads only names that end in ".plist".
  const std::string temporary = vq::ParentPath(destination) + "/." +
                                vq::LastPathComponent(destination) + "." + std::to_string(getpid());
  vq::LogIgnored(logger, fm.removeItem(temporary));
  vq::FsResult copied = fm.copyRegularFile(source, temporary);
  if (copied) copied = fm.renameItem(temporary, destination);
  if (!copied && copied.error().code == EISDIR) {
    // A folder where the list belongs is no list: it goes.
    vq::LogIgnored(logger, fm.removeItem(destination));
    copied = fm.renameItem(temporary, destination);
  }
  if (!copied) vq::LogIgnored(logger, fm.removeItem(temporary));
  return copied;
}

}  // namespace

vq::FsResult InstallLaunchdPlist(vq::Logger& logger, vq::FileManager& fm, const std::string& source,
                                 const std::string& destination) {
  vq::FsResult installed = CopyIntoPlace(logger, fm, source, destination);
  if (!installed) {
    VQ_LOG_ERROR(logger, "cannot install launchd plist file: %{public}s",
                 installed.description().c_str());
  }
  return installed;
}
