#include <unistd.h>

#include "platform/option_parser.h"

namespace vq::platform {

// BSD getopt restarts only with both optreset and optind set.
void ResetOptionParser() {
  optreset = 1;
  optind = 1;
}

// BSD getopt never permutes: it stops at the first word that is not an
// option, and a leading '+' would be an option letter, not a mode.
int NextOption(int argc, char* const argv[], const char* options) {
  return getopt(argc, argv, options);
}

}  // namespace vq::platform
