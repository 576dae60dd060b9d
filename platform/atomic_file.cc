#include "platform/atomic_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/file_manager.h"
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

}  // namespace

FsResult WriteFileAtomically(const std::string& path, std::string_view data,
                             const AtomicWriteOptions& options) {
  std::string directory = ParentPath(path);
  if (directory.empty()) directory = ".";
  std::string temp = directory + "/." + LastPathComponent(path) + ".XXXXXX";
  ScopedFd fd(mkostemp(temp.data(), O_CLOEXEC));
  if (!fd.valid()) return FsResult::Fail("create temporary file for", path, errno);

  auto fail = [&](int code) {
    unlink(temp.c_str());
    return FsResult::Fail("write", path, code);
  };
  if (!WriteAll(fd.get(), data)) return fail(errno);
  if (fchmod(fd.get(), options.permissions) != 0) return fail(errno);
  if (options.owner || options.group) {
    const uid_t owner = options.owner ? *options.owner : static_cast<uid_t>(-1);
    const gid_t group = options.group ? *options.group : static_cast<gid_t>(-1);
    if (fchown(fd.get(), owner, group) != 0) return fail(errno);
  }
  if (options.durable && fsync(fd.get()) != 0) return fail(errno);
  fd.reset();
  if (rename(temp.c_str(), path.c_str()) != 0) return fail(errno);
  if (options.durable) {
    ScopedFd dir(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.valid()) (void)fsync(dir.get());
  }
  return FsResult::Ok();
}

}  // namespace vq
