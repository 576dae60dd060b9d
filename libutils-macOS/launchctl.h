// launchd's domain subcommands, run through "/bin/launchctl". The domain
// "system" (exactly so) is the system domain; any other domain is a per-user
// kind combined with the uid ("gui/501").
#pragma once

#include <cstdint>

#include "platform/logger.h"

inline constexpr char vqLaunchctlPath[] = "/bin/launchctl";

// "launchctl" "bootstrap" <domain-target> <path>
bool vq_launchctl_bootstrap(vq::Logger& logger, const char* domain, uint32_t uid, const char* path);
// "launchctl" "bootout" <domain-target> <path>
bool vq_launchctl_bootout(vq::Logger& logger, const char* domain, uint32_t uid, const char* path);
// "launchctl" "kickstart" <service-target>
bool vq_launchctl_kickstart(vq::Logger& logger, const char* domain, uint32_t uid,
                            const char* label);
