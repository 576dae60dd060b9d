#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include "platform/process.h"

namespace vq::platform {
namespace {

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

// With POSIX_SPAWN_CLOEXEC_DEFAULT only what the actions name survives.
bool Prepare(SpawnSetup& setup, const SpawnRequest& request) {
  short flags = POSIX_SPAWN_CLOEXEC_DEFAULT;
  if (request.newSession) flags |= POSIX_SPAWN_SETSID;
  if (request.output >= 0 &&
      (posix_spawn_file_actions_adddup2(&setup.actions, request.output, STDOUT_FILENO) != 0 ||
       posix_spawn_file_actions_adddup2(&setup.actions, request.output, STDERR_FILENO) != 0)) {
    return false;
  }
  const bool inherit = request.inherited >= 0;
  if (inherit && posix_spawn_file_actions_adddup2(&setup.actions, request.inherited,
                                                  kInheritedDescriptor) != 0) {
    return false;
  }
  for (int fd = 0; fd <= (inherit ? kInheritedDescriptor : STDERR_FILENO); ++fd) {
    if (posix_spawn_file_actions_addinherit_np(&setup.actions, fd) != 0) return false;
  }
  return posix_spawnattr_setflags(&setup.attributes, flags) == 0;
}

}  // namespace

bool MakeCloseOnExecPipe(int fds[2]) {
  if (pipe(fds) != 0) return false;
  fcntl(fds[0], F_SETFD, FD_CLOEXEC);
  fcntl(fds[1], F_SETFD, FD_CLOEXEC);
  return true;
}

int SpawnProcess(const char* path, char* const argv[], const SpawnRequest& request, pid_t* pid) {
  SpawnSetup setup;
  if (!setup.ready || !Prepare(setup, request)) return ENOMEM;
  char* const environment[] = {nullptr};
  return posix_spawn(pid, path, &setup.actions, &setup.attributes, argv, environment);
}

}  // namespace vq::platform
