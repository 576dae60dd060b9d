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
#include "platform/effective_identity.h"
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

// One removal: the device it stays on, the threads it may use, and whether
// its folders may be ones that others can change (then without threads).
struct Removal {
  dev_t device;
  TaskPool* pool;
  bool guarded;
};

using platform::FolderRights;

FsResult RemoveTreeAt(int parent_fd, const std::string& name, const std::string& path,
                      const Removal& removal);

// Root's rights in a folder others can write: unlinkat without AT_REMOVEDIR
// never takes a folder, whatever the name stands for by now.
FsResult UnlinkNameAt(int dir_fd, const std::string& name, const std::string& path) {
  if (unlinkat(dir_fd, name.c_str(), 0) != 0) return FsResult::Fail("remove", path, errno);
  return FsResult::Ok();
}

// A file, or (swapped in since the listing) a folder by the same name.
FsResult RemoveEntryAt(int dir_fd, const std::string& path, const Removal& removal,
                       const std::string& child) {
  if (unlinkat(dir_fd, child.c_str(), 0) == 0 || errno == ENOENT) return FsResult::Ok();
  if (errno != EISDIR && errno != EPERM)
    return FsResult::Fail("remove", JoinPath(path, child), errno);
  FsResult removed = RemoveTreeAt(dir_fd, child, JoinPath(path, child),
                                  {removal.device, nullptr, removal.guarded});
  return removed.ok() || removed.error().code != ENOENT ? removed : FsResult::Ok();
}

// Removes everything in the open folder `fd`, with the rights its owner
// gives when the removal is guarded.
FsResult RemoveContents(const SharedFd& fd, const struct stat& st, const std::string& path,
                        Removal removal) {
  const FolderRights rights = removal.guarded ? platform::RightsIn(st) : FolderRights::kOwn;
  std::unique_ptr<platform::ScopedEffectiveIdentity> owner;
  if (rights == FolderRights::kAsOwner &&
      !(owner = platform::ScopedEffectiveIdentity::AssumeOwnerOf(st))) {
    return FsResult::Fail("act as the owner of", path, errno);
  }
  std::vector<Entry> entries;
  if (!ListEntries(fd->get(), &entries)) return FsResult::Fail("remove", path, errno);
  if (rights == FolderRights::kNamesOnly) {
    for (const Entry& entry : entries) {
      FsResult removed = UnlinkNameAt(fd->get(), entry.name, JoinPath(path, entry.name));
      if (!removed && removed.error().code != ENOENT) return removed;
    }
    return FsResult::Ok();
  }

  FsResult failure = FsResult::Ok();
  TaskPool* const pool = removal.pool;
  auto files = std::make_shared<std::vector<std::string>>();
  for (Entry& entry : entries) {
    if (entry.type == DT_DIR) {
      failure = RemoveTreeAt(fd->get(), entry.name, JoinPath(path, entry.name), removal);
      if (!failure && failure.error().code != ENOENT) break;
      failure = FsResult::Ok();
    } else if (pool == nullptr || entry.type == DT_UNKNOWN) {
      // d_type spares a stat per entry; file systems that do not fill it in
      // answer DT_UNKNOWN, and unlinkat's EISDIR says the rest.
      failure = RemoveEntryAt(fd->get(), path, removal, entry.name);
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
      pool->post([fd, path, removal, files, part, parts, pool] {
        const size_t end = files->size() * (part + 1) / parts;
        for (size_t i = files->size() * part / parts; i < end && !pool->failed(); ++i) {
          FsResult removed = RemoveEntryAt(fd->get(), path, removal, (*files)[i]);
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
  return failure;
}

// Removes the directory `name` inside `parent_fd` with everything in it.
FsResult RemoveTreeAt(int parent_fd, const std::string& name, const std::string& path,
                      const Removal& removal) {
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
  if (st.st_dev != removal.device) return FsResult::Fail("remove", path, EXDEV);
  if (FsResult emptied = RemoveContents(fd, st, path, removal); !emptied) return emptied;
  if (unlinkat(parent_fd, name.c_str(), AT_REMOVEDIR) != 0) {
    return FsResult::Fail("remove", path, errno);
  }
  return FsResult::Ok();
}

FsResult RemoveNamedAt(int dir_fd, const std::string& name, const std::string& path, TaskPool* pool,
                       bool guarded) {
  if (name.empty() || name == "/" || name == "." || name == "..") {
    return FsResult::Fail("remove", path, EINVAL);
  }
  struct stat st;
  if (fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return FsResult::Fail("remove", path, errno);
  }
  if (S_ISDIR(st.st_mode)) return RemoveTreeAt(dir_fd, name, path, {st.st_dev, pool, guarded});
  if (unlinkat(dir_fd, name.c_str(), 0) != 0) {
    // Swapped for a directory since it was looked at.
    if (errno == EISDIR || errno == EPERM) {
      if (fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)) {
        return RemoveTreeAt(dir_fd, name, path, {st.st_dev, pool, guarded});
      }
    }
    return FsResult::Fail("remove", path, errno);
  }
  return FsResult::Ok();
}

}  // namespace

FsResult RemoveItemAt(int dir_fd, const std::string& name, const std::string& path,
                      TaskPool* pool) {
  return RemoveNamedAt(dir_fd, name, path, pool, false);
}

FsResult RemoveItemAsOwnersAt(int dir_fd, const std::string& name, const std::string& path) {
  struct stat folder;
  if (fstat(dir_fd, &folder) != 0) return FsResult::Fail("remove", path, errno);
  const FolderRights rights = platform::RightsIn(folder);
  if (rights == FolderRights::kNamesOnly) return UnlinkNameAt(dir_fd, name, path);
  std::unique_ptr<platform::ScopedEffectiveIdentity> owner;
  if (rights == FolderRights::kAsOwner &&
      !(owner = platform::ScopedEffectiveIdentity::AssumeOwnerOf(folder))) {
    return FsResult::Fail("act as the owner of", ParentPath(path), errno);
  }
  // With the owner's identity, or in a folder only root can change, a name
  // looked at stays what it was, or the kernel refuses what it became.
  return RemoveNamedAt(dir_fd, name, path, nullptr, true);
}

}  // namespace vq
