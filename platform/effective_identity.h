// Work done on a user's behalf runs with that user's rights: the effective
// uid and gid (and only that group) are the user's until the scope ends.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <memory>
#include <vector>

namespace vq::platform {

// Whether only root can change what the item holds: root's, no write for
// others, and group write only for group 0 (wheel), which holds root alone.
bool IsRootOnly(const struct stat& st);

// Whose rights this process uses to change names in a folder, so that no one
// else who can change the folder steers the work between two calls.
enum class FolderRights {
  kOwn,        // only root can change the folder, or this process is not root
  kAsOwner,    // its owner's, a user's: the kernel refuses what they could not do
  kNamesOnly,  // root's, with others able to write: root's rights are the owner's,
               // so only what cannot reach past the name (unlink a non-folder, create)
};
FolderRights RightsIn(const struct stat& folder);

class ScopedEffectiveIdentity {
 public:
  // Null, with errno set, when the identity cannot be taken on; nothing has
  // changed then. The identity is the process's: every thread has it.
  static std::unique_ptr<ScopedEffectiveIdentity> Assume(uid_t uid, gid_t gid);
  // The owner and group of a folder, for changes in it: what is made there
  // is theirs from the start.
  static std::unique_ptr<ScopedEffectiveIdentity> AssumeOwnerOf(const struct stat& folder) {
    return Assume(folder.st_uid, folder.st_gid);
  }
  ~ScopedEffectiveIdentity();

  ScopedEffectiveIdentity(const ScopedEffectiveIdentity&) = delete;
  ScopedEffectiveIdentity& operator=(const ScopedEffectiveIdentity&) = delete;

 private:
  struct Token {};

 public:
  explicit ScopedEffectiveIdentity(Token) {}

 private:
  bool switched_ = false;
  uid_t saved_uid_ = 0;
  gid_t saved_gid_ = 0;
  std::vector<gid_t> saved_groups_;
};

}  // namespace vq::platform
