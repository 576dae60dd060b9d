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
// caller's thread. For trees that only root can change.
FsResult RemoveItemAt(int dir_fd, const std::string& name, const std::string& path,
                      TaskPool* pool = nullptr);

// The same where others can change what a name stands for between two
// calls (a folder a user owns, or one root shares with a group): the
// entries of every such folder, `dir_fd` first, are removed with that
// folder's rights (platform::RightsIn), never with root's after a look. A
// user's folder is emptied with its owner's identity, so the kernel refuses
// whatever they could not remove; in a root-owned folder that others can
// write, only what is not a folder is unlinked. Runs on the caller's thread
// alone, since an identity is the whole process's.
FsResult RemoveItemAsOwnersAt(int dir_fd, const std::string& name, const std::string& path);

}  // namespace vq
