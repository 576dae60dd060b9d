#include "platform/directory_stream.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

namespace vq {

DirectoryStream::DirectoryStream(int dir_fd) {
  const int copy = fcntl(dir_fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return;
  dir_.reset(fdopendir(copy));
  if (!dir_) {
    const int saved = errno;
    close(copy);
    errno = saved;
    return;
  }
  // From the first entry, wherever an earlier reading left the shared position.
  rewinddir(dir_.get());
}

void DirectoryStream::Closer::operator()(DIR* dir) const {
  const int saved = errno;
  closedir(dir);
  errno = saved;
}

const dirent* DirectoryStream::next() {
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir_.get());
    if (entry == nullptr) return nullptr;
    const char* name = entry->d_name;
    const bool dots = name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
    if (!dots) return entry;
  }
}

bool ReadSortedNames(int dir_fd, std::vector<std::string>* names) {
  const bool ok = ForEachEntry(dir_fd, [&](const char* name, unsigned char) {
    names->emplace_back(name);
    return true;
  });
  std::sort(names->begin(), names->end());
  return ok;
}

}  // namespace vq
