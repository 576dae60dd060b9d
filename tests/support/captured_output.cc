#include "tests/support/captured_output.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>

namespace vq::testing {

std::string CapturedOutput(int fd, const std::function<void()>& body) {
  std::fflush(nullptr);
  const int saved = dup(fd);
  char name[] = "/tmp/kestrun-output-XXXXXX";
  const int file = mkstemp(name);
  unlink(name);
  dup2(file, fd);
  body();
  std::fflush(nullptr);
  dup2(saved, fd);
  close(saved);
  std::string text;
  char buffer[4096];
  for (off_t offset = 0;;) {
    const ssize_t n = pread(file, buffer, sizeof buffer, offset);
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
    offset += n;
  }
  close(file);
  return text;
}

}  // namespace vq::testing
