// Putting a launchd property list in place from the installed service.
#pragma once

#include <string>

#include "platform/file_manager.h"
#include "platform/logger.h"

// Replaces whatever stands at destination by a copy of the regular file at
// source, in one step: the copy is made beside the destination and renamed
// over it, so launchd never finds an empty or half-written list there, and a
// failed copy leaves nothing new behind. A link at the source is refused.
// Logs "cannot install launchd plist file: <cause>" on failure.
[[nodiscard]] vq::FsResult InstallLaunchdPlist(vq::Logger& logger, vq::FileManager& fm,
                                               const std::string& source,
                                               const std::string& destination);
