// A log handle that keeps every message for inspection.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/logger.h"

namespace vq {

struct LogRecord {
  LogType type;
  std::string text;
  bool operator==(const LogRecord&) const = default;
};

class CaptureLogger final : public Logger {
 public:
  bool isEnabled(LogType) const override { return true; }
  void write(LogType type, std::string_view text) override {
    records_.push_back({type, std::string(text)});
  }
  const std::vector<LogRecord>& records() const { return records_; }
  // Every text, one per line, for failure messages.
  std::string dump() const {
    std::string out;
    for (const LogRecord& record : records_) out += record.text + "\n";
    return out;
  }

 private:
  std::vector<LogRecord> records_;
};

}  // namespace vq
