#include <fcntl.h>

#include "platform/install_lock.h"

namespace vq::platform {

// O_EXLOCK takes the lock in the open call itself (flags 0x222 with O_RDWR and O_CREAT).
int OpenExclusivelyLocked(const char* path, mode_t mode) {
  return open(path, O_RDWR | O_CREAT | O_EXLOCK | O_CLOEXEC, mode);
}

}  // namespace vq::platform
