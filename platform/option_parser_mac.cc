#include <unistd.h>

#include "platform/option_parser.h"

namespace vq::platform {

void ResetOptionParser() {
  optreset = 1;
  optind = 1;
}

// BSD getopt never permutes.
int NextOption(int argc, char* const argv[], const char* options) {
  return getopt(argc, argv, options);
}

}  // namespace vq::platform
