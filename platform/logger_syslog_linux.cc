// syslog(3) backend: one identity per process, the category in front of every
// message so that one subsystem's categories stay apart.
#include <syslog.h>

#include <string>

#include "platform/logger.h"

namespace vq {
namespace {

int Priority(LogType type) {
  switch (type) {
    case LogType::kError:
      return LOG_ERR;
    case LogType::kInfo:
      return LOG_INFO;
    case LogType::kDebug:
      return LOG_DEBUG;
    case LogType::kDefault:
      break;
  }
  return LOG_NOTICE;
}

class SyslogLogger final : public Logger {
 public:
  explicit SyslogLogger(const char* category) : category_(category) {
    openlog(kLogSubsystem, LOG_PID, LOG_DAEMON);
  }
  ~SyslogLogger() override { closelog(); }

  bool isEnabled(LogType) const override { return true; }

  void write(LogType type, std::string_view text) override {
    syslog(Priority(type), "[%s] %.*s", category_.c_str(), static_cast<int>(text.size()),
           text.data());
  }

 private:
  std::string category_;
};

}  // namespace

std::unique_ptr<Logger> CreateSystemLogger(const char* category) {
  return std::make_unique<SyslogLogger>(category);
}

}  // namespace vq
