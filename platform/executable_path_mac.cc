#include <mach-o/dyld.h>
#include <stdlib.h>

#include <vector>

#include "platform/executable_path.h"
#include "platform/file_manager.h"

namespace vq::platform {

std::optional<std::string> MainExecutableDirectory() {
  uint32_t size = 0;
  _NSGetExecutablePath(nullptr, &size);
  std::vector<char> path(size + 1, '\0');
  if (_NSGetExecutablePath(path.data(), &size) != 0) return std::nullopt;
  char* resolved = realpath(path.data(), nullptr);
  if (resolved == nullptr) return std::nullopt;
  std::string directory = ParentPath(resolved);
  free(resolved);
  return directory;
}

}  // namespace vq::platform
