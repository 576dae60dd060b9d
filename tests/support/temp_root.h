// A throwaway system root under /tmp for unit tests: every compiled-in path
// of the tool lands below it while the object lives.
#pragma once

#include <memory>

#include "platform/system_root.h"
#include "tests/support/root_tree.h"

namespace vq::testing {

class TempRoot : public RootTree {
 public:
  TempRoot();
  ~TempRoot();
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;

 private:
  std::unique_ptr<platform::ScopedSystemRootForTesting> scope_;
};

}  // namespace vq::testing
