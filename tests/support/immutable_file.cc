#include "tests/support/immutable_file.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace vq::testing {

ScopedImmutable::ScopedImmutable(std::string path) : path_(std::move(path)) {
  applied_ = set(true);
}

ScopedImmutable::~ScopedImmutable() {
  if (applied_) set(false);
}

bool ScopedImmutable::set(bool immutable) {
  const int fd = open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  int flags = 0;
  bool ok = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  if (ok) {
    flags = immutable ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    ok = ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  }
  close(fd);
  return ok;
}

}  // namespace vq::testing
