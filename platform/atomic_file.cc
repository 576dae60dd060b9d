#include "platform/atomic_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/file_ops.h"
#include "platform/path.h"
#include "platform/scoped_fd.h"

namespace vq {
namespace {

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// A name no other writer uses: mkostemp works on paths only.
ScopedFd CreateTemporary(int dir, const std::string& name, std::string* temp) {
  static unsigned counter = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    *temp = "." + name + "." + std::to_string(getpid()) + "." + std::to_string(++counter);
    ScopedFd fd(
        openat(dir, temp->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.valid() || errno != EEXIST) return fd;
  }
  return ScopedFd();
}

}  // namespace

FsResult WriteFileAtomicallyAt(int dir, const std::string& name, std::string_view data,
                               const AtomicWriteOptions& options, const std::string& path) {
  std::string temp;
  ScopedFd fd = CreateTemporary(dir, name, &temp);
  if (!fd.valid()) return FsResult::Fail("create temporary file for", path, errno);

  auto fail = [&](int code) {
    unlinkat(dir, temp.c_str(), 0);
    return FsResult::Fail("write", path, code);
  };
  if (!WriteAll(fd.get(), data)) return fail(errno);
  if (options.owner || options.group) {
    const uid_t owner = options.owner ? *options.owner : static_cast<uid_t>(-1);
    const gid_t group = options.group ? *options.group : static_cast<gid_t>(-1);
    if (fchown(fd.get(), owner, group) != 0) return fail(errno);
  }
  if (fchmod(fd.get(), options.permissions) != 0) return fail(errno);
  if (options.durable) {
    if (const int error = platform::FlushToStorage(fd.get())) return fail(error);
  }
  fd.reset();
  if (renameat(dir, temp.c_str(), dir, name.c_str()) != 0) return fail(errno);
  if (options.durable) (void)platform::FlushToStorage(dir);
  return FsResult::Ok();
}

FsResult WriteFileAtomically(const std::string& path, std::string_view data,
                             const AtomicWriteOptions& options) {
  std::string directory = ParentPath(path);
  if (directory.empty()) directory = ".";
  ScopedFd dir(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir.valid()) return FsResult::Fail("create temporary file for", path, errno);
  return WriteFileAtomicallyAt(dir.get(), LastPathComponent(path), data, options, path);
}

FsResult RemoveFileDurably(const std::string& path) {
  if (unlink(path.c_str()) != 0) return FsResult::Fail("remove", path, errno);
  std::string directory = ParentPath(path);
  ScopedFd dir(
      open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.valid()) (void)platform::FlushToStorage(dir.get());
  return FsResult::Ok();
}

}  // namespace vq
