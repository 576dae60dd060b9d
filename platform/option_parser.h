// getopt(3) that stops at the first word that is not an option and never
// reorders the vector, on every platform.
#pragma once

namespace vq::platform {

// Starts a fresh parse; the next call examines argv[1].
void ResetOptionParser();
int NextOption(int argc, char* const argv[], const char* options);

}  // namespace vq::platform
