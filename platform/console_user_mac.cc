// The console belongs to whoever logged in at the login window: macOS makes
// that user the owner of /dev/console (root when nobody is logged in).
#include <sys/stat.h>
#include <unistd.h>

#include "platform/local_users.h"

namespace vq::platform {

bool IsConsoleUser() {
  struct stat st;
  return stat("/dev/console", &st) == 0 && st.st_uid != 0 && st.st_uid == getuid();
}

}  // namespace vq::platform
