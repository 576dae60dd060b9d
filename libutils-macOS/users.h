// The local user accounts that may have a graphical login, logged in or not.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/local_users.h"
#include "platform/logger.h"

using VQGUIUserCallback =
    std::function<void(uint32_t uid, const std::string& name, const std::string& home)>;

// Calls the callback once per visible local user, in the identity service's
// order. False only when the identity query cannot be created. Logs nothing:
// the logger is taken as by every function of this layer. (The tool itself
// takes one UserList per pass.)
bool vq_enum_GUI_users(vq::Logger& logger, const VQGUIUserCallback& callback);

// Whether this process belongs to the login session that owns the console.
bool vq_am_i_console_user();

namespace vq {

using AccountCallback = std::function<void(const platform::PosixAccount& account)>;
using AccountLookup = std::function<std::optional<platform::PosixAccount>(const std::string&)>;

// The enumeration over one query's answer: identities without a POSIX name or
// without a password entry are skipped. Its result is vq_enum_GUI_users's.
bool EnumerateGUIAccounts(const platform::LocalIdentityQuery& query, const AccountLookup& lookup,
                          const AccountCallback& callback);

// One enumeration with the whole password entry (the group too) per user,
// taken once and shared by everything a pass or a removal does.
struct UserList {
  bool enumerated = false;  // false: the identity query could not be created
  bool complete = false;    // the query ran: every user is in the list
  std::vector<platform::PosixAccount> accounts;
  static UserList Current();
};

}  // namespace vq
