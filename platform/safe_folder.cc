#include "platform/safe_folder.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <deque>
#include <iterator>
#include <vector>

#include "platform/atomic_file.h"
#include "platform/directory_stream.h"
#include "platform/effective_identity.h"
#include "platform/file_ops.h"
#include "platform/path.h"
#include "platform/tree_removal.h"

namespace vq {
namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// As many links as macOS follows in one path lookup.
constexpr int kMaxLinksFollowed = 32;

struct PendingName {
  std::string name;
  bool isOwnLast;  // the last name of the path itself, not one from a link's content
};

std::deque<PendingName> NamesOf(const std::string& path, bool ownPath) {
  std::deque<PendingName> names;
  for (std::string& component : PathComponents(path)) {
    if (component != "/") names.push_back({std::move(component), false});
  }
  if (ownPath && !names.empty()) names.back().isOwnLast = true;
  return names;
}

struct Level {
  ScopedFd fd;
  struct stat st;
};

bool RestartAtRoot(std::vector<Level>* levels) {
  levels->clear();
  Level root{ScopedFd(open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC)), {}};
  if (!root.fd.valid() || fstat(root.fd.get(), &root.st) != 0) return false;
  levels->push_back(std::move(root));
  return true;
}

}  // namespace

SafeFolder SafeFolder::Open(const std::string& path) {
  SafeFolder folder;
  folder.path_ = path;
  std::vector<Level> levels;
  if (path.empty() || path[0] != '/' || !RestartAtRoot(&levels)) return folder;
  auto steeredElsewhere = [&](uid_t owner) {
    return folder.steeredBy_.has_value() && owner != *folder.steeredBy_;
  };
  auto finish = [&](FolderStatus status) {
    folder.status_ = status;
    if (status == FolderStatus::kOpened || status == FolderStatus::kNameMissing) {
      folder.st_ = levels.back().st;
      folder.fd_ = std::move(levels.back().fd);
    }
    return std::move(folder);
  };

  std::deque<PendingName> pending = NamesOf(path, true);
  int linksFollowed = 0;
  while (!pending.empty()) {
    const PendingName next = std::move(pending.front());
    pending.pop_front();
    if (next.name == ".") continue;
    if (next.name == "..") {
      // Back along folders already entered; never above the root.
      if (levels.size() > 1) levels.pop_back();
      continue;
    }
    const int dir = levels.back().fd.get();
    Level child{ScopedFd(openat(dir, next.name.c_str(), kFolderFlags)), {}};
    if (child.fd.valid()) {
      if (fstat(child.fd.get(), &child.st) != 0) return finish(FolderStatus::kFailed);
      if (steeredElsewhere(child.st.st_uid)) return finish(FolderStatus::kUnsafe);
      levels.push_back(std::move(child));
      continue;
    }
    struct stat st;
    if (fstatat(dir, next.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) return finish(FolderStatus::kFailed);
      if (!next.isOwnLast) return finish(FolderStatus::kMissing);
      if (steeredElsewhere(levels.back().st.st_uid)) return finish(FolderStatus::kUnsafe);
      folder.missingName_ = next.name;
      return finish(FolderStatus::kNameMissing);
    }
    if (!S_ISLNK(st.st_mode)) return finish(FolderStatus::kFailed);

    // Whoever can change a link decides where it leads: the owner of its
    // folder, or, in a folder that only root can change, the link's owner.
    const uid_t controller = levels.back().st.st_uid != 0 ? levels.back().st.st_uid : st.st_uid;
    if (steeredElsewhere(controller)) return finish(FolderStatus::kUnsafe);
    if (++linksFollowed > kMaxLinksFollowed) return finish(FolderStatus::kFailed);
    char content[PATH_MAX];
    const ssize_t n = readlinkat(dir, next.name.c_str(), content, sizeof content);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof content) return finish(FolderStatus::kFailed);
    if (controller != 0) folder.steeredBy_ = controller;
    const std::string target(content, static_cast<size_t>(n));
    if (target[0] == '/') {
      if (!RestartAtRoot(&levels)) return finish(FolderStatus::kFailed);
      if (steeredElsewhere(levels.back().st.st_uid)) return finish(FolderStatus::kUnsafe);
    }
    std::deque<PendingName> expanded = NamesOf(target, false);
    pending.insert(pending.begin(), std::make_move_iterator(expanded.begin()),
                   std::make_move_iterator(expanded.end()));
  }
  if (steeredElsewhere(levels.back().st.st_uid)) return finish(FolderStatus::kUnsafe);
  return finish(FolderStatus::kOpened);
}

