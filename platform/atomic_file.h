// Replaces a file in one step: the data goes to a temporary file in the same
// directory, which is flushed to storage and renamed over the old file; then
// the directory is synced. Whenever the process dies, the path names the old
// file or the new one, never a torn mixture.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

#include "platform/fs_result.h"

namespace vq {

struct AtomicWriteOptions {
  mode_t permissions = 0644;
  // Owner and group for the new file; unchanged (the writer's) when absent.
  std::optional<uid_t> owner;
  std::optional<gid_t> group;
  // Flush the file and its directory; off only where the platform's own
  // atomic write does not sync either.
  bool durable = true;
};

FsResult WriteFileAtomically(const std::string& path, std::string_view data,
                             const AtomicWriteOptions& options = {});
// The same inside an open folder; `path` only names it in messages.
FsResult WriteFileAtomicallyAt(int dir, const std::string& name, std::string_view data,
                               const AtomicWriteOptions& options, const std::string& path);
// Deletes a file and syncs its folder, so that the deletion survives a crash.
FsResult RemoveFileDurably(const std::string& path);

}  // namespace vq
