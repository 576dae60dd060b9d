// Log handle of one run: the unified log on macOS, syslog elsewhere, a capture
// sink in tests. Messages use os_log formats; "%{public}s" and "%{private}s"
// render as plain "%s" outside macOS.
#pragma once

#include <memory>
#include <string_view>

namespace vq {

class FsResult;

// Message types; the values are those of os_log_type_t.
enum class LogType : unsigned char { kDefault = 0, kInfo = 1, kDebug = 2, kError = 16 };

inline constexpr char kLogSubsystem[] = "com.quendalore.ks2";

class Logger {
 public:
  virtual ~Logger() = default;

  virtual bool isEnabled(LogType type) const = 0;
  // Writes one message that is already rendered.
  virtual void write(LogType type, std::string_view text) = 0;
  // The os_log_t behind this handle on macOS; null for every other backend.
  virtual void* nativeHandle() const { return nullptr; }
};

// Renders an os_log-style format with printf semantics and writes it when the
// type is enabled. Safe to call in a forked child.
void LogFormatted(Logger& logger, LogType type, const char* format, ...);

// A failure the run reports: the message exactly as documented at its type,
// then, on a line of its own at error level, why (the operation, the path and
// the system's error text, in the clear).
void LogWithCause(Logger& logger, LogType type, const char* message, const FsResult& cause);
// A failure the run goes on after: its cause at debug level, "..., ignoring".
// Nothing for success, or when nothing was there to remove (ENOENT).
void LogIgnored(Logger& logger, const FsResult& result);

// The run's handle for subsystem "com.quendalore.ks2" and the given category.
// Falls back to the system's default handle; never null.
std::unique_ptr<Logger> CreateSystemLogger(const char* category);

}  // namespace vq

#if defined(__APPLE__)
#include <os/log.h>
// On macOS the format goes to os_log itself so that its privacy markers hold.
#define VQ_LOG(logger, type, fmt, ...)                                            \
  do {                                                                            \
    ::vq::Logger& vq_logger_ = (logger);                                          \
    if (os_log_t vq_handle_ = static_cast<os_log_t>(vq_logger_.nativeHandle())) { \
      os_log_with_type(vq_handle_, static_cast<os_log_type_t>(type),              \
                       fmt __VA_OPT__(, ) __VA_ARGS__);                           \
    } else {                                                                      \
      ::vq::LogFormatted(vq_logger_, (type), fmt __VA_OPT__(, ) __VA_ARGS__);     \
    }                                                                             \
  } while (0)
#else
#define VQ_LOG(logger, type, fmt, ...) \
  ::vq::LogFormatted((logger), (type), fmt __VA_OPT__(, ) __VA_ARGS__)
#endif

#define VQ_LOG_DEFAULT(logger, ...) VQ_LOG(logger, ::vq::LogType::kDefault, __VA_ARGS__)
#define VQ_LOG_INFO(logger, ...) VQ_LOG(logger, ::vq::LogType::kInfo, __VA_ARGS__)
#define VQ_LOG_DEBUG(logger, ...) VQ_LOG(logger, ::vq::LogType::kDebug, __VA_ARGS__)
#define VQ_LOG_ERROR(logger, ...) VQ_LOG(logger, ::vq::LogType::kError, __VA_ARGS__)
