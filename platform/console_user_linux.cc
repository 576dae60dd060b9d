// logind records the user of the active session on the first seat; with no
// seat (a server, a container) nobody owns the console.
#include <unistd.h>

#include <fstream>
#include <string>

#include "platform/local_users.h"

namespace vq::platform {

bool IsConsoleUser() {
  std::ifstream seat("/run/systemd/seats/seat0");
  std::string line;
  while (std::getline(seat, line)) {
    if (line.rfind("ACTIVE_UID=", 0) == 0) {
      return line.substr(11) == std::to_string(getuid());
    }
  }
  return false;
}

}  // namespace vq::platform
