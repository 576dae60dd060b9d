#include "platform/tree_removal.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "platform/directory_stream.h"
#include "platform/path.h"
#include "platform/scoped_fd.h"
#include "platform/task_pool.h"

namespace vq {
namespace {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

using SharedFd = std::shared_ptr<const ScopedFd>;

struct Entry {
  std::string name;
  unsigned char type;
};

// Every entry of an open directory, read before any of them is removed: some
// file systems skip entries of a directory that changes while it is read.
bool ListEntries(int dir_fd, std::vector<Entry>* entries) {
  return ForEachEntry(dir_fd, [&](const char* name, unsigned char type) {
    entries->push_back({name, type});
    return true;
  });
}

FsResult RemoveTreeAt(int parent_fd, const std::string& name, const std::string& path, dev_t device,
                      TaskPool* pool);

// A file, or (swapped in since the listing) a folder by the same name.
FsResult RemoveEntryAt(int dir_fd, const std::string& path, dev_t device,
                       const std::string& child) {
  if (unlinkat(dir_fd, child.c_str(), 0) == 0 || errno == ENOENT) return FsResult::Ok();
  if (errno != EISDIR && errno != EPERM)
    return FsResult::Fail("remove", JoinPath(path, child), errno);
  FsResult removed = RemoveTreeAt(dir_fd, child, JoinPath(path, child), device, nullptr);
  return removed.ok() || removed.error().code != ENOENT ? removed : FsResult::Ok();
}

// Removes the directory `name` inside `parent_fd` with everything in it.
FsResult RemoveTreeAt(int parent_fd, const std::string& name, const std::string& path, dev_t device,
                      TaskPool* pool) {
  SharedFd fd = std::make_shared<const ScopedFd>(openat(parent_fd, name.c_str(), kDirFlags));
  if (!fd->valid()) {
    // Replaced by something that is not a directory since it was looked at.
    if (errno == ENOTDIR || errno == ELOOP) {
      if (unlinkat(parent_fd, name.c_str(), 0) == 0) return FsResult::Ok();
    }
    return FsResult::Fail("remove", path, errno);
  }
  struct stat st;
  if (fstat(fd->get(), &st) != 0) return FsResult::Fail("remove", path, errno);
  if (st.st_dev != device) return FsResult::Fail("remove", path, EXDEV);
  std::vector<Entry> entries;
  if (!ListEntries(fd->get(), &entries)) return FsResult::Fail("remove", path, errno);

  FsResult failure = FsResult::Ok();
  auto files = std::make_shared<std::vector<std::string>>();
  for (Entry& entry : entries) {
    if (entry.type == DT_DIR) {
      failure = RemoveTreeAt(fd->get(), entry.name, JoinPath(path, entry.name), device, pool);
      if (!failure && failure.error().code != ENOENT) break;
      failure = FsResult::Ok();
    } else if (pool == nullptr || entry.type == DT_UNKNOWN) {
      // d_type spares a stat per entry; file systems that do not fill it in
      // answer DT_UNKNOWN, and unlinkat's EISDIR says the rest.
      failure = RemoveEntryAt(fd->get(), path, device, entry.name);
      if (!failure) break;
    } else {
      files->push_back(std::move(entry.name));
    }
  }
  if (pool != nullptr && failure && !files->empty()) {
    // One run of names per thread: a task per file costs as much to hand
    // over as its unlink.
    const size_t parts = std::min(TaskPool::threads(), files->size());
    for (size_t part = 0; part < parts; ++part) {
      pool->post([fd, path, device, files, part, parts, pool] {
        const size_t end = files->size() * (part + 1) / parts;
        for (size_t i = files->size() * part / parts; i < end && !pool->failed(); ++i) {
          FsResult removed = RemoveEntryAt(fd->get(), path, device, (*files)[i]);
          if (!removed) return removed;
        }
        return FsResult::Ok();
      });
    }
  }
  if (pool != nullptr) {
    FsResult finished = pool->wait();
    if (!finished) return finished;
  }
  if (!failure) return failure;
  if (unlinkat(parent_fd, name.c_str(), AT_REMOVEDIR) != 0) {
    return FsResult::Fail("remove", path, errno);
  }
  return FsResult::Ok();
}

}  // namespace

FsResult RemoveItemAt(int dir_fd, const std::string& name, const std::string& path,
                      TaskPool* pool) {
  if (name.empty() || name == "/" || name == "." || name == "..") {
    return FsResult::Fail("remove", path, EINVAL);
  }
  struct stat st;
  if (fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return FsResult::Fail("remove", path, errno);
  }
  if (S_ISDIR(st.st_mode)) return RemoveTreeAt(dir_fd, name, path, st.st_dev, pool);
  if (unlinkat(dir_fd, name.c_str(), 0) != 0) {
    // Swapped for a directory since it was looked at.
    if (errno == EISDIR || errno == EPERM) {
      if (fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)) {
        return RemoveTreeAt(dir_fd, name, path, st.st_dev, pool);
      }
    }
    return FsResult::Fail("remove", path, errno);
  }
  return FsResult::Ok();
}

}  // namespace vq
