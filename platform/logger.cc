#include "platform/logger.h"

#include <errno.h>

#include <cstdarg>
#include <cstdio>
#include <string>

#include "platform/fs_result.h"

namespace vq {
namespace {

// Drops the os_log privacy and type annotations ("{public}", "{private}", ...)
// that follow a '%', leaving a plain printf format.
std::string PlainFormat(const char* format) {
  std::string out;
  for (const char* p = format; *p != '\0'; ++p) {
    out.push_back(*p);
    if (*p != '%') continue;
    if (p[1] == '%') {
      out.push_back(*++p);
    } else if (p[1] == '{') {
      const char* close = p + 2;
      while (*close != '\0' && *close != '}') ++close;
      if (*close == '}') p = close;
    }
  }
  return out;
}

}  // namespace

void LogFormatted(Logger& logger, LogType type, const char* format, ...) {
  if (!logger.isEnabled(type)) return;
  const std::string plain = PlainFormat(format);
  char small[1024];
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  // The format is os_log's, checked by the compiler on macOS only.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  const int needed = std::vsnprintf(small, sizeof small, plain.c_str(), args);
  va_end(args);
  if (needed < 0) {
    va_end(again);
    return;
  }
  if (static_cast<size_t>(needed) < sizeof small) {
    va_end(again);
    logger.write(type, std::string_view(small, static_cast<size_t>(needed)));
    return;
  }
  std::string large(static_cast<size_t>(needed) + 1, '\0');
  std::vsnprintf(large.data(), large.size(), plain.c_str(), again);
#pragma GCC diagnostic pop
  va_end(again);
  large.resize(static_cast<size_t>(needed));
  logger.write(type, large);
}

void LogWithCause(Logger& logger, LogType type, const char* message, const FsResult& cause) {
  VQ_LOG(logger, type, "%{public}s", message);
  if (!cause) VQ_LOG_ERROR(logger, "%{public}s", cause.description().c_str());
}

void LogIgnored(Logger& logger, const FsResult& result) {
  if (result || result.error().code == ENOENT) return;
  VQ_LOG_DEBUG(logger, "%{public}s, ignoring", result.description().c_str());
}

}  // namespace vq
