#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/process.h"

namespace vq::platform {
namespace {

// What the child closes when close_range is missing (kernels before 5.9).
int DescriptorLimit() {
  static const int limit = [] {
    rlimit rl{};
    return getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY && rl.rlim_cur < 65536
               ? static_cast<int>(rl.rlim_cur)
               : 65536;
  }();
  return limit;
}

}  // namespace

bool MakeCloseOnExecPipe(int fds[2]) { return pipe2(fds, O_CLOEXEC) == 0; }

// vfork rather than posix_spawn: glibc's posix_spawn maps and unmaps a stack
// for every child and checks each file action against the descriptor limit,
// which costs the parent a quarter more than the child's start itself. The
// child only duplicates, closes and executes, on our memory, with every signal
// held until just before exec (the tool installs no signal handlers, so none
// can run there meanwhile).
int SpawnProcess(const char* path, char* const argv[], const SpawnRequest& request, pid_t* pid) {
  char* const environment[] = {nullptr};
  const int limit = DescriptorLimit();
  sigset_t all, saved;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &saved);
  // Written by the child, which shares our memory until it executes.
  volatile int childError = 0;
  const pid_t child = vfork();
  if (child == 0) {
    const int keep = request.inherited >= 0 ? kInheritedDescriptor : STDERR_FILENO;
    if ((request.output >= 0 && (dup2(request.output, 1) < 0 || dup2(request.output, 2) < 0)) ||
        (request.inherited >= 0 && dup2(request.inherited, kInheritedDescriptor) < 0) ||
        (request.newSession && setsid() < 0)) {
      childError = errno;
      _exit(127);
    }
    if (close_range(keep + 1, ~0U, 0) != 0) {
      for (int fd = keep + 1; fd < limit; ++fd) close(fd);
    }
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    execve(path, argv, environment);
    childError = errno;
    _exit(127);
  }
  const int forkError = errno;
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  if (child < 0) return forkError;
  if (childError != 0) {
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
    return childError;
  }
  *pid = child;
  return 0;
}

}  // namespace vq::platform
