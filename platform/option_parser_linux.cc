#include <getopt.h>
#include <unistd.h>

#include <string>

#include "platform/option_parser.h"

namespace vq::platform {

// optind 0 makes glibc reinitialise its internal state.
void ResetOptionParser() { optind = 0; }

// A leading '+' keeps glibc from permuting and stops at the first non-option.
int NextOption(int argc, char* const argv[], const char* options) {
  const std::string posix = std::string("+") + options;
  return getopt(argc, argv, posix.c_str());
}

}  // namespace vq::platform
