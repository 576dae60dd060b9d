// Local accounts through the CoreServices identity service: the user
// identities of the local authority, without the hidden ones (root, daemon,
// _www and the like), each matched to its password entry by its POSIX name.
#include <CoreServices/CoreServices.h>
#include <pwd.h>

#include <memory>
#include <type_traits>
#include <vector>

#include "platform/local_users.h"

namespace vq::platform {
namespace {

struct CFReleaser {
  void operator()(CFTypeRef object) const { CFRelease(object); }
};
// Owns one reference of a Core Foundation object ("Create" and "Copy" results).
template <typename Ref>
using ScopedCF = std::unique_ptr<std::remove_pointer_t<Ref>, CFReleaser>;

std::optional<std::string> Utf8(CFStringRef text) {
  if (text == nullptr) return std::nullopt;
  const CFIndex size =
      CFStringGetMaximumSizeForEncoding(CFStringGetLength(text), kCFStringEncodingUTF8) + 1;
  if (size <= 1) return std::nullopt;
  std::vector<char> buffer(static_cast<size_t>(size), '\0');
  if (!CFStringGetCString(text, buffer.data(), size, kCFStringEncodingUTF8)) return std::nullopt;
  return std::string(buffer.data());
}

}  // namespace

LocalIdentityQuery QueryLocalUserIdentities() {
  LocalIdentityQuery out;
  ScopedCF<CSIdentityQueryRef> query(CSIdentityQueryCreate(
      kCFAllocatorDefault, kCSIdentityClassUser, CSGetLocalIdentityAuthority()));
  if (!query) return out;
  out.created = true;
  // Without kCSIdentityQueryIncludeHiddenIdentities hidden identities stay out;
  // without kCSIdentityQueryGenerateUpdateEvents the query runs once.
  if (!CSIdentityQueryExecute(query.get(), 0, nullptr)) return out;
  out.executed = true;
  ScopedCF<CFArrayRef> results(CSIdentityQueryCopyResults(query.get()));
  if (!results) return out;
  const CFIndex count = CFArrayGetCount(results.get());
  for (CFIndex i = 0; i < count; ++i) {
    const void* item = CFArrayGetValueAtIndex(results.get(), i);
    const auto identity = static_cast<CSIdentityRef>(const_cast<void*>(item));
    // A "Get" result: owned by the identity, not released here.
    out.posixNames.push_back(Utf8(CSIdentityGetPosixName(identity)));
  }
  return out;
}

std::optional<PosixAccount> LookupAccount(const std::string& name) {
  const passwd* entry = getpwnam(name.c_str());
  if (entry == nullptr || entry->pw_dir == nullptr) return std::nullopt;
  return PosixAccount{static_cast<uint32_t>(entry->pw_uid), static_cast<uint32_t>(entry->pw_gid),
                      name, entry->pw_dir, entry->pw_shell != nullptr ? entry->pw_shell : ""};
}

}  // namespace vq::platform
