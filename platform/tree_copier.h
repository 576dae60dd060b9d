// Copies a tree, or one regular file, by descriptor: links inside a tree are
// copied as links, FIFOs and devices are recreated and never opened, and each
// new item gets its source's mode, times and extended attributes. With a
// pool, regular files are copied on its threads; folders get their modes and
// times once every file in them is written, since writing a file changes its
// folder's times. The first failure stops the copy.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/fs_result.h"
#include "platform/scoped_fd.h"

namespace vq {

class TaskPool;

struct CopyOptions {
  // Owner and group for every copied item, set on the new descriptor while
  // copying; absent: the copier's own.
  std::optional<uid_t> owner;
  std::optional<gid_t> group;
  // Mode bits no copied item gets, whatever its source has.
  mode_t withoutModes = 0;
};

class TreeCopier {
 public:
  TreeCopier(const CopyOptions& options, TaskPool* pool) : options_(options), pool_(pool) {}

  // The open regular file `source_fd` (whose fstat is st) into a new file
  // `name` inside `dest_dir_fd`; dest_path names it in messages.
  FsResult copyRegular(int source_fd, const struct stat& st, int dest_dir_fd, const char* name,
                       const std::string& dest_path) const;
  // The whole tree below the open folder `source` into the new folder `name`
  // inside `dest_parent_fd`, finished when this returns.
  FsResult copyTree(ScopedFd source, const struct stat& st, const std::string& source_path,
                    int dest_parent_fd, const char* name, const std::string& dest_path);

 private:
  using SharedFd = std::shared_ptr<const ScopedFd>;
  struct Unfinished {
    SharedFd fd;
    struct stat st;
    std::string path;
  };

  FsResult copyDirectory(const SharedFd& source, const struct stat& st,
                         const std::string& source_path, int dest_parent_fd, const char* name,
                         const std::string& dest_path);
  FsResult flush();
  FsResult copyChild(const SharedFd& source, const char* name, unsigned char type,
                     const std::string& source_path, const SharedFd& dest,
                     const std::string& dest_path);
  FsResult copyFileAt(int source_dir_fd, const char* name, const std::string& source_path,
                      int dest_dir_fd, const std::string& dest_path) const;
  // What a copied item gets: the options' owner and group, else the
  // copier's own (-1: left alone).
  std::pair<uid_t, gid_t> ownerFor() const;
  FsResult finishClone(int dest_dir_fd, const char* name, const struct stat& st,
                       const std::string& dest_path) const;
  FsResult finish(int fd, const struct stat& st, const std::string& dest_path) const;

  const CopyOptions options_;
  TaskPool* const pool_;
  std::vector<Unfinished> unfinished_;
};

}  // namespace vq
