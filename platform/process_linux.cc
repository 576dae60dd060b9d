#include <fcntl.h>
#include <unistd.h>

#include "platform/process.h"

namespace vq::platform {

bool MakeCloseOnExecPipe(int fds[2]) { return pipe2(fds, O_CLOEXEC) == 0; }

bool LimitSpawnedDescriptors(posix_spawn_file_actions_t* actions, short*, bool keepThree) {
  return posix_spawn_file_actions_addclosefrom_np(actions, keepThree ? 4 : 3) == 0;
}

}  // namespace vq::platform
