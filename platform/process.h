// What a root tool does to its own process before anything else.
#pragma once

#include <spawn.h>

namespace vq::platform {

// A file-creation mask that never makes root's files writable by others, and
// descriptors 0 to 2 open (on /dev/null where the caller closed them), so
// that no file the tool opens becomes a child's standard output by accident.
void PrepareProcess();

// Called last on a child's spawn attributes and file actions: the child gets
// descriptors 0 to 2, and 3 when keepThree, as the actions left them, and
// nothing else of ours, whatever lacks close-on-exec. Adds to *flags what the
// system needs for that. False when the actions cannot be recorded.
// pipe(2) with both ends close-on-exec, in one call where the system has pipe2.
bool MakeCloseOnExecPipe(int fds[2]);

bool LimitSpawnedDescriptors(posix_spawn_file_actions_t* actions, short* flags, bool keepThree);

}  // namespace vq::platform
