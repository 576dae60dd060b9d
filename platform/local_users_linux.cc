// Local accounts from the password file. Only local entries count, as with the
// local identity authority on macOS; directory-service users are not listed.
#include <errno.h>
#include <pwd.h>
#include <stdio.h>
#include <sys/stat.h>

#include <charconv>
#include <fstream>
#include <memory>
#include <sstream>
#include <unordered_map>
#include <vector>

#include "platform/local_users.h"
#include "platform/utf8.h"

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

// The password file as last read. The service asks for every user's entry on
// every pass; reading the file again only when it changed keeps a pass linear
// in the number of accounts.
struct PasswdSnapshot {
  bool readable = false;
  std::vector<PosixAccount> accounts;  // first entry of each name, in file order
  std::unordered_map<std::string, size_t> byName;
  // What identifies the file that was read.
  std::string path;
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = -1;
  struct timespec modified = {0, 0};
  struct timespec changed = {0, 0};
};

bool SameTime(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

PasswdSnapshot& LastPasswd() {
  static PasswdSnapshot snapshot;
  return snapshot;
}

const PasswdSnapshot& CurrentPasswd() {
  PasswdSnapshot& snapshot = LastPasswd();
  const std::string path = "/etc/passwd";
  struct stat st;
  const bool present = stat(path.c_str(), &st) == 0;
  if (present && snapshot.readable && snapshot.path == path && snapshot.device == st.st_dev &&
      snapshot.inode == st.st_ino && snapshot.size == st.st_size &&
      SameTime(snapshot.modified, st.st_mtim) && SameTime(snapshot.changed, st.st_ctim)) {
    return snapshot;
  }
  snapshot = PasswdSnapshot();
  snapshot.path = path;
  std::unique_ptr<FILE, FileCloser> file(fopen(path.c_str(), "re"));
  if (!file) return snapshot;
  struct stat opened;
  if (fstat(fileno(file.get()), &opened) != 0) return snapshot;
  snapshot.readable = true;
  snapshot.device = opened.st_dev;
  snapshot.inode = opened.st_ino;
  snapshot.size = opened.st_size;
  snapshot.modified = opened.st_mtim;
  snapshot.changed = opened.st_ctim;
  // fgetpwent ends with ENOENT at the end of the file; any other error means
  // the list is cut short, and a partial list is no list.
  errno = 0;
  while (passwd* entry = fgetpwent(file.get())) {
    PosixAccount account = FromEntry(*entry);
    // A home path that is not UTF-8 has no file-system path string on macOS.
    if (!IsValidUtf8(account.home) || !IsValidUtf8(account.name)) continue;
    // A name's first entry is the account, as every lookup by name finds it.
    if (snapshot.byName.count(account.name) != 0) continue;
    snapshot.byName.emplace(account.name, snapshot.accounts.size());
    snapshot.accounts.push_back(std::move(account));
    errno = 0;
  }
  if (errno != 0 && errno != ENOENT) snapshot = PasswdSnapshot();
  return snapshot;
}

// login.defs as last read, read again only when it changed.
LoginUidRange CurrentLoginRange() {
  static LoginUidRange range;
  static struct stat seen = {};
  static bool read = false;
  struct stat st = {};
  const bool present = stat("/etc/login.defs", &st) == 0;
  if (read && st.st_ino == seen.st_ino && st.st_dev == seen.st_dev && st.st_size == seen.st_size &&
      SameTime(st.st_mtim, seen.st_mtim) && SameTime(st.st_ctim, seen.st_ctim)) {
    return range;
  }
  std::string text;
  if (present) {
    std::ifstream defs("/etc/login.defs");
    std::stringstream content;
    content << defs.rdbuf();
    text = content.str();
  }
  range = ParseLoginDefs(text);
  seen = st;
  read = true;
  return range;
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
  const LoginUidRange range = CurrentLoginRange();
  const PasswdSnapshot& file = CurrentPasswd();
  query.executed = file.readable;
  for (const PosixAccount& account : file.accounts) {
    if (IsVisibleAccount(account, range)) query.posixNames.emplace_back(account.name);
  }
  return query;
}

std::optional<PosixAccount> LookupAccount(const std::string& name) {
  // Asked for the names the query just listed: the file read then serves.
  const PasswdSnapshot& file = LastPasswd().readable ? LastPasswd() : CurrentPasswd();
  const auto found = file.byName.find(name);
  if (found == file.byName.end()) return std::nullopt;
  return file.accounts[found->second];
}

}  // namespace vq::platform
