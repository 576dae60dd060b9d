// The installation lock: an exclusive lock on a file that serialises every
// installer and uninstaller of the service on the machine.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "platform/scoped_fd.h"

namespace vq::platform {

// What taking the lock does while another process holds it.
enum class LockWait { kWait, kFail };

// Opens (creating with `mode`) the file at path, never through a final link,
// and takes an exclusive lock on it; while another process holds one, waits
// or fails with EWOULDBLOCK. The descriptor is close-on-exec. -1 with errno
// set on failure. One backend per system.
int OpenExclusivelyLocked(const char* path, mode_t mode, LockWait wait);

// Takes the lock and makes sure it is on the file that still stands at the
// path: a holder that deleted the file while we waited leaves a lock that
// serialises nothing, and the file now there (or a new one) is locked instead.
ScopedFd AcquireInstallLock(const std::string& path, mode_t mode, LockWait wait);

// Whether some process holds the lock on the file at path, asked without
// creating the file and without waiting; nothing when it cannot be told.
std::optional<bool> IsInstallLockHeld(const std::string& path);

// Deletes the lock file when no process holds the lock, and leaves it when
// one does: it is then someone's, who deletes it when done.
void RemoveLockFileIfFree(const std::string& path);

}  // namespace vq::platform
