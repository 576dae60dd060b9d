// Copies access and modification times from a stat result onto a descriptor.
#pragma once

#include <sys/stat.h>

namespace vq {

inline void SetFileTimes(int fd, const struct stat& st) {
#if defined(__APPLE__)
  const struct timespec times[2] = {st.st_atimespec, st.st_mtimespec};
#else
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
#endif
  (void)futimens(fd, times);
}

}  // namespace vq
