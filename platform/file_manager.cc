#include "platform/file_manager.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/file_ops.h"
#include "platform/file_times.h"
#include "platform/task_pool.h"

namespace vq {
namespace {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
#if defined(EFTYPE)
constexpr int kNotARegularFile = EFTYPE;
#else
constexpr int kNotARegularFile = EINVAL;
#endif

std::string Join(const std::string& directory, const char* name) {
  std::string out = directory;
  if (out.empty() || out.back() != '/') out += '/';
  out += name;
  return out;
}

std::string StripTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

bool IsDotOrDotDot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Calls visit(name, d_type) for every entry of an open directory, in the
// order the file system gives them; the descriptor stays the caller's.
template <typename Visit>
bool ForEachEntry(int dir_fd, Visit&& visit) {
  const int copy = fcntl(dir_fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return false;
  DIR* dir = fdopendir(copy);
  if (dir == nullptr) {
    close(copy);
    return false;
  }
  errno = 0;
  bool ok = true;
  while (const dirent* entry = readdir(dir)) {
    if (IsDotOrDotDot(entry->d_name)) continue;
    if (!visit(entry->d_name, entry->d_type)) {
      ok = false;
      break;
    }
    errno = 0;
  }
  if (ok && errno != 0) ok = false;
  const int saved = errno;
  closedir(dir);
  errno = saved;
  return ok;
}

// The names in an open directory, sorted; the descriptor stays the caller's.
bool ReadNames(int dir_fd, std::vector<std::string>* names) {
  const bool ok = ForEachEntry(dir_fd, [&](const char* name, unsigned char) {
    names->emplace_back(name);
    return true;
  });
  std::sort(names->begin(), names->end());
  return ok;
}

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
  if (errno != EISDIR && errno != EPERM) {
    return FsResult::Fail("remove", Join(path, child.c_str()), errno);
  }
  FsResult removed = RemoveTreeAt(dir_fd, child, Join(path, child.c_str()), device, nullptr);
  return removed.ok() || removed.error().code != ENOENT ? removed : FsResult::Ok();
}

// Removes the directory `name` inside `parent_fd` with everything in it. Every
// step is relative to a descriptor, so a link swapped in anywhere below is
// removed as a link, never followed, and no mount point is crossed. With a
// pool, the files of each folder are unlinked on its threads.
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
      failure = RemoveTreeAt(fd->get(), entry.name, Join(path, entry.name.c_str()), device, pool);
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

// Copies a tree by descriptor. With a pool, regular files are copied on its
// threads; the folders get their modes and times once every file in them is
// written, since writing a file changes its folder's times.
class TreeCopier {
 public:
  TreeCopier(const CopyOptions& options, TaskPool* pool) : options_(options), pool_(pool) {}

  FsResult copyRegular(int source_fd, const struct stat& st, int dest_dir_fd, const char* name,
                       const std::string& dest_path) const {
    ScopedFd out(openat(dest_dir_fd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                        st.st_mode & 0755));
    if (!out.valid()) return FsResult::Fail("copy", dest_path, errno);
    if (const int error = platform::CopyFileContents(source_fd, out.get(), st)) {
      return FsResult::Fail("copy", dest_path, error);
    }
    return finish(out.get(), st, dest_path);
  }

  // The whole tree below the open folder `source` into `name` inside
  // `dest_parent_fd`, finished when this returns.
  FsResult copyTree(ScopedFd source, const struct stat& st, const std::string& source_path,
                    int dest_parent_fd, const char* name, const std::string& dest_path) {
    FsResult copied = copyDirectory(std::make_shared<const ScopedFd>(std::move(source)), st,
                                    source_path, dest_parent_fd, name, dest_path);
    FsResult flushed = flush();
    return copied ? std::move(flushed) : copied;
  }

 private:
  struct Unfinished {
    SharedFd fd;
    struct stat st;
    std::string path;
  };

