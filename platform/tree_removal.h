// Removes an item, a folder with everything in it, by descriptor: every step
// is relative to an open folder, so a link swapped in anywhere below is
// removed as a link, never followed, and no mount point is crossed.
#pragma once

#include <string>

#include "platform/fs_result.h"

namespace vq {

class TaskPool;

// Removes the item `name` inside the open folder `dir_fd`; `path` names it
// in messages. Fails when nothing is there. With a pool, the files of each
// folder are unlinked on its threads; without, everything happens on the
// caller's thread, whose identity may be a user's.
FsResult RemoveItemAt(int dir_fd, const std::string& name, const std::string& path,
                      TaskPool* pool = nullptr);

}  // namespace vq
