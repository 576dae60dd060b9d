// Runs a program as a child process with an empty environment, waits for it,
// logs the start of what it printed and judges its exit code.
#pragma once

#include <string>

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

// What became of a child.
struct ChildOutcome {
  bool ran = false;    // it ran (or could not be executed: the error number is its exit code)
  int exitCode = 0;    // the exit-code field of its status (bits 8 to 15)
  int signal = 0;      // the signal that ended it; 0 when it exited
  std::string output;  // what it printed (its first 64 KiB); the log gets the first read

  // The runner's own rule: it ran and its exit-code field is 0, so a child
  // ended by a signal counts as a success here; callers that must know a
  // step was done look at `signal` too.
  bool succeeded() const { return ran && exitCode == 0; }
};

// The one implementation behind vq_execve and the installer's runner. The
// output is read to its end, so that a child is never ended by a closed pipe.
[[nodiscard]] ChildOutcome RunChild(Logger& logger, const char* path, char* const argv[],
                                    const ChildOptions& options);
[[nodiscard]] inline bool RunChildProcess(Logger& logger, const char* path, char* const argv[],
                                          const ChildOptions& options) {
  return RunChild(logger, path, argv, options).succeeded();
}

}  // namespace vq
