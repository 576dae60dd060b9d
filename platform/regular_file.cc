#include "platform/regular_file.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "platform/scoped_fd.h"

namespace vq {

namespace {

// Reads up to the size fstat gave, which the caller has checked.
std::optional<std::string> ReadUpTo(int fd, const struct stat& st) {
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

}  // namespace

std::optional<std::string> ReadRegularFile(int fd, size_t maxSize, struct stat* out) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0 ||
      static_cast<size_t>(st.st_size) > maxSize) {
    return std::nullopt;
  }
  if (out != nullptr) *out = st;
  return ReadUpTo(fd, st);
}

std::optional<std::string> ReadRegularFileAtPath(const std::string& path, size_t maxSize) {
  std::string data;
  if (!ReadRegularFileAt(path, maxSize, &data)) return std::nullopt;
  return data;
}

FsResult ReadRegularFileAt(const std::string& path, size_t maxSize, std::string* data) {
  ScopedFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  // A link at the path is not a regular file, whatever it points to.
  if (!fd.valid()) return FsResult::Fail("read", path, errno == ELOOP ? EINVAL : errno);
  struct stat st;
  if (fstat(fd.get(), &st) != 0) return FsResult::Fail("read", path, errno);
  if (!S_ISREG(st.st_mode)) return FsResult::Fail("read", path, EINVAL);
  if (st.st_size < 0 || static_cast<size_t>(st.st_size) > maxSize) {
    return FsResult::Fail("read", path, EFBIG);
  }
  errno = 0;
  std::optional<std::string> read = ReadUpTo(fd.get(), st);
  if (!read) return FsResult::Fail("read", path, errno != 0 ? errno : EIO);
  *data = std::move(*read);
  return FsResult::Ok();
}

}  // namespace vq
