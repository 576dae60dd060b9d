// The process's file manager: the handful of file-system operations the tool
// is built on, with the semantics it relies on everywhere.
//
// - copyItem fails when the destination exists, follows a link given as the
//   source itself, and copies a tree as TreeCopier does (links as links,
//   modes, times and extended attributes kept, special files recreated).
// - removeItem removes a whole tree by descriptor (tree_removal.h): it never
//   follows a link, never leaves the file system it started on, and fails
//   when nothing is there.
// - createDirectory with intermediates succeeds on an existing directory and
//   fails on anything else; attributes apply to the directories it creates.
// - attributes are read without following a final link.
// - copyItem and removeItem spread the files of a tree over a few threads
//   (TaskPool).
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/fs_result.h"
#include "platform/scoped_fd.h"
#include "platform/tree_copier.h"

namespace vq {

enum class FileType { kRegular, kDirectory, kSymbolicLink, kOther };
FileType FileTypeOf(mode_t mode);

struct ItemAttributes {
  FileType type = FileType::kOther;
  mode_t permissions = 0;  // the low twelve mode bits
  uid_t owner = 0;
  gid_t group = 0;
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
};

struct CreateAttributes {
  std::optional<mode_t> permissions;
  std::optional<uid_t> owner;
  std::optional<gid_t> group;
};

// Whether createDirectory makes the missing folders above the last one too.
enum class Intermediates : bool { kNo, kYes };

// Yields every item below a directory as a path relative to it, parents
// before their children, without descending into linked directories.
class DirectoryEnumerator {
 public:
  explicit DirectoryEnumerator(ScopedFd root);
  std::optional<std::string> nextObject();
  // The owner and group of the item nextObject last gave, as the walk saw
  // them (the walk reads them anyway; a caller need not ask again).
  std::optional<std::pair<uid_t, gid_t>> lastOwner() const { return lastOwner_; }

 private:
  // A folder being listed, open, so that each item in it is looked up by
  // its name alone rather than by its whole path from the root.
  struct Frame {
    std::string relative;
    ScopedFd fd;
    std::vector<std::string> names;
    size_t next = 0;
  };
  static Frame Listed(std::string relative, ScopedFd fd);

  std::vector<Frame> stack_;
  std::optional<std::pair<uid_t, gid_t>> lastOwner_;
};

class FileManager {
 public:
  // The shared instance; callers treat a null answer as "no file manager".
  static FileManager* defaultManager();

  FsResult createDirectory(const std::string& path, Intermediates intermediates,
                           const CreateAttributes& attributes = {});
  FsResult copyItem(const std::string& source, const std::string& destination,
                    const CopyOptions& options = {});
  // Copies one regular file; a link or anything else at the source is refused.
  FsResult copyRegularFile(const std::string& source, const std::string& destination);
  FsResult removeItem(const std::string& path);
  // rename(2): replaces an empty directory or a file at the destination.
  FsResult renameItem(const std::string& source, const std::string& destination);
  // Sets owner and group of the item itself; a link gets them, never its target.
  FsResult setOwner(const std::string& path, uid_t owner, gid_t group);

  std::optional<ItemAttributes> attributesOfItem(const std::string& path) const;
  bool itemExists(const std::string& path) const;

  // Reads up to capacity bytes of a link's content; -1 when it cannot be read.
  long readSymbolicLink(const std::string& path, char* buffer, size_t capacity) const;

  std::unique_ptr<DirectoryEnumerator> enumeratorAtPath(const std::string& path) const;
  // The names directly inside a directory, sorted; nothing when it cannot be read.
  std::optional<std::vector<std::string>> contentsOfDirectory(const std::string& path) const;
};

}  // namespace vq
