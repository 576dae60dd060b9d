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

struct CaptureLogger final : public Logger {
  bool isEnabled(LogType) const override { return true; }
  void write(LogType type, std::string_view text) override {
    records.push_back({type, std::string(text)});
  }
  // Every text, one per line, for failure messages.
  std::string dump() const {
    std::string out;
    for (const LogRecord& record : records) out += record.text + "\n";
    return out;
  }

  std::vector<LogRecord> records;
};

}  // namespace vq
