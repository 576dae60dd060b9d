// What a root tool does to its own process, and how it starts children.
#pragma once

#include <sys/types.h>

#include <functional>

namespace vq::platform {

// A file-creation mask that never makes root's files writable by others, and
// descriptors 0 to 2 open (on /dev/null where the caller closed them), so
// that no file the tool opens becomes a child's standard output by accident.
void PrepareProcess();

// Runs work in a forked child that starts a session of its own, and waits
// for it: the child is not in this process's group, so it finishes even when
// launchd stops this process (and its group) meanwhile. The answer is the
// child's exit status, or -1 when no child could be made or waited for. Only
// for a process with no other threads.
int RunInNewSession(const std::function<int()>& work);

// pipe(2) with both ends close-on-exec, in one call where the system has pipe2.
bool MakeCloseOnExecPipe(int fds[2]);

// The number a child gets the inherited descriptor under.
inline constexpr int kInheritedDescriptor = 3;

struct SpawnRequest {
  int output = -1;     // becomes descriptors 1 and 2; -1: they stay ours
  int inherited = -1;  // becomes kInheritedDescriptor (any number above it); -1: none
  bool newSession = false;
};

// Starts the program at path with argv and an empty environment. The child
// gets descriptors 0 to 2 (and 3) as the request says and nothing else of
// ours, whatever lacks close-on-exec. 0 with *pid set; otherwise an errno
// value: EAGAIN or ENOMEM when no process could be made, any other when the
// program could not be executed (and no child is left).
int SpawnProcess(const char* path, char* const argv[], const SpawnRequest& request, pid_t* pid);

}  // namespace vq::platform
