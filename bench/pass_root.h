// A throwaway system root in the steady state of the service loop: the
// launchctl test double at /bin/launchctl, visible user accounts whose homes
// hold an already enabled Citrix module file, and the plug-in links already
// made. With clients present every location's folder exists and all twelve
// links are current; with clients missing only /usr/local/lib, /Applications
// and /Library exist, so three links are current and nine fail on every pass.
#pragma once

#include <memory>

#include "bench/discarding_logger.h"
#include "kestrun/ModInstaller.h"
#include "kestrun/UserAgent.h"
#include "tests/support/temp_root.h"

namespace vq::bench {

class PassRoot {
 public:
  // Builds the root and runs the passes that bring it to the steady state;
  // throws std::runtime_error when it cannot, or when a further pass would
  // still change something.
  PassRoot(int users, bool clientsPresent);

  VQKS2ModInstaller& mods() { return *mods_; }
  VQKS2UserAgent& agent() { return *agent_; }
  const std::string& path() const { return root_.path(); }
  // Locations whose link cannot be made, on every pass.
  int failingLinks() const { return failingLinks_; }

 private:
  void checkSteadyState();

  testing::TempRoot root_;
  int users_;
  bool clientsPresent_;
  int failingLinks_ = 0;
  DiscardingLogger logger_;
  std::unique_ptr<VQKS2ModInstaller> mods_;
  std::unique_ptr<VQKS2UserAgent> agent_;
};

}  // namespace vq::bench
