// Reads a small regular file whole from an open descriptor.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <optional>
#include <string>

#include "platform/fs_result.h"

namespace vq {

// Nothing when the descriptor is not a regular file or is larger than
// maxSize bytes; st, when given, receives what fstat said.
std::optional<std::string> ReadRegularFile(int fd, size_t maxSize, struct stat* st = nullptr);
// The same by path, never through a final link, never waiting on a FIFO.
std::optional<std::string> ReadRegularFileAtPath(const std::string& path, size_t maxSize);
// The same, saying why it failed: ENOENT when nothing is there, EINVAL when
// it is not a regular file, EFBIG when it is larger than maxSize, otherwise
// the system's error (the file is there but could not be read).
FsResult ReadRegularFileAt(const std::string& path, size_t maxSize, std::string* data);

}  // namespace vq
