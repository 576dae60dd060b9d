// Opens a file for reading and writing, creating it when missing, and takes an
// exclusive lock on it, waiting while another process holds one.
#pragma once

#include <sys/types.h>

namespace vq::platform {

// The locked descriptor (close-on-exec), or -1 with errno set.
int OpenExclusivelyLocked(const char* path, mode_t mode);

}  // namespace vq::platform
