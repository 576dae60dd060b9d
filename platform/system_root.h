// Every absolute path the tool uses is compiled in. Tests move the whole set
// under a temporary directory by setting this prefix; the tool never sets it.
#pragma once

#include <string>
#include <string_view>

namespace vq::platform {

const std::string& SystemRoot();

// The compiled-in absolute path as seen under the current prefix.
std::string Rooted(std::string_view absolute_path);

class ScopedSystemRootForTesting {
 public:
  explicit ScopedSystemRootForTesting(std::string prefix);
  ~ScopedSystemRootForTesting();
  ScopedSystemRootForTesting(const ScopedSystemRootForTesting&) = delete;
  ScopedSystemRootForTesting& operator=(const ScopedSystemRootForTesting&) = delete;

 private:
  std::string previous_;
};

}  // namespace vq::platform
