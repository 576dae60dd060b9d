// Local accounts from the password file. Only local entries count, as with the
// local identity authority on macOS; directory-service users are not listed.
#include <pwd.h>
#include <stdio.h>

#include <charconv>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>

#include "platform/local_users.h"
#include "platform/system_root.h"

namespace vq::platform {
namespace {

struct FileCloser {
  void operator()(FILE* file) const { fclose(file); }
};

PosixAccount FromEntry(const passwd& entry) {
  return {static_cast<uint32_t>(entry.pw_uid), static_cast<uint32_t>(entry.pw_gid),
          entry.pw_name != nullptr ? entry.pw_name : "",
          entry.pw_dir != nullptr ? entry.pw_dir : "",
          entry.pw_shell != nullptr ? entry.pw_shell : ""};
}

bool EndsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

template <typename Visitor>
bool ForEachPasswdEntry(Visitor visit) {
  std::unique_ptr<FILE, FileCloser> file(fopen(Rooted("/etc/passwd").c_str(), "re"));
  if (!file) return false;
  while (passwd* entry = fgetpwent(file.get())) {
    if (!visit(*entry)) break;
  }
  return true;
}

}  // namespace

LoginUidRange ParseLoginDefs(std::string_view text) {
  LoginUidRange range;
  std::istringstream lines{std::string(text)};
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string key, value;
    if (!(words >> key >> value) || key.empty() || key[0] == '#') continue;
    uint32_t number = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
    if (error != std::errc() || end != value.data() + value.size()) continue;
    if (key == "UID_MIN") range.min = number;
    if (key == "UID_MAX") range.max = number;
  }
  return range;
}

bool IsVisibleAccount(const PosixAccount& account, const LoginUidRange& range) {
  if (account.uid < range.min || account.uid > range.max) return false;
  if (EndsWith(account.shell, "nologin") || EndsWith(account.shell, "false")) return false;
  return !account.name.empty() && account.name[0] != '_';
}

LocalIdentityQuery QueryLocalUserIdentities() {
  LocalIdentityQuery query;
  query.created = true;
  std::ifstream defs(Rooted("/etc/login.defs"));
  std::stringstream text;
  text << defs.rdbuf();
  const LoginUidRange range = ParseLoginDefs(text.str());
  // A name's first entry is the account, as every lookup by name finds it;
  // later entries of the same name are neither listed nor judged.
  std::set<std::string> seen;
  query.executed = ForEachPasswdEntry([&](const passwd& entry) {
    const PosixAccount account = FromEntry(entry);
    if (!seen.insert(account.name).second) return true;
    if (IsVisibleAccount(account, range)) query.posixNames.emplace_back(account.name);
    return true;
  });
  return query;
}

std::optional<PosixAccount> LookupAccount(const std::string& name) {
  std::optional<PosixAccount> found;
  ForEachPasswdEntry([&](const passwd& entry) {
    if (entry.pw_name == nullptr || name != entry.pw_name) return true;
    found = FromEntry(entry);
    return false;
  });
  return found;
}

}  // namespace vq::platform