SafeFolder SafeFolder::OpenBeneath(const std::string& base, const std::string& relative) {
  SafeFolder folder;
  folder.path_ = base + "/" + relative;
  folder.fd_ = ScopedFd(open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder.fd_.valid()) return folder;
  for (const std::string& name : PathComponents(relative)) {
    if (name == "/" || name == ".") continue;
    if (name == "..") return folder;
    ScopedFd next(openat(folder.fd_.get(), name.c_str(), kFolderFlags));
    if (!next.valid()) {
      folder.status_ = errno == ENOENT ? FolderStatus::kMissing : FolderStatus::kFailed;
      folder.fd_.reset();
      return folder;
    }
    folder.fd_ = std::move(next);
  }
  if (fstat(folder.fd_.get(), &folder.st_) != 0) return folder;
  folder.status_ = FolderStatus::kOpened;
  return folder;
}

SafeFolder SafeFolder::makeMissingFolder() && {
  if (status_ != FolderStatus::kNameMissing) return std::move(*this);
  SafeFolder made;
  made.path_ = path_;
  made.steeredBy_ = steeredBy_;
  {
    // Made as the owner of the folder above, with its group: the new folder
    // is theirs from the start, and nothing is given away by name after.
    auto owner = platform::ScopedEffectiveIdentity::AssumeOwnerOf(st_);
    if (!owner) {
      made.status_ = FolderStatus::kRefused;
      return made;
    }
    // EEXIST: another process made it meanwhile; it is judged like any other.
    if (mkdirat(fd_.get(), missingName_.c_str(), 0755) != 0 && errno != EEXIST) return made;
  }
  made.fd_ = ScopedFd(openat(fd_.get(), missingName_.c_str(), kFolderFlags));
  if (!made.fd_.valid() || fstat(made.fd_.get(), &made.st_) != 0) return made;
  // Whoever else can write the folder above may have put something else at
  // the name since: only a folder as it was made, empty and of that folder's
  // owner, is used. In a root-owned folder, the owner cannot tell root's
  // other folders apart; the emptiness can.
  const bool empty = ForEachEntry(made.fd_.get(), [](const char*, unsigned char) { return false; });
  if (made.st_.st_uid != st_.st_uid || !empty) {
    made.status_ = FolderStatus::kReplaced;
    return made;
  }
  made.status_ = FolderStatus::kOpened;
  return made;
}

std::optional<struct stat> SafeFolder::attributesAt(const std::string& name) const {
  struct stat st;
  if (fstatat(fd_.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
  return st;
}

std::optional<std::string> SafeFolder::readLinkAt(const std::string& name) const {
  char content[PATH_MAX];
  const ssize_t n = readlinkat(fd_.get(), name.c_str(), content, sizeof content);
  if (n < 0 || static_cast<size_t>(n) >= sizeof content) return std::nullopt;
  return std::string(content, static_cast<size_t>(n));
}

FsResult SafeFolder::makeLinkAt(const std::string& name, const std::string& target) const {
  auto owner = platform::ScopedEffectiveIdentity::AssumeOwnerOf(st_);
  if (!owner) return FsResult::Fail("act as the owner of", path_, errno);
  if (symlinkat(target.c_str(), fd_.get(), name.c_str()) != 0) {
    return FsResult::Fail("symlink", path_ + "/" + name, errno);
  }
  return FsResult::Ok();
}

FsResult SafeFolder::removeItemAt(const std::string& name) const {
  return RemoveItemAsOwnersAt(fd_.get(), name, path_ + "/" + name);
}

ScopedFd SafeFolder::openForEditAt(const std::string& name) const {
  return ScopedFd(
      openat(fd_.get(), name.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
}

FsResult SafeFolder::rewriteFileAt(const std::string& name, int fd, std::string_view data,
                                   mode_t mode) const {
  AtomicWriteOptions options;
  options.permissions = mode;
  const std::string path = path_ + "/" + name;
  if (WriteFileAtomicallyAt(fd_.get(), name, data, options, path)) return FsResult::Ok();
  // A folder that cannot take a rename (someone else's): in place, whole.
  if (pwrite(fd, data.data(), data.size(), 0) != static_cast<ssize_t>(data.size()) ||
      ftruncate(fd, static_cast<off_t>(data.size())) != 0) {
    return FsResult::Fail("write", path, errno);
  }
  // As every durable write: to the medium, not only to the drive's cache.
  if (const int error = platform::FlushToStorage(fd)) {
    return FsResult::Fail("write", path, error);
  }
  return FsResult::Ok();
}

std::optional<std::string> WhyNotRootOnly(const std::string& root, const std::string& path) {
  // Every folder from the root down, then the file itself.
  std::string checked = root.empty() ? "/" : root;
  const std::string rest = path.substr(root.size());
  for (size_t pos = 0;;) {
    struct stat st;
    if (lstat(checked.c_str(), &st) != 0) return "cannot examine " + checked;
    const bool last = checked == path;
    if (!platform::IsRootOnly(st) || (last ? !S_ISREG(st.st_mode) : !S_ISDIR(st.st_mode))) {
      return checked + " is not a root-owned " + (last ? "file" : "folder") +
             " writable only by root";
    }
    if (last) return std::nullopt;
    pos = rest.find('/', pos + 1);
    checked = root + rest.substr(0, pos);
    if (checked.empty()) return "cannot examine " + path;
  }
}

}  // namespace vq
