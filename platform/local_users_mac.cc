#include <ApplicationServices/ApplicationServices.h>
#include <CoreServices/CoreServices.h>
#include <pwd.h>

#include <vector>

#include "platform/local_users.h"

namespace vq::platform {
namespace {

std::optional<std::string> Utf8(CFStringRef text) {
  if (text == nullptr) return std::nullopt;
  const CFIndex size =
      CFStringGetMaximumSizeForEncoding(CFStringGetLength(text), kCFStringEncodingUTF8) + 1;
  std::vector<char> buffer(static_cast<size_t>(size), '\0');
  if (!CFStringGetCString(text, buffer.data(), size, kCFStringEncodingUTF8)) return std::nullopt;
  return std::string(buffer.data());
}

}  // namespace

LocalIdentityQuery QueryLocalUserIdentities() {
  LocalIdentityQuery out;
  CSIdentityQueryRef query = CSIdentityQueryCreate(kCFAllocatorDefault, kCSIdentityClassUser,
                                                   CSGetLocalIdentityAuthority());
  if (query == nullptr) return out;
  out.created = true;
  // No flags: hidden identities stay out and no update events are requested.
  if (CSIdentityQueryExecute(query, 0, nullptr)) {
    out.executed = true;
    if (CFArrayRef results = CSIdentityQueryCopyResults(query)) {
      for (CFIndex i = 0; i < CFArrayGetCount(results); ++i) {
        auto identity =
            static_cast<CSIdentityRef>(const_cast<void*>(CFArrayGetValueAtIndex(results, i)));
        out.posixNames.push_back(Utf8(CSIdentityGetPosixName(identity)));
      }
      CFRelease(results);
    }
  }
  CFRelease(query);
  return out;
}

std::optional<PosixAccount> LookupAccount(const std::string& name) {
  const passwd* entry = getpwnam(name.c_str());
  if (entry == nullptr || entry->pw_dir == nullptr) return std::nullopt;
  return PosixAccount{static_cast<uint32_t>(entry->pw_uid), static_cast<uint32_t>(entry->pw_gid),
                      name, entry->pw_dir, entry->pw_shell != nullptr ? entry->pw_shell : ""};
}

bool IsConsoleUser() {
  CFDictionaryRef session = CGSessionCopyCurrentDictionary();
  if (session == nullptr) return false;
  bool on_console = false;
  const void* value = CFDictionaryGetValue(session, CFSTR("kCGSSessionOnConsoleKey"));
  if (value != nullptr && CFGetTypeID(value) == CFBooleanGetTypeID()) {
    on_console = CFBooleanGetValue(static_cast<CFBooleanRef>(value));
  }
  CFRelease(session);
  return on_console;
}

// Account visibility is the identity service's business on macOS.
LoginUidRange ParseLoginDefs(std::string_view) { return {}; }
bool IsVisibleAccount(const PosixAccount&, const LoginUidRange&) { return true; }

}  // namespace vq::platform
