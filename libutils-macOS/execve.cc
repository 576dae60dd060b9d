#include "libutils-macOS/execve.h"

#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <tuple>

#include "platform/process.h"
#include "platform/scoped_fd.h"

namespace vq {
namespace {

constexpr size_t kOutputCapacity = 2048;
constexpr int kInheritedNumber = 3;

// posix_spawn's attribute and file-action objects, released on every path.
struct SpawnSetup {
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_t actions;
  bool ready = false;
  SpawnSetup() {
    if (posix_spawnattr_init(&attributes) != 0) return;
    if (posix_spawn_file_actions_init(&actions) != 0) {
      posix_spawnattr_destroy(&attributes);
      return;
    }
    ready = true;
  }
  ~SpawnSetup() {
    if (!ready) return;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
};

bool Prepare(SpawnSetup& setup, const ChildOptions& options, int pipeWrite) {
  short flags = 0;
  if (options.newSession) flags |= POSIX_SPAWN_SETSID;
  if (pipeWrite >= 0 &&
      (posix_spawn_file_actions_adddup2(&setup.actions, pipeWrite, STDOUT_FILENO) != 0 ||
       posix_spawn_file_actions_adddup2(&setup.actions, pipeWrite, STDERR_FILENO) != 0)) {
    return false;
  }
  const bool inherit = options.inheritedDescriptor >= 0;
  if (inherit && posix_spawn_file_actions_adddup2(&setup.actions, options.inheritedDescriptor,
                                                  kInheritedNumber) != 0) {
    return false;
  }
  return platform::LimitSpawnedDescriptors(&setup.actions, &flags, inherit) &&
         posix_spawnattr_setflags(&setup.attributes, flags) == 0;
}

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
  ChildOptions spawnOptions = options;
  if (options.inheritedDescriptor >= 0) {
    inherited.reset(fcntl(options.inheritedDescriptor, F_DUPFD_CLOEXEC, kInheritedNumber + 1));
    spawnOptions.inheritedDescriptor = inherited.get();
  }
  // The actions name descriptor numbers only, which repeat from call to call:
  // the last setup is kept, since recording each action costs a system call.
  static std::unique_ptr<SpawnSetup> cached;
  static std::tuple<int, int, bool> cachedFor{-2, -2, false};
  const std::tuple<int, int, bool> key{writeEnd.get(), spawnOptions.inheritedDescriptor,
                                       spawnOptions.newSession};
  if (!cached || cachedFor != key) {
    cached = std::make_unique<SpawnSetup>();
    cachedFor = key;
    if (!cached->ready || !Prepare(*cached, spawnOptions, writeEnd.get())) cached.reset();
  }
  SpawnSetup* setup = cached.get();
  if (setup == nullptr || (options.inheritedDescriptor >= 0 && !inherited.valid())) {
    VQ_LOG_ERROR(logger, "cannot fork new process");
    return false;
  }
  char* const environment[] = {nullptr};
  pid_t pid = -1;
  const int spawned =
      posix_spawn(&pid, path, &setup->actions, &setup->attributes, argv, environment);
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
