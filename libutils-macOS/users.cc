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

UserList UserList::Current() {
  UserList list;
  const platform::LocalIdentityQuery query = platform::QueryLocalUserIdentities();
  list.complete = query.created && query.executed;
  list.enumerated = EnumerateGUIAccounts(
      query, platform::LookupAccount,
      [&](const platform::PosixAccount& account) { list.accounts.push_back(account); });
  return list;
}

}  // namespace vq

bool vq_enum_GUI_users(vq::Logger&, const VQGUIUserCallback& callback) {
  const vq::UserList users = vq::UserList::Current();
  for (const vq::platform::PosixAccount& account : users.accounts) {
    callback(account.uid, account.name, account.home);
  }
  return users.enumerated;
}

bool vq_am_i_console_user() { return vq::platform::IsConsoleUser(); }
