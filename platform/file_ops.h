// The data-moving calls under the file manager, one backend per system:
// cloning a regular file where the system clones by name, copying a regular
// file's data and attributes between descriptors with the fastest means the
// file system offers, and flushing a file to stable storage.
#pragma once

#include <sys/stat.h>

namespace vq::platform {

// Makes `name` in `dest_dir_fd` a clone of the regular file `source_fd`
// (whose fstat is st), sharing its data: with its extended attributes and
// ACLs, and the owner and group that a file this process creates gets.
// Returns 0, or an errno value when no clone was made: ENOTSUP where files
// are not cloned this way, and whatever stopped it otherwise (another
// volume, a name already taken); the caller then copies instead.
int CloneFileAt(int source_fd, const struct stat& st, int dest_dir_fd, const char* name);

// Copies the data of `in` (a regular file of st.st_size bytes) to the empty
// file `out`, and the extended attributes where the file system keeps them.
// Falls back to plainer means where a faster one is refused. Returns 0 or an
// errno value.
int CopyFileContents(int in, int out, const struct stat& st);

// Makes the file's data durable: F_FULLFSYNC where the system has it (fsync
// there does not reach the medium), fsync otherwise. 0 or an errno value.
int FlushToStorage(int fd);

}  // namespace vq::platform