  FsResult copyDirectory(const SharedFd& source, const struct stat& st,
                         const std::string& source_path, int dest_parent_fd, const char* name,
                         const std::string& dest_path) {
    if (mkdirat(dest_parent_fd, name, 0700) != 0) return FsResult::Fail("copy", dest_path, errno);
    SharedFd dest = std::make_shared<const ScopedFd>(openat(dest_parent_fd, name, kDirFlags));
    if (!dest->valid()) return FsResult::Fail("copy", dest_path, errno);

    FsResult failure = FsResult::Ok();
    const bool listed = ForEachEntry(source->get(), [&](const char* child, unsigned char type) {
      failure =
          copyChild(source, child, type, Join(source_path, child), dest, Join(dest_path, child));
      return failure.ok() && (pool_ == nullptr || !pool_->failed());
    });
    const int listError = errno;
    if (!failure) return failure;
    if (!listed && !(pool_ != nullptr && pool_->failed())) {
      return FsResult::Fail("copy", source_path, listError);
    }
    unfinished_.push_back({dest, st, dest_path});
    // Every unfinished folder keeps a descriptor open: a deep tree is
    // finished in parts.
    return unfinished_.size() < 64 ? FsResult::Ok() : flush();
  }

  FsResult flush() {
    if (pool_ != nullptr) {
      FsResult written = pool_->wait();
      if (!written) return written;
    }
    for (const Unfinished& folder : unfinished_) {
      FsResult finished = finish(folder.fd->get(), folder.st, folder.path);
      if (!finished) return finished;
    }
    unfinished_.clear();
    return FsResult::Ok();
  }

