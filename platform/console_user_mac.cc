// The window server's dictionary of the session this process runs in. A
// daemon outside every graphical session gets none: nobody's console.
#include <CoreFoundation/CoreFoundation.h>
#include <CoreGraphics/CGSession.h>

#include "platform/local_users.h"

namespace vq::platform {

bool IsConsoleUser() {
  CFDictionaryRef session = CGSessionCopyCurrentDictionary();
  if (session == nullptr) return false;
  const void* value = CFDictionaryGetValue(session, kCGSessionOnConsoleKey);
  const bool onConsole = value != nullptr && CFGetTypeID(value) == CFBooleanGetTypeID() &&
                         CFBooleanGetValue(static_cast<CFBooleanRef>(value));
  CFRelease(session);
  return onConsole;
}

}  // namespace vq::platform
