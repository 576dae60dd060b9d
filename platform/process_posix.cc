#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/process.h"

namespace vq::platform {

void PrepareProcess() {
  umask(022);
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1) continue;
    const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    // open() takes the lowest free number, which is this one.
    if (opened > 2) close(opened);
  }
}

}  // namespace vq::platform
