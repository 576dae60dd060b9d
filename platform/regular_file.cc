#include "platform/regular_file.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "platform/scoped_fd.h"

namespace vq {

std::optional<std::string> ReadRegularFile(int fd, size_t maxSize, struct stat* out) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0 ||
      static_cast<size_t>(st.st_size) > maxSize) {
    return std::nullopt;
  }
  if (out != nullptr) *out = st;
  std::string data(static_cast<size_t>(st.st_size), '\0');
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = read(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  data.resize(done);
  return data;
}

std::optional<std::string> ReadRegularFileAtPath(const std::string& path, size_t maxSize) {
  ScopedFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd.valid()) return std::nullopt;
  return ReadRegularFile(fd.get(), maxSize);
}

}  // namespace vq
