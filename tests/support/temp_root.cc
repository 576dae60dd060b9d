#include "tests/support/temp_root.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <stdexcept>

namespace vq::testing {

TempRoot::TempRoot() {
  char name[] = "/tmp/kestrun-root-XXXXXX";
  if (mkdtemp(name) == nullptr) throw std::runtime_error("mkdtemp failed");
  chmod(name, 0755);
  path_ = name;
  scope_ = std::make_unique<platform::ScopedSystemRootForTesting>(path_);
}

TempRoot::~TempRoot() {
  scope_.reset();
  RemoveTree(path_);
}

}  // namespace vq::testing
