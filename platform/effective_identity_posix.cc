#include <grp.h>
#include <stdlib.h>
#include <unistd.h>

#include "platform/effective_identity.h"

namespace vq::platform {

std::unique_ptr<ScopedEffectiveIdentity> ScopedEffectiveIdentity::Assume(uid_t uid, gid_t gid) {
  auto scope = std::make_unique<ScopedEffectiveIdentity>(Token{});
  const uid_t euid = geteuid();
  if (euid != 0) {
    // Without root there is nothing to switch, only a user to be already.
    if (euid != uid) return nullptr;
    return scope;
  }
  scope->saved_uid_ = euid;
  scope->saved_gid_ = getegid();
  const int count = getgroups(0, nullptr);
  if (count < 0) return nullptr;
  scope->saved_groups_.resize(static_cast<size_t>(count));
  if (getgroups(count, scope->saved_groups_.data()) != count) return nullptr;

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
