#include <errno.h>
#include <grp.h>
#include <stdlib.h>
#include <unistd.h>

#include "platform/effective_identity.h"

namespace vq::platform {

namespace {

// The identity the process started with, read once: the service switches
// for every user on every pass, and only the switch itself must be paid.
struct Original {
  uid_t uid;
  gid_t gid;
  std::vector<gid_t> groups;
  bool readable;
};

const Original& OriginalIdentity() {
  static const Original original = [] {
    Original o{geteuid(), getegid(), {}, false};
    const int count = getgroups(0, nullptr);
    if (count < 0) return o;
    o.groups.resize(static_cast<size_t>(count));
    o.readable = getgroups(count, o.groups.data()) == count;
    return o;
  }();
  return original;
}

// Undoes the first steps of a switch that failed, keeping the failure's errno.
std::nullptr_t Undo(const Original& original, bool gid) {
  const int error = errno;
  if (gid) (void)!setegid(original.gid);
  (void)!setgroups(static_cast<int>(original.groups.size()), original.groups.data());
  errno = error;
  return nullptr;
}

}  // namespace

bool IsRootOnly(const struct stat& st) {
  return st.st_uid == 0 && (st.st_mode & S_IWOTH) == 0 &&
         ((st.st_mode & S_IWGRP) == 0 || st.st_gid == 0);
}

FolderRights RightsIn(const struct stat& folder) {
  if (geteuid() != 0 || IsRootOnly(folder)) return FolderRights::kOwn;
  return folder.st_uid != 0 ? FolderRights::kAsOwner : FolderRights::kNamesOnly;
}

std::unique_ptr<ScopedEffectiveIdentity> ScopedEffectiveIdentity::Assume(uid_t uid, gid_t gid) {
  auto scope = std::make_unique<ScopedEffectiveIdentity>(Token{});
  const Original& original = OriginalIdentity();
  if (original.uid != 0) {
    // Without root there is nothing to switch, only a user to be already.
    if (original.uid == uid) return scope;
    errno = EPERM;
    return nullptr;
  }
  if (!original.readable) {
    errno = EPERM;
    return nullptr;
  }
  scope->saved_uid_ = original.uid;
  scope->saved_gid_ = original.gid;
  scope->saved_groups_ = original.groups;

  if (setgroups(1, &gid) != 0) return nullptr;
  if (setegid(gid) != 0) return Undo(original, false);
  if (seteuid(uid) != 0) return Undo(original, true);
  scope->switched_ = true;
  return scope;
}

ScopedEffectiveIdentity::~ScopedEffectiveIdentity() {
  if (!switched_) return;
  // Going on as the wrong user would be worse than stopping.
  if (seteuid(saved_uid_) != 0 || setegid(saved_gid_) != 0 ||
      setgroups(static_cast<int>(saved_groups_.size()), saved_groups_.data()) != 0) {
    abort();
  }
}

}  // namespace vq::platform
