#include "tests/support/capture_logger.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

namespace vq {

CaptureLogger::CaptureLogger() {
  char name[] = "/tmp/vq-capture-XXXXXX";
  fd_.reset(mkstemp(name));
  if (fd_.valid()) {
    unlink(name);
    fcntl(fd_.get(), F_SETFD, FD_CLOEXEC);
    fcntl(fd_.get(), F_SETFL, O_APPEND);
  }
}

void CaptureLogger::write(LogType type, std::string_view text) {
  // One write per record keeps records whole when a child writes too.
  std::string record;
  const auto length = static_cast<uint32_t>(text.size());
  record.push_back(static_cast<char>(type));
  record.append(reinterpret_cast<const char*>(&length), sizeof length);
  record.append(text);
  if (fd_.valid()) (void)!::write(fd_.get(), record.data(), record.size());
}

std::vector<LogRecord> CaptureLogger::records() const {
  std::vector<LogRecord> out;
  if (!fd_.valid()) return out;
  std::string all;
  char buffer[8192];
  off_t offset = 0;
  for (;;) {
    const ssize_t n = pread(fd_.get(), buffer, sizeof buffer, offset);
    if (n <= 0) break;
    all.append(buffer, static_cast<size_t>(n));
    offset += n;
  }
  size_t pos = 0;
  while (pos + 5 <= all.size()) {
    uint32_t length = 0;
    std::memcpy(&length, all.data() + pos + 1, sizeof length);
    if (pos + 5 + length > all.size()) break;
    out.push_back({static_cast<LogType>(all[pos]), all.substr(pos + 5, length)});
    pos += 5 + length;
  }
  return out;
}

std::vector<std::string> CaptureLogger::texts() const {
  std::vector<std::string> out;
  for (auto& record : records()) out.push_back(record.text);
  return out;
}

std::string CaptureLogger::dump() const {
  std::string out;
  for (auto& record : records()) {
    out += LogTypeName(record.type);
    out += ": ";
    out += record.text;
    out += '\n';
  }
  return out;
}

void CaptureLogger::clear() {
  if (fd_.valid()) (void)!ftruncate(fd_.get(), 0);
}

const char* LogTypeName(LogType type) {
  switch (type) {
    case LogType::kDefault:
      return "default";
    case LogType::kInfo:
      return "info";
    case LogType::kDebug:
      return "debug";
    case LogType::kError:
      return "error";
  }
  return "unknown";
}

}  // namespace vq
