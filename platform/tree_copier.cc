#include "platform/tree_copier.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "platform/directory_stream.h"
#include "platform/file_ops.h"
#include "platform/file_times.h"
#include "platform/path.h"
#include "platform/task_pool.h"

namespace vq {
namespace {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// Every unfinished folder keeps a descriptor open: a deep tree is finished
// in parts.
constexpr size_t kMaxUnfinishedFolders = 64;

}  // namespace

FsResult TreeCopier::copyRegular(int source_fd, const struct stat& st, int dest_dir_fd,
                                 const char* name, const std::string& dest_path) const {
  // Where no clone can be made (another volume or file system, a name taken),
  // the copy below runs and reports its own failure.
  if (platform::CloneFileAt(source_fd, st, dest_dir_fd, name) == 0) {
    return finishClone(dest_dir_fd, name, st, dest_path);
  }
  ScopedFd out(openat(dest_dir_fd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                      st.st_mode & 0755));
  if (!out.valid()) return FsResult::Fail("copy", dest_path, errno);
  if (const int error = platform::CopyFileContents(source_fd, out.get(), st)) {
    return FsResult::Fail("copy", dest_path, error);
  }
  return finish(out.get(), st, dest_path);
}

FsResult TreeCopier::copyTree(ScopedFd source, const struct stat& st,
                              const std::string& source_path, int dest_parent_fd, const char* name,
                              const std::string& dest_path) {
  FsResult copied = copyDirectory(std::make_shared<const ScopedFd>(std::move(source)), st,
                                  source_path, dest_parent_fd, name, dest_path);
  FsResult flushed = flush();
  return copied ? std::move(flushed) : copied;
}

FsResult TreeCopier::copyDirectory(const SharedFd& source, const struct stat& st,
                                   const std::string& source_path, int dest_parent_fd,
                                   const char* name, const std::string& dest_path) {
  if (mkdirat(dest_parent_fd, name, 0700) != 0) return FsResult::Fail("copy", dest_path, errno);
  SharedFd dest = std::make_shared<const ScopedFd>(openat(dest_parent_fd, name, kDirFlags));
  if (!dest->valid()) return FsResult::Fail("copy", dest_path, errno);

  FsResult failure = FsResult::Ok();
  const bool listed = ForEachEntry(source->get(), [&](const char* child, unsigned char type) {
    failure = copyChild(source, child, type, JoinPath(source_path, child), dest,
                        JoinPath(dest_path, child));
    return failure.ok() && (pool_ == nullptr || !pool_->failed());
  });
  const int listError = errno;
  if (!failure) return failure;
  if (!listed && !(pool_ != nullptr && pool_->failed())) {
    return FsResult::Fail("copy", source_path, listError);
  }
  unfinished_.push_back({dest, st, dest_path});
  return unfinished_.size() < kMaxUnfinishedFolders ? FsResult::Ok() : flush();
}

FsResult TreeCopier::flush() {
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

FsResult TreeCopier::copyChild(const SharedFd& source, const char* name, unsigned char type,
                               const std::string& source_path, const SharedFd& dest,
                               const std::string& dest_path) {
  if (type == DT_REG) {
    if (pool_ == nullptr)
      return copyFileAt(source->get(), name, source_path, dest->get(), dest_path);
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
  if (S_ISREG(st.st_mode))
    return copyFileAt(source->get(), name, source_path, dest->get(), dest_path);
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

// A regular file, opened without following a link; anything else there now
// (a FIFO, a folder swapped in) is refused, never read.
FsResult TreeCopier::copyFileAt(int source_dir_fd, const char* name, const std::string& source_path,
                                int dest_dir_fd, const std::string& dest_path) const {
  ScopedFd fd(openat(source_dir_fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) return FsResult::Fail("copy", source_path, errno);
  struct stat opened;
  if (fstat(fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode)) {
    return FsResult::Fail("copy", source_path, EINVAL);
  }
  return copyRegular(fd.get(), opened, dest_dir_fd, name, dest_path);
}

// The clone is ours (owned by this process, one link, a regular file) unless
// someone who can write to the folder swapped it since: then nothing is
// changed on what is there now.
FsResult TreeCopier::finishClone(int dest_dir_fd, const char* name, const struct stat& st,
                                 const std::string& dest_path) const {
  ScopedFd made(openat(dest_dir_fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!made.valid()) return FsResult::Fail("copy", dest_path, errno);
  struct stat now;
  if (fstat(made.get(), &now) != 0) return FsResult::Fail("copy", dest_path, errno);
  if (!S_ISREG(now.st_mode) || now.st_nlink != 1 || now.st_uid != geteuid()) {
    return FsResult::Fail("copy", dest_path, EEXIST);
  }
  return finish(made.get(), st, dest_path);
}

std::pair<uid_t, gid_t> TreeCopier::ownerFor() const {
  return {options_.owner.value_or(static_cast<uid_t>(-1)),
          options_.group.value_or(static_cast<gid_t>(-1))};
}

// Owner first: chown clears set-id bits, which the mode then restores. What
// the new item already has (files are made with their permissions less write
// access for others, by the owner the copy usually wants) is not set again:
// each change is one more journaled write of the inode.
FsResult TreeCopier::finish(int fd, const struct stat& st, const std::string& dest_path) const {
  struct stat made;
  if (fstat(fd, &made) != 0) return FsResult::Fail("copy", dest_path, errno);
  const auto [owner, group] = ownerFor();
  const bool chown = (owner != static_cast<uid_t>(-1) && owner != made.st_uid) ||
                     (group != static_cast<gid_t>(-1) && group != made.st_gid);
  if (chown && fchown(fd, owner, group) != 0) return FsResult::Fail("chown", dest_path, errno);
  const mode_t mode = st.st_mode & 07777 & ~options_.withoutModes;
  if ((chown || (made.st_mode & 07777) != mode) && fchmod(fd, mode) != 0) {
    return FsResult::Fail("copy", dest_path, errno);
  }
  SetFileTimes(fd, st);
  return FsResult::Ok();
}

}  // namespace vq
