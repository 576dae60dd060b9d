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

}  // namespace

std::unique_ptr<ScopedEffectiveIdentity> ScopedEffectiveIdentity::Assume(uid_t uid, gid_t gid) {
  auto scope = std::make_unique<ScopedEffectiveIdentity>(Token{});
  const Original& original = OriginalIdentity();
  if (original.uid != 0) {
    // Without root there is nothing to switch, only a user to be already.
    if (original.uid != uid) return nullptr;
    return scope;
  }
  if (!original.readable) return nullptr;
  scope->saved_uid_ = original.uid;
  scope->saved_gid_ = original.gid;
  scope->saved_groups_ = original.groups;

  if (setgroups(1, &gid) != 0) return nullptr;
  if (setegid(gid) != 0) {
    (void)!setgroups(static_cast<int>(scope->saved_groups_.size()), scope->saved_groups_.data());
    return nullptr;
  }
  if (seteuid(uid) != 0) {
    (void)!setegid(scope->saved_gid_);
    (void)!setgroups(static_cast<int>(scope->saved_groups_.size()), scope->saved_groups_.data());
    return nullptr;
  }
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
