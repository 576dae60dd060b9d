// Where the running executable lies: for a tool outside any bundle this is its
// "main bundle path", the directory that holds it, with links resolved.
#pragma once

#include <optional>
#include <string>

namespace vq::platform {

std::optional<std::string> MainExecutableDirectory();

}  // namespace vq::platform
