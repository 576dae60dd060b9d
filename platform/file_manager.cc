#include "platform/file_manager.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/directory_stream.h"
#include "platform/path.h"
#include "platform/task_pool.h"
#include "platform/tree_removal.h"

namespace vq {
namespace {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
#if defined(EFTYPE)
constexpr int kNotARegularFile = EFTYPE;
#else
constexpr int kNotARegularFile = EINVAL;
#endif

std::string StripTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// The folder above path, opened; "." for a bare name.
ScopedFd OpenParent(const std::string& path) {
  const std::string parent = ParentPath(path);
  return ScopedFd(open(parent.empty() ? "." : parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

}  // namespace

FileType FileTypeOf(mode_t mode) {
  if (S_ISREG(mode)) return FileType::kRegular;
  if (S_ISDIR(mode)) return FileType::kDirectory;
  if (S_ISLNK(mode)) return FileType::kSymbolicLink;
  return FileType::kOther;
}

DirectoryEnumerator::DirectoryEnumerator(ScopedFd root) {
  stack_.push_back(Listed(std::string(), std::move(root)));
}

DirectoryEnumerator::Frame DirectoryEnumerator::Listed(std::string relative, ScopedFd fd) {
  Frame frame{std::move(relative), std::move(fd), {}, 0};
  if (frame.fd.valid()) ReadSortedNames(frame.fd.get(), &frame.names);
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

FsResult FileManager::createDirectory(const std::string& path, Intermediates intermediates,
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
  if (intermediates == Intermediates::kNo) {
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
  ScopedFd parent = OpenParent(destination);
  if (!parent.valid()) return FsResult::Fail("copy", destination, errno);
  const std::string dest_name = LastPathComponent(destination);

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
  if (S_ISREG(st.st_mode)) {
    ScopedFd fd(open(source.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) return FsResult::Fail("copy", source, errno);
    struct stat opened;
    if (fstat(fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode)) {
      return FsResult::Fail("copy", source, EINVAL);
    }
    return TreeCopier(options, nullptr)
        .copyRegular(fd.get(), opened, parent.get(), dest_name.c_str(), destination);
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
  ScopedFd parent = OpenParent(destination);
  if (!parent.valid()) return FsResult::Fail("copy", destination, errno);
  return TreeCopier({}, nullptr)
      .copyRegular(in.get(), st, parent.get(), LastPathComponent(destination).c_str(), destination);
}

FsResult FileManager::removeItem(const std::string& path) {
  ScopedFd parent = OpenParent(path);
  if (!parent.valid()) return FsResult::Fail("remove", path, errno);
  TaskPool pool;
  return RemoveItemAt(parent.get(), LastPathComponent(path), path, &pool);
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
  if (!ReadSortedNames(fd.get(), &names)) return std::nullopt;
  return names;
}

}  // namespace vq
