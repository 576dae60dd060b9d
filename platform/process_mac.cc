#include <fcntl.h>
#include <unistd.h>

#include "platform/process.h"

namespace vq::platform {

bool MakeCloseOnExecPipe(int fds[2]) {
  if (pipe(fds) != 0) return false;
  fcntl(fds[0], F_SETFD, FD_CLOEXEC);
  fcntl(fds[1], F_SETFD, FD_CLOEXEC);
  return true;
}

// With POSIX_SPAWN_CLOEXEC_DEFAULT only what the actions name survives.
bool LimitSpawnedDescriptors(posix_spawn_file_actions_t* actions, short* flags, bool keepThree) {
  *flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
  for (int fd = 0; fd <= (keepThree ? 3 : 2); ++fd) {
    if (posix_spawn_file_actions_addinherit_np(actions, fd) != 0) return false;
  }
  return true;
}

}  // namespace vq::platform
