#include <copyfile.h>
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "platform/file_ops.h"

namespace vq::platform {

int CopyFileContents(int in, int out, const struct stat&) {
  // Data, extended attributes and ACLs, cloned where the volume can; the
  // caller sets the mode, owner and times itself.
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
