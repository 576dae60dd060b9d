// A log handle that formats every message and drops it: the cost of building
// messages is measured, not that of a system log daemon.
#pragma once

#include <string_view>

#include "platform/logger.h"

namespace vq::bench {

class DiscardingLogger final : public Logger {
 public:
  bool isEnabled(LogType) const override { return true; }
  void write(LogType, std::string_view) override {}
};

}  // namespace vq::bench
