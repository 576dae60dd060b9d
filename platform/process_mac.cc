#include "platform/process.h"

namespace vq::platform {

// With POSIX_SPAWN_CLOEXEC_DEFAULT only what the actions name survives.
bool LimitSpawnedDescriptors(posix_spawn_file_actions_t* actions, short* flags, bool keepThree) {
  *flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
  for (int fd = 0; fd <= (keepThree ? 3 : 2); ++fd) {
    if (posix_spawn_file_actions_addinherit_np(actions, fd) != 0) return false;
  }
  return true;
}

}  // namespace vq::platform
