// A log handle that records every message for inspection. Records go to an
// unlinked temporary file opened for appending, so a forked child's messages
// (such as a failed exec) are captured as well.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/logger.h"
#include "platform/scoped_fd.h"

namespace vq {

struct LogRecord {
  LogType type;
  std::string text;

  bool operator==(const LogRecord&) const = default;
};

class CaptureLogger final : public Logger {
 public:
  CaptureLogger();

  bool isEnabled(LogType) const override { return true; }
  void write(LogType type, std::string_view text) override;

  std::vector<LogRecord> records() const;
  std::vector<std::string> texts() const;
  // Every record rendered as "<type>: <text>" lines, for failure output.
  std::string dump() const;
  void clear();

 private:
  ScopedFd fd_;
};

const char* LogTypeName(LogType type);

}  // namespace vq
