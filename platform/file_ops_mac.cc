#include <copyfile.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/clonefile.h>
#include <unistd.h>

#include "platform/file_ops.h"

namespace vq::platform {

int CloneFileAt(int source_fd, const struct stat& st, int dest_dir_fd, const char* name) {
  // A clone would keep the source's file flags, which the copy leaves
  // behind; an immutable one could not be given its owner and mode.
  if (st.st_flags != 0) return ENOTSUP;
  // Without CLONE_NOOWNERCOPY a clone made by root keeps the source's owner.
  if (fclonefileat(source_fd, dest_dir_fd, name, CLONE_NOFOLLOW | CLONE_NOOWNERCOPY) != 0) {
    return errno != 0 ? errno : EIO;
  }
  return 0;
}

int CopyFileContents(int in, int out, const struct stat&) {
  // Data, extended attributes and ACLs. fcopyfile writes the data into `out`
  // (COPYFILE_CLONE applies to copyfile by path only); CloneFileAt is what
  // clones. The caller sets the mode, owner and times itself.
  if (fcopyfile(in, out, nullptr, COPYFILE_DATA | COPYFILE_XATTR | COPYFILE_ACL) != 0) {
    return errno != 0 ? errno : EIO;
  }
  return 0;
}

int FlushToStorage(int fd) {
  if (fcntl(fd, F_FULLFSYNC) == 0) return 0;
  // Refused by some file systems (network volumes, FAT): fsync is what they offer.
  return fsync(fd) == 0 ? 0 : errno;
}

}  // namespace vq::platform
