#include "libutils-macOS/execve.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vq {
namespace {

constexpr size_t kOutputCapacity = 2048;

}  // namespace

bool RunChildProcess(Logger& logger, LogType resultType, const char* path, char* const argv[],
                     bool newSession) {
  // A missing pipe is tolerated: the child then writes to our own streams.
  int pipe_fds[2] = {-1, -1};
  const bool piped = pipe(pipe_fds) == 0;
  if (piped) {
    // Single-threaded, so nothing can fork between pipe() and these calls.
    fcntl(pipe_fds[0], F_SETFD, FD_CLOEXEC);
    fcntl(pipe_fds[1], F_SETFD, FD_CLOEXEC);
  }

  const pid_t pid = fork();
  if (pid < 0) {
    if (piped) {
      close(pipe_fds[0]);
      close(pipe_fds[1]);
    }
    VQ_LOG_ERROR(logger, "cannot fork new process");
    return false;
  }

  if (pid == 0) {
    char* const environment[] = {nullptr};
    if (newSession) setsid();
    if (piped) {
      close(pipe_fds[0]);
      dup2(pipe_fds[1], STDOUT_FILENO);
      dup2(pipe_fds[1], STDERR_FILENO);
    }
    ::execve(path, argv, environment);
    const int error = errno;
    VQ_LOG_ERROR(logger, "cannot execute process");
    _exit(error);
  }

  char output[kOutputCapacity];
  output[0] = '\0';
  if (piped) {
    close(pipe_fds[1]);
    // One read only: the first part of the answer is all the log gets, and its
    // last byte (normally the newline) is dropped.
    ssize_t n;
    do {
      n = read(pipe_fds[0], output, sizeof output);
    } while (n < 0 && errno == EINTR);
    if (n > 0) output[n - 1] = '\0';
    close(pipe_fds[0]);
  }

  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      VQ_LOG_ERROR(logger, "cannot determine status of process");
      return false;
    }
  }

  // Only the exit-code field counts: a child ended by a signal has 0 there.
  const int code = (status >> 8) & 0xff;
  if (code != 0) VQ_LOG(logger, resultType, "%{public}s exited with %d", path, code);
  if (output[0] != '\0') VQ_LOG(logger, resultType, "output: %{public}s", output);
  return code == 0;
}

}  // namespace vq

bool vq_execve(vq::Logger& logger, const char* path, char* const argv[], bool newSession) {
  return vq::RunChildProcess(logger, vq::LogType::kDebug, path, argv, newSession);
}
