#include "platform/fs_result.h"

#include <cstring>

namespace vq {

std::string FsError::description() const {
  std::string out = operation;
  if (!path.empty()) {
    out += ' ';
    out += path;
  }
  out += ": ";
  out += std::strerror(code);
  return out;
}

}  // namespace vq
