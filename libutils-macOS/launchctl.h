// launchd's domain subcommands, run through "/bin/launchctl". The domain
// "system" (exactly so) is the system domain; any other domain is a per-user
// kind combined with the uid ("gui/501"). The argument vectors are built by
// pure functions, apart from running them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/logger.h"

inline constexpr char vqLaunchctlPath[] = "/bin/launchctl";

namespace vq {

// Owned words and the null-terminated pointer vector execve takes.
class ArgumentVector {
 public:
  explicit ArgumentVector(std::vector<std::string> words);
  ArgumentVector(const ArgumentVector&) = delete;
  ArgumentVector& operator=(const ArgumentVector&) = delete;
  ArgumentVector(ArgumentVector&& other) noexcept;
  ArgumentVector& operator=(ArgumentVector&&) = delete;

  char* const* argv() const { return pointers_.data(); }
  const std::vector<std::string>& words() const { return words_; }

 private:
  void point();
  std::vector<std::string> words_;
  std::vector<char*> pointers_;
};

// "launchctl" verb <domain-target> path, for "bootstrap" and "bootout";
// nothing when the target would not fit launchctl's limit.
std::optional<ArgumentVector> LaunchctlStrapArguments(const char* verb, const char* domain,
                                                      uint32_t uid, const char* path);
// "launchctl" "kickstart" <service-target>.
std::optional<ArgumentVector> LaunchctlKickstartArguments(const char* domain, uint32_t uid,
                                                          const char* label);
// Whether what a legacy subcommand ("load", "unload") printed says it failed:
// they print their failure ("Load failed: 5: Input/output error", "<path>:
// service already loaded", "<path>: Invalid property list", ...) and often
// still exit 0. A warning alone is not a failure.
bool LaunchctlOutputReportsFailure(std::string_view output);
// Whether it says the job was loaded already (so unloading it first may help).
bool LaunchctlOutputReportsLoaded(std::string_view output);

// The legacy subcommands of the system domain.
ArgumentVector LaunchctlLoadArguments(const std::string& path);
ArgumentVector LaunchctlUnloadArguments(const std::string& path);
ArgumentVector LaunchctlStartArguments(const char* label);
// "launchctl" "print" <target>: what launchd holds of a domain or a job.
ArgumentVector LaunchctlPrintArguments(const std::string& target);
// The exit status of "launchctl print" for a job launchd does not have.
inline constexpr int kLaunchctlNoSuchJob = 113;

}  // namespace vq

// Each runs the program at `launchctl`: /bin/launchctl, or where the
// installed locations put it under another root.

// "launchctl" "bootstrap" <domain-target> <path>
bool vq_launchctl_bootstrap(vq::Logger& logger, const char* domain, uint32_t uid, const char* path,
                            const char* launchctl = vqLaunchctlPath);
// "launchctl" "bootout" <domain-target> <path>
bool vq_launchctl_bootout(vq::Logger& logger, const char* domain, uint32_t uid, const char* path,
                          const char* launchctl = vqLaunchctlPath);
// "launchctl" "kickstart" <service-target>
bool vq_launchctl_kickstart(vq::Logger& logger, const char* domain, uint32_t uid, const char* label,
                            const char* launchctl = vqLaunchctlPath);
