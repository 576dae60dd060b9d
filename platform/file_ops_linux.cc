#include <errno.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include "platform/file_ops.h"

namespace vq::platform {
namespace {

// Errors that mean "not this way here", not "the copy failed".
bool Unsupported(int error) {
  return error == EXDEV || error == EOPNOTSUPP || error == ENOSYS || error == EINVAL ||
         error == ENOTTY || error == EBADF;
}

int CopyByReadWrite(int in, int out, off_t offset) {
  std::vector<char> buffer(256 * 1024);
  for (;;) {
    const ssize_t n = pread(in, buffer.data(), buffer.size(), offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return 0;
    for (ssize_t done = 0; done < n;) {
      const ssize_t w =
          pwrite(out, buffer.data() + done, static_cast<size_t>(n - done), offset + done);
      if (w < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      done += w;
    }
    offset += n;
  }
}

// File systems that refused a clone: asking again for every file of a tree
// would cost one failed call each. Copies run on several threads.
bool CloneRefused(dev_t device, bool refused) {
  static std::atomic<dev_t> known{0};
  static std::atomic<bool> knownRefused{false};
  if (refused) known = device, knownRefused = true;
  return knownRefused && known == device;
}

int CopyData(int in, int out, off_t size, dev_t device) {
  if (size == 0) return 0;
  if (!CloneRefused(device, false)) {
    if (ioctl(out, FICLONE, in) == 0) return 0;
    if (Unsupported(errno)) CloneRefused(device, true);
  }
  off_t done = 0;
  while (done < size) {
    loff_t inOffset = done, outOffset = done;
    const ssize_t n =
        copy_file_range(in, &inOffset, out, &outOffset, static_cast<size_t>(size - done), 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (!Unsupported(errno)) return errno;
      break;
    }
    // Zero before st_size: the file shrank or the call gave up; the plain
    // loop finishes what is left, to the file's real end.
    if (n == 0) break;
    done += n;
  }
  // The size fstat gave is where the copy ends: no read to find the end.
  return done == size ? 0 : CopyByReadWrite(in, out, done);
}

int CopyAttributes(int in, int out) {
  std::vector<char> names(4096);
  ssize_t length = flistxattr(in, names.data(), names.size());
  if (length < 0 && errno == ERANGE) {
    length = flistxattr(in, nullptr, 0);
    if (length > 0) {
      names.resize(static_cast<size_t>(length));
      length = flistxattr(in, names.data(), names.size());
    }
  }
  if (length < 0) return Unsupported(errno) ? 0 : errno;
  std::vector<char> value;
  for (ssize_t at = 0; at < length;) {
    const std::string name(names.data() + at);
    at += static_cast<ssize_t>(name.size()) + 1;
    const ssize_t size = fgetxattr(in, name.c_str(), nullptr, 0);
    if (size < 0) continue;
    value.resize(static_cast<size_t>(size) + 1);
    const ssize_t got = fgetxattr(in, name.c_str(), value.data(), value.size());
    if (got < 0) continue;
    if (fsetxattr(out, name.c_str(), value.data(), static_cast<size_t>(got), 0) != 0 &&
        !Unsupported(errno)) {
      return errno;
    }
  }
  return 0;
}

}  // namespace

// Linux clones the data of a file already opened (FICLONE, in CopyData).
int CloneFileAt(int, const struct stat&, int, const char*) { return ENOTSUP; }

int CopyFileContents(int in, int out, const struct stat& st) {
  // Keyed by the source's file system: a tree is copied between the same two.
  if (const int error = CopyData(in, out, st.st_size, st.st_dev)) return error;
  return CopyAttributes(in, out);
}

int FlushToStorage(int fd) { return fsync(fd) == 0 ? 0 : errno; }

}  // namespace vq::platform
