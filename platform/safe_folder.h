// A folder reached from the root one name at a time, each opened relative to
// the folder before it, and the operations the tool makes inside it, all
// relative to its descriptor. Nothing swapped in on the way can redirect work
// done in the folder afterwards, and no operation follows a final link.
//
// Links on the way are followed as the system would (Homebrew's opt/ links
// are links), with one restriction: once the walk has followed a link that a
// user can change, it may only enter that user's own folders and must end in
// one. A user's link can thus never lead root into a folder the user could
// not write.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

#include "platform/fs_result.h"
#include "platform/scoped_fd.h"

namespace vq {

enum class FolderStatus {
  kOpened,       // the folder is open
  kNameMissing,  // only the folder's own last name is absent
  kMissing,      // something further up is absent
  kUnsafe,       // a user's link would lead out of that user's own files
  kReplaced,     // a folder just made was swapped for someone else's item
  kRefused,      // the owner's identity, needed to work there, cannot be taken on
  kFailed,       // not a folder, no access, too many links
};

class SafeFolder {
 public:
  // Walks to an absolute path. With kNameMissing the folder above it is open,
  // so that makeMissingFolder can create the last level.
  static SafeFolder Open(const std::string& path);
  // Opens `relative` below the folder `base` without following any link
  // below base: for a user's own files, reached with that user's rights.
  static SafeFolder OpenBeneath(const std::string& base, const std::string& relative);

  FolderStatus status() const { return status_; }
  bool opened() const { return status_ == FolderStatus::kOpened; }
  int fd() const { return fd_.get(); }

  // Links, folders and removals are made with the identity of the folder's
  // owner and group (run as root): what is made belongs to them, and where
  // others can change the folder, the kernel refuses what its owner could
  // not do. A failure to take that identity on is an "act as the owner of"
  // failure.

  // Creates the missing last level (mode 0755) and opens it; anything but an
  // empty folder of the same owner at the name then is kReplaced.
  [[nodiscard]] SafeFolder makeMissingFolder() &&;

  std::optional<struct stat> attributesAt(const std::string& name) const;
  std::optional<std::string> readLinkAt(const std::string& name) const;
  FsResult makeLinkAt(const std::string& name, const std::string& target) const;
  // Removes the item; a folder with all it holds (RemoveItemAsOwnersAt): in
  // a root-owned folder that others can write, a folder is refused.
  FsResult removeItemAt(const std::string& name) const;
  // Opens a file inside for reading and writing, never through a link and
  // never waiting on a FIFO.
  ScopedFd openForEditAt(const std::string& name) const;
  // Replaces the file's content: atomically by rename where the folder
  // allows it, otherwise through `fd`, the file opened by openForEditAt.
  FsResult rewriteFileAt(const std::string& name, int fd, std::string_view data, mode_t mode) const;

 private:
  SafeFolder() = default;

  FolderStatus status_ = FolderStatus::kFailed;
  ScopedFd fd_;
  struct stat st_ = {};
  std::string missingName_;
  std::string path_;
  std::optional<uid_t> steeredBy_;
};

// Why root should not run the file at path: some folder from root down to it,
// or the file itself, is not root's or is writable by others
// (platform::IsRootOnly); nothing when it is safe.
std::optional<std::string> WhyNotRootOnly(const std::string& root, const std::string& path);

}  // namespace vq
