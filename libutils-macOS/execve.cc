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
// What a caller may read of a child's answer (launchctl print runs to a few KiB).
constexpr size_t kKeptOutput = 64 * 1024;

}  // namespace

ChildOutcome RunChild(Logger& logger, const char* path, char* const argv[],
                      const ChildOptions& options) {
  ChildOutcome outcome;
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
    return outcome;
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
      return outcome;
    }
    // The exec itself failed: reported as a child that could not execute the
    // program and ended with the error number as its exit code.
    VQ_LOG_ERROR(logger, "cannot execute process");
    VQ_LOG(logger, options.resultType, "%{public}s exited with %d", path, spawned & 0xff);
    outcome.ran = true;
    outcome.exitCode = spawned & 0xff;
    return outcome;
  }
  writeEnd.reset();

  char output[kOutputCapacity];
  output[0] = '\0';
  if (readEnd.valid()) {
    // The first read is all the log gets, and its last byte (normally the
    // newline) is dropped. The rest is read and dropped until the child
    // closes its end: closing ours early would end a child that writes
    // more with SIGPIPE, half-way through its work.
    ssize_t n;
    do {
      n = read(readEnd.get(), output, sizeof output);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
      outcome.output.assign(output, static_cast<size_t>(n));
      output[n - 1] = '\0';
    }
    char rest[kOutputCapacity];
    while (n != 0) {
      n = read(readEnd.get(), rest, sizeof rest);
      if (n < 0 && errno != EINTR) break;
      if (n > 0 && outcome.output.size() < kKeptOutput) {
        outcome.output.append(rest, static_cast<size_t>(n));
      }
    }
    readEnd.reset();
  }

  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      VQ_LOG_ERROR(logger, "cannot determine status of process");
      return outcome;
    }
  }

  outcome.ran = true;
  outcome.exitCode = (status >> 8) & 0xff;
  outcome.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  const int code = outcome.exitCode;
  if (code != 0) VQ_LOG(logger, options.resultType, "%{public}s exited with %d", path, code);
  if (output[0] != '\0') VQ_LOG(logger, options.resultType, "output: %{public}s", output);
  return outcome;
}

}  // namespace vq

bool vq_execve(vq::Logger& logger, const char* path, char* const argv[], bool newSession) {
  vq::ChildOptions options;
  options.newSession = newSession;
  return vq::RunChildProcess(logger, path, argv, options);
}
