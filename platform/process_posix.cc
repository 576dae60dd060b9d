#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

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

int RunInNewSession(const std::function<int()>& work) {
  // Buffered output would otherwise be written twice, once by each process.
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    (void)setsid();
    const int status = work();
    std::fflush(nullptr);
    _exit(status);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace vq::platform
