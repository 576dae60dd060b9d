#include <limits.h>
#include <unistd.h>

#include "platform/executable_path.h"
#include "platform/path.h"

namespace vq::platform {

std::optional<std::string> MainExecutableDirectory() {
  char path[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof path) return std::nullopt;
  return ParentPath(std::string(path, static_cast<size_t>(n)));
}

}  // namespace vq::platform
