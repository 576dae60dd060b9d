#include "libutils-macOS/execve.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/process.h"
#include "platform/scoped_fd.h"

namespace vq {
namespace {

constexpr size_t kOutputCapacity = 2048;

}  // namespace

bool RunChildProcess(Logger& logger, const char* path, char* const argv[],
                     const ChildOptions& options) {
  // A missing pipe is tolerated: the child then writes to our own streams.
  int pipe_fds[2] = {-1, -1};
  ScopedFd readEnd, writeEnd;
  if (platform::MakeCloseOnExecPipe(pipe_fds)) {
    readEnd.reset(pipe_fds[0]);
    writeEnd.reset(pipe_fds[1]);
  }

  // A copy above 3, so that placing it at 3 is a real duplication (which
  // clears close-on-exec) even when the original is descriptor 3 itself.
  ScopedFd inherited;
  if (options.inheritedDescriptor >= 0) {
    inherited.reset(
        fcntl(options.inheritedDescriptor, F_DUPFD_CLOEXEC, platform::kInheritedDescriptor + 1));
  }
  if (options.inheritedDescriptor >= 0 && !inherited.valid()) {
    VQ_LOG_ERROR(logger, "cannot fork new process");
    return false;
  }
  platform::SpawnRequest request;
  request.output = writeEnd.get();
  request.inherited = inherited.get();
  request.newSession = options.newSession;
  pid_t pid = -1;
  const int spawned = platform::SpawnProcess(path, argv, request, &pid);
  if (spawned != 0) {
    if (spawned == EAGAIN || spawned == ENOMEM) {
      VQ_LOG_ERROR(logger, "cannot fork new process");
      return false;
    }
    // The exec itself failed: reported as a child that could not execute the
    // program and ended with the error number as its exit code.
    VQ_LOG_ERROR(logger, "cannot execute process");
    VQ_LOG(logger, options.resultType, "%{public}s exited with %d", path, spawned & 0xff);
    return false;
  }
  writeEnd.reset();

  char output[kOutputCapacity];
  output[0] = '\0';
  if (readEnd.valid()) {
    // One read only: the first part of the answer is all the log gets, and its
    // last byte (normally the newline) is dropped.
    ssize_t n;
    do {
      n = read(readEnd.get(), output, sizeof output);
    } while (n < 0 && errno == EINTR);
    if (n > 0) output[n - 1] = '\0';
    readEnd.reset();
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
  if (code != 0) VQ_LOG(logger, options.resultType, "%{public}s exited with %d", path, code);
  if (output[0] != '\0') VQ_LOG(logger, options.resultType, "output: %{public}s", output);
  return code == 0;
}

}  // namespace vq

bool vq_execve(vq::Logger& logger, const char* path, char* const argv[], bool newSession) {
  vq::ChildOptions options;
  options.newSession = newSession;
  return vq::RunChildProcess(logger, path, argv, options);
}
