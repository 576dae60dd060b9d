// Work done on a user's behalf runs with that user's rights: the effective
// uid and gid (and only that group) are the user's until the scope ends.
#pragma once

#include <sys/types.h>

#include <memory>
#include <vector>

namespace vq::platform {

class ScopedEffectiveIdentity {
 public:
  // Null when the identity cannot be taken on; nothing has changed then.
  static std::unique_ptr<ScopedEffectiveIdentity> Assume(uid_t uid, gid_t gid);
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