  FsResult copyChild(const SharedFd& source, const char* name, unsigned char type,
                     const std::string& source_path, const SharedFd& dest,
                     const std::string& dest_path) {
    if (type == DT_REG) {
      if (pool_ == nullptr) {
        return copyFileAt(source->get(), name, source_path, dest->get(), dest_path);
      }
      pool_->post([this, source, dest, name = std::string(name), source_path, dest_path] {
        return copyFileAt(source->get(), name.c_str(), source_path, dest->get(), dest_path);
      });
      return FsResult::Ok();
    }
    struct stat st;
    if (fstatat(source->get(), name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      return FsResult::Fail("copy", source_path, errno);
    }
    if (S_ISDIR(st.st_mode)) {
      ScopedFd fd(openat(source->get(), name, kDirFlags));
      if (!fd.valid()) return FsResult::Fail("copy", source_path, errno);
      return copyDirectory(std::make_shared<const ScopedFd>(std::move(fd)), st, source_path,
                           dest->get(), name, dest_path);
    }
    if (S_ISREG(st.st_mode)) {
      return copyFileAt(source->get(), name, source_path, dest->get(), dest_path);
    }
    if (S_ISLNK(st.st_mode)) {
      std::string target(static_cast<size_t>(st.st_size > 0 ? st.st_size : 0) + 256, '\0');
      const ssize_t n = readlinkat(source->get(), name, target.data(), target.size());
      if (n < 0) return FsResult::Fail("copy", source_path, errno);
      if (static_cast<size_t>(n) == target.size()) {
        return FsResult::Fail("copy", source_path, ENAMETOOLONG);
      }
      target.resize(static_cast<size_t>(n));
      if (symlinkat(target.c_str(), dest->get(), name) != 0) {
        return FsResult::Fail("copy", dest_path, errno);
      }
      const auto [owner, group] = ownerFor();
      if ((owner != static_cast<uid_t>(-1) || group != static_cast<gid_t>(-1)) &&
          fchownat(dest->get(), name, owner, group, AT_SYMLINK_NOFOLLOW) != 0) {
        return FsResult::Fail("chown", dest_path, errno);
      }
      return FsResult::Ok();
    }
    // FIFOs, sockets and devices are recreated, never opened: reading a FIFO
    // would wait for a writer that never comes. (mknod by path: mknodat is
    // missing before macOS 13; the destination is our own new folder.)
    if (mknod(dest_path.c_str(), st.st_mode, st.st_rdev) != 0) {
      return FsResult::Fail("copy", dest_path, errno);
    }
    return FsResult::Ok();
  }

  // A regular file, opened without following a link; anything else there
  // now (a FIFO, a folder swapped in) is refused, never read.
  FsResult copyFileAt(int source_dir_fd, const char* name, const std::string& source_path,
                      int dest_dir_fd, const std::string& dest_path) const {
    ScopedFd fd(openat(source_dir_fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) return FsResult::Fail("copy", source_path, errno);
    struct stat opened;
    if (fstat(fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode)) {
      return FsResult::Fail("copy", source_path, EINVAL);
    }
    return copyRegular(fd.get(), opened, dest_dir_fd, name, dest_path);
  }

  // What a copied item gets: the options' owner and group, else the
  // copier's own (-1: left alone).
  std::pair<uid_t, gid_t> ownerFor() const {
    return {options_.owner.value_or(static_cast<uid_t>(-1)),
            options_.group.value_or(static_cast<gid_t>(-1))};
  }

  // Owner first: chown clears set-id bits, which the mode then restores.
  // What the new item already has (files are made with their permissions
  // less write access for others, by the owner the copy usually wants) is
  // not set again: each change is one more journaled write of the inode.
  FsResult finish(int fd, const struct stat& st, const std::string& dest_path) const {
    struct stat made;
    if (fstat(fd, &made) != 0) return FsResult::Fail("copy", dest_path, errno);
    const auto [owner, group] = ownerFor();
    const bool chown = (owner != static_cast<uid_t>(-1) && owner != made.st_uid) ||
                       (group != static_cast<gid_t>(-1) && group != made.st_gid);
    if (chown && fchown(fd, owner, group) != 0) return FsResult::Fail("chown", dest_path, errno);
    if ((chown || (made.st_mode & 07777) != (st.st_mode & 07777)) &&
        fchmod(fd, st.st_mode & 07777) != 0) {
      return FsResult::Fail("copy", dest_path, errno);
    }
    SetFileTimes(fd, st);
    return FsResult::Ok();
  }

  const CopyOptions options_;
  TaskPool* const pool_;
  std::vector<Unfinished> unfinished_;
};

}  // namespace

std::optional<std::string> WhyNotRootOnly(const std::string& root, const std::string& path) {
  // Every folder from the root down, then the file itself.
  std::string checked = root.empty() ? "/" : root;
  const std::string rest = path.substr(root.size());
  for (size_t pos = 0;;) {
    struct stat st;
    if (lstat(checked.c_str(), &st) != 0) return "cannot examine " + checked;
    const bool last = checked == path;
    if (st.st_uid != 0 || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0 ||
        (last ? !S_ISREG(st.st_mode) : !S_ISDIR(st.st_mode))) {
      return checked + " is not a root-owned " + (last ? "file" : "folder") +
             " writable only by root";
    }
    if (last) return std::nullopt;
    pos = rest.find('/', pos + 1);
    checked = root + rest.substr(0, pos);
    if (checked.empty()) return "cannot examine " + path;
  }
}

FileType FileTypeOf(mode_t mode) {
  if (S_ISREG(mode)) return FileType::kRegular;
  if (S_ISDIR(mode)) return FileType::kDirectory;
  if (S_ISLNK(mode)) return FileType::kSymbolicLink;
  return FileType::kOther;
}

std::string ParentPath(const std::string& path) {
  const std::string trimmed = StripTrailingSlashes(path);
  const size_t slash = trimmed.rfind('/');
  if (slash == std::string::npos) return std::string();
  if (slash == 0) return "/";
  return trimmed.substr(0, slash);
}

std::string LastPathComponent(const std::string& path) {
  const std::string trimmed = StripTrailingSlashes(path);
  const size_t slash = trimmed.rfind('/');
  if (slash == std::string::npos) return trimmed;
  if (trimmed.size() == 1) return trimmed;
  return trimmed.substr(slash + 1);
}

std::vector<std::string> PathComponents(const std::string& path) {
  std::vector<std::string> components;
  if (!path.empty() && path[0] == '/') components.emplace_back("/");
  size_t pos = 0;
  while (pos < path.size()) {
    const size_t slash = path.find('/', pos);
    const size_t end = slash == std::string::npos ? path.size() : slash;
    if (end > pos) components.push_back(path.substr(pos, end - pos));
    if (slash == std::string::npos) break;
    pos = slash + 1;
  }
  return components;
}

std::string PathWithComponents(const std::vector<std::string>& components) {
  std::string path;
  for (const std::string& component : components) {
    if (component == "/") {
      path = "/";
      continue;
    }
    if (!path.empty() && path.back() != '/') path += '/';
    path += component;
  }
  return path;
}

DirectoryEnumerator::DirectoryEnumerator(ScopedFd root) {
  stack_.push_back(Listed(std::string(), std::move(root)));
}

DirectoryEnumerator::Frame DirectoryEnumerator::Listed(std::string relative, ScopedFd fd) {
  Frame frame{std::move(relative), std::move(fd), {}, 0};
  if (frame.fd.valid()) ReadNames(frame.fd.get(), &frame.names);
  return frame;
}

std::optional<std::string> DirectoryEnumerator::nextObject() {
  while (!stack_.empty()) {
    Frame& frame = stack_.back();
    if (frame.next == frame.names.size()) {
      stack_.pop_back();
      continue;
    }
    const std::string name = frame.names[frame.next++];
    std::string relative = frame.relative.empty() ? name : frame.relative + "/" + name;
    struct stat st;
    lastOwner_.reset();
    if (fstatat(frame.fd.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
      lastOwner_ = std::make_pair(st.st_uid, st.st_gid);
      if (S_ISDIR(st.st_mode)) {
        ScopedFd fd(openat(frame.fd.get(), name.c_str(), kDirFlags));
        stack_.push_back(Listed(relative, std::move(fd)));
      }
    }
    return relative;
  }
  return std::nullopt;
}

FileManager* FileManager::defaultManager() {
  static FileManager manager;
  return &manager;
}

FsResult FileManager::createDirectory(const std::string& path, bool withIntermediateDirectories,
                                      const CreateAttributes& attributes) {
  const mode_t mode = attributes.permissions.value_or(0755);
  auto apply = [&](const std::string& created) -> FsResult {
    if (attributes.permissions && chmod(created.c_str(), *attributes.permissions) != 0) {
      return FsResult::Fail("chmod", created, errno);
    }
    if (attributes.owner || attributes.group) {
      const uid_t owner = attributes.owner ? *attributes.owner : static_cast<uid_t>(-1);
      const gid_t group = attributes.group ? *attributes.group : static_cast<gid_t>(-1);
      if (lchown(created.c_str(), owner, group) != 0) {
        return FsResult::Fail("chown", created, errno);
      }
    }
    return FsResult::Ok();
  };

  const std::string target = StripTrailingSlashes(path);
  if (target.empty()) return FsResult::Fail("mkdir", path, ENOENT);
  if (!withIntermediateDirectories) {
    if (mkdir(target.c_str(), mode) != 0) return FsResult::Fail("mkdir", target, errno);
    return apply(target);
  }

  size_t pos = 0;
  for (;;) {
    pos = target.find('/', pos + 1);
    const std::string prefix = target.substr(0, pos);
    const bool last = pos == std::string::npos;
    if (!prefix.empty()) {
      struct stat st;
      if (stat(prefix.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode)) {
          return FsResult::Fail("mkdir", prefix, last ? EEXIST : ENOTDIR);
        }
      } else if (errno != ENOENT) {
        return FsResult::Fail("mkdir", prefix, errno);
      } else if (mkdir(prefix.c_str(), mode) == 0) {
        FsResult applied = apply(prefix);
        if (!applied) return applied;
      } else if (errno != EEXIST || stat(prefix.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        // EEXIST with a directory is another process making it at the same time.
        return FsResult::Fail("mkdir", prefix, errno == 0 ? EEXIST : errno);
      }
    }
    if (last) return FsResult::Ok();
  }
}

FsResult FileManager::copyItem(const std::string& source, const std::string& destination,
                               const CopyOptions& options) {
  struct stat dest_st;
  if (lstat(destination.c_str(), &dest_st) == 0) return FsResult::Fail("copy", destination, EEXIST);

  const std::string dest_name = LastPathComponent(destination);
  std::string dest_parent = ParentPath(destination);
  if (dest_parent.empty()) dest_parent = ".";
  ScopedFd parent(open(dest_parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!parent.valid()) return FsResult::Fail("copy", destination, errno);

  // The source named by the caller is followed when it is a link.
  struct stat st;
  if (stat(source.c_str(), &st) != 0) return FsResult::Fail("copy", source, errno);
  if (S_ISDIR(st.st_mode)) {
    ScopedFd fd(open(source.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid()) return FsResult::Fail("copy", source, errno);
    TaskPool pool;
    TreeCopier copier(options, &pool);
    return copier.copyTree(std::move(fd), st, source, parent.get(), dest_name.c_str(), destination);
  }
  TreeCopier copier(options, nullptr);
  if (S_ISREG(st.st_mode)) {
    ScopedFd fd(open(source.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) return FsResult::Fail("copy", source, errno);
    struct stat opened;
    if (fstat(fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode)) {
      return FsResult::Fail("copy", source, EINVAL);
    }
    return copier.copyRegular(fd.get(), opened, parent.get(), dest_name.c_str(), destination);
  }
  if (mknod(destination.c_str(), st.st_mode, st.st_rdev) != 0) {
    return FsResult::Fail("copy", destination, errno);
  }
  return FsResult::Ok();
}

FsResult FileManager::copyRegularFile(const std::string& source, const std::string& destination) {
  ScopedFd in(open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!in.valid()) return FsResult::Fail("copy", source, errno == ELOOP ? kNotARegularFile : errno);
  struct stat st;
  if (fstat(in.get(), &st) != 0) return FsResult::Fail("copy", source, errno);
  if (!S_ISREG(st.st_mode)) return FsResult::Fail("copy", source, kNotARegularFile);
  return copyItem(source, destination);
}

namespace {

FsResult RemoveAt(int dir_fd, const std::string& name, const std::string& path, TaskPool* pool) {
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

}  // namespace

// One thread: folders removed this way are removed with their owner's rights,
// which every thread would have to take on.
FsResult RemoveItemAt(int dir_fd, const std::string& name, const std::string& path) {
  return RemoveAt(dir_fd, name, path, nullptr);
}

FsResult FileManager::removeItem(const std::string& path) {
  const std::string name = LastPathComponent(path);
  std::string parent_path = ParentPath(path);
  if (parent_path.empty()) parent_path = ".";
  ScopedFd parent(open(parent_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!parent.valid()) return FsResult::Fail("remove", path, errno);
  TaskPool pool;
  return RemoveAt(parent.get(), name, path, &pool);
}

FsResult FileManager::renameItem(const std::string& source, const std::string& destination) {
  if (rename(source.c_str(), destination.c_str()) != 0) {
    return FsResult::Fail("rename", source, errno);
  }
  return FsResult::Ok();
}

FsResult FileManager::setOwner(const std::string& path, uid_t owner, gid_t group) {
  if (lchown(path.c_str(), owner, group) != 0) return FsResult::Fail("chown", path, errno);
  return FsResult::Ok();
}

std::optional<ItemAttributes> FileManager::attributesOfItem(const std::string& path) const {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return std::nullopt;
  ItemAttributes attributes;
  attributes.type = FileTypeOf(st.st_mode);
  attributes.permissions = st.st_mode & 07777;
  attributes.owner = st.st_uid;
  attributes.group = st.st_gid;
  attributes.device = st.st_dev;
  attributes.inode = st.st_ino;
  attributes.size = st.st_size;
  return attributes;
}

bool FileManager::itemExists(const std::string& path) const {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

FsResult FileManager::createSymbolicLink(const std::string& path, const std::string& destination) {
  if (symlink(destination.c_str(), path.c_str()) != 0) {
    return FsResult::Fail("symlink", path, errno);
  }
  return FsResult::Ok();
}

long FileManager::readSymbolicLink(const std::string& path, char* buffer, size_t capacity) const {
  return readlink(path.c_str(), buffer, capacity);
}

std::unique_ptr<DirectoryEnumerator> FileManager::enumeratorAtPath(const std::string& path) const {
  ScopedFd root(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!root.valid()) return nullptr;
  return std::make_unique<DirectoryEnumerator>(std::move(root));
}

std::optional<std::vector<std::string>> FileManager::contentsOfDirectory(
    const std::string& path) const {
  ScopedFd fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) return std::nullopt;
  std::vector<std::string> names;
  if (!ReadNames(fd.get(), &names)) return std::nullopt;
  return names;
}

}  // namespace vq
