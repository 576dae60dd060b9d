#include "platform/install_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vq::platform {
namespace {

bool DescriptorNamesPath(int fd, const std::string& path) {
  struct stat held, current;
  if (fstat(fd, &held) != 0 || held.st_nlink == 0) return false;
  if (lstat(path.c_str(), &current) != 0) return false;
  return held.st_dev == current.st_dev && held.st_ino == current.st_ino;
}

}  // namespace

ScopedFd AcquireInstallLock(const std::string& path, mode_t mode, LockWait wait) {
  for (;;) {
    ScopedFd fd(OpenExclusivelyLocked(path.c_str(), mode, wait));
    if (!fd.valid() || DescriptorNamesPath(fd.get(), path)) return fd;
  }
}

std::optional<bool> IsInstallLockHeld(const std::string& path) {
  ScopedFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) {
    if (errno == ENOENT) return false;
    return std::nullopt;
  }
  // The same lock as the installers' (O_EXLOCK is flock's on macOS), taken
  // and let go at once when it is free.
  if (flock(fd.get(), LOCK_EX | LOCK_NB) == 0) return false;
  if (errno == EWOULDBLOCK) return true;
  return std::nullopt;
}

void RemoveLockFileIfFree(const std::string& path) {
  ScopedFd fd(OpenExclusivelyLocked(path.c_str(), 0600, LockWait::kFail));
  // Deleted while locked, so that nobody who opened it meanwhile holds it.
  if (fd.valid() && DescriptorNamesPath(fd.get(), path)) (void)unlink(path.c_str());
}

}  // namespace vq::platform
