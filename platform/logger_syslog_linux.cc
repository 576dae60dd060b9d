// syslog(3) backend: one identity per process, the category in front of every
// message so that one subsystem's categories stay apart.
#include <syslog.h>
#include <unistd.h>

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
  // The pid is part of the identity, written once: with LOG_PID the C
  // library asks the kernel for it on every message.
  explicit SyslogLogger(const char* category)
      : category_(category),
        ident_(std::string(kLogSubsystem) + "[" + std::to_string(getpid()) + "]") {
    openlog(ident_.c_str(), 0, LOG_DAEMON);
  }
  ~SyslogLogger() override { closelog(); }

  bool isEnabled(LogType) const override { return true; }

  void write(LogType type, std::string_view text) override {
    syslog(Priority(type), "[%s] %.*s", category_.c_str(), static_cast<int>(text.size()),
           text.data());
  }

 private:
  std::string category_;
  std::string ident_;
};

}  // namespace

std::unique_ptr<Logger> CreateSystemLogger(const char* category) {
  return std::make_unique<SyslogLogger>(category);
}

}  // namespace vq
