#include "libutils-macOS/launchctl.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "libutils-macOS/execve.h"
#include "platform/system_root.h"

namespace {

// Room for any real domain target; a longer one counts as not composable.
constexpr size_t kTargetCapacity = 512;

bool IsSystemDomain(const char* domain) { return std::strcmp(domain, "system") == 0; }

// snprintf's answer: the text was made only when it fitted whole.
bool Fits(int written) { return written >= 0 && static_cast<size_t>(written) < kTargetCapacity; }

bool RunLaunchctl(vq::Logger& logger, char* const argv[]) {
  const std::string program = vq::platform::Rooted(vqLaunchctlPath);
  return vq_execve(logger, program.c_str(), argv, false);
}

bool strap_out(vq::Logger& logger, const char* verb, const char* domain, uint32_t uid,
               const char* path) {
  char target[kTargetCapacity];
  char* argv[] = {const_cast<char*>("launchctl"), const_cast<char*>(verb), nullptr,
                  const_cast<char*>(path), nullptr};
  if (IsSystemDomain(domain)) {
    argv[2] = const_cast<char*>("system");
  } else {
    if (!Fits(std::snprintf(target, sizeof target, "%s/%u", domain, uid))) {
      VQ_LOG_ERROR(logger, "cannot compose domain-target");
      return false;
    }
    argv[2] = target;
  }
  return RunLaunchctl(logger, argv);
}

}  // namespace

bool vq_launchctl_bootstrap(vq::Logger& logger, const char* domain, uint32_t uid,
                            const char* path) {
  return strap_out(logger, "bootstrap", domain, uid, path);
}

bool vq_launchctl_bootout(vq::Logger& logger, const char* domain, uint32_t uid, const char* path) {
  return strap_out(logger, "bootout", domain, uid, path);
}

bool vq_launchctl_kickstart(vq::Logger& logger, const char* domain, uint32_t uid,
                            const char* label) {
  char target[kTargetCapacity];
  char* argv[] = {const_cast<char*>("launchctl"), const_cast<char*>("kickstart"), target, nullptr};
  const int written = IsSystemDomain(domain)
                          ? std::snprintf(target, sizeof target, "system/%s", label)
                          : std::snprintf(target, sizeof target, "%s/%u/%s", domain, uid, label);
  if (!Fits(written)) {
    VQ_LOG_ERROR(logger, "cannot compose domain-target");
    return false;
  }
  return RunLaunchctl(logger, argv);
}
