// What a piece of code writes to one of this process's descriptors, children
// it starts included (they inherit the descriptor).
#pragma once

#include <functional>
#include <string>

namespace vq::testing {

// Runs body with the descriptor (1 or 2) sent to a temporary file and answers
// the file's content. Standard I/O is flushed before and after.
std::string CapturedOutput(int fd, const std::function<void()>& body);

}  // namespace vq::testing
