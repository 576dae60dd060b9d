#include "libutils-macOS/users.h"

namespace vq {

bool EnumerateGUIAccounts(const platform::LocalIdentityQuery& query, const AccountLookup& lookup,
                          const AccountCallback& callback) {
  if (!query.created) return false;
  if (!query.executed) return true;
  for (const std::optional<std::string>& name : query.posixNames) {
    if (!name) continue;
    std::optional<platform::PosixAccount> account = lookup(*name);
    if (!account) continue;
    // The name is the identity's; uid, group and home come from the password entry.
    account->name = *name;
    callback(*account);
  }
  return true;
}

bool EnumerateGUIAccounts(const AccountCallback& callback) {
  return EnumerateGUIAccounts(platform::QueryLocalUserIdentities(), platform::LookupAccount,
                              callback);
}

UserList UserList::Current() {
  UserList list;
  list.enumerated =
      EnumerateGUIAccounts([&](const platform::PosixAccount& a) { list.accounts.push_back(a); });
  return list;
}

}  // namespace vq

bool vq_enum_GUI_users(vq::Logger& logger, const VQGUIUserCallback& callback) {
  (void)logger;
  return vq::EnumerateGUIAccounts([&](const vq::platform::PosixAccount& account) {
    callback(account.uid, account.name, account.home);
  });
}

bool vq_am_i_console_user() { return vq::platform::IsConsoleUser(); }
