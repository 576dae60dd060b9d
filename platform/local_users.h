// The local user accounts and the console session, as the operating system's
// identity services report them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vq::platform {

struct PosixAccount {
  uint32_t uid = 0;
  uint32_t gid = 0;
  std::string name;
  std::string home;
  std::string shell;
};

// What one query for the local user identities answered.
struct LocalIdentityQuery {
  bool created = false;   // the query object could be made
  bool executed = false;  // and run
  // One entry per identity, in the service's order; nothing where the
  // identity has no POSIX account name.
  std::vector<std::optional<std::string>> posixNames;
};

// Local user identities that a person could log in with; hidden ones excluded.
LocalIdentityQuery QueryLocalUserIdentities();
// The password database's entry for an account name.
std::optional<PosixAccount> LookupAccount(const std::string& name);
// Whether this process belongs to the session that owns the console.
bool IsConsoleUser();

// The POSIX backend's notion of a visible account: a uid within the login
// range of login.defs, a login shell, and no leading '_' in the name.
struct LoginUidRange {
  uint32_t min = 1000;
  uint32_t max = 60000;
};
LoginUidRange ParseLoginDefs(std::string_view text);
bool IsVisibleAccount(const PosixAccount& account, const LoginUidRange& range);

}  // namespace vq::platform
