// Runs a program as a child process with an empty environment, waits for it,
// logs the start of what it printed and judges its exit code.
#pragma once

#include "platform/logger.h"

// True when the child ran and its exit-code field (status bits 8 to 15) is 0.
// Exit code and output are logged at debug level. With newSession the child
// starts a session of its own before anything else.
[[nodiscard]] bool vq_execve(vq::Logger& logger, const char* path, char* const argv[],
                             bool newSession);

namespace vq {

struct ChildOptions {
  // The type of the exit-code and output messages.
  LogType resultType = LogType::kDebug;
  bool newSession = false;
  // A descriptor the child gets as its descriptor 3 (say, a held lock that
  // must last as long as the child works); -1: none. Nothing else of ours
  // beyond 0 to 2 reaches the child.
  int inheritedDescriptor = -1;
};

// The one implementation behind vq_execve and the installer's runner.
[[nodiscard]] bool RunChildProcess(Logger& logger, const char* path, char* const argv[],
                                   const ChildOptions& options);

}  // namespace vq
