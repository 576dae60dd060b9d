#include <limits.h>
#include <mach-o/dyld.h>
#include <stdlib.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/executable_path.h"
#include "platform/path.h"

namespace vq::platform {

std::optional<std::string> MainExecutableDirectory() {
  uint32_t size = PATH_MAX;
  std::vector<char> path(size, '\0');
  if (_NSGetExecutablePath(path.data(), &size) != 0) {
    // Too small: size now holds the length the path needs.
    path.assign(size, '\0');
    if (_NSGetExecutablePath(path.data(), &size) != 0) return std::nullopt;
  }
  // The path may pass through links or "..": the directory is the real one.
  std::unique_ptr<char, decltype(&free)> resolved(realpath(path.data(), nullptr), &free);
  if (!resolved) return std::nullopt;
  return ParentPath(resolved.get());
}

}  // namespace vq::platform
