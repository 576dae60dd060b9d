#include <errno.h>
#include <fcntl.h>

#include "platform/install_lock.h"

namespace vq::platform {

// O_EXLOCK takes the same lock as flock(LOCK_EX) inside open() itself, waiting
// while another descriptor holds it. A signal during the wait ends it with EINTR.
int OpenExclusivelyLocked(const char* path, mode_t mode, LockWait wait) {
  const int flags = O_RDWR | O_CREAT | O_EXLOCK | O_NOFOLLOW | O_CLOEXEC |
                    (wait == LockWait::kWait ? 0 : O_NONBLOCK);
  for (;;) {
    const int fd = open(path, flags, mode);
    if (fd >= 0 || errno != EINTR) return fd;
  }
}

}  // namespace vq::platform
