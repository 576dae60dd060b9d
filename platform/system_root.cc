#include "platform/system_root.h"

#include <utility>

namespace vq::platform {
namespace {

std::string& Prefix() {
  static std::string prefix;
  return prefix;
}

}  // namespace

const std::string& SystemRoot() { return Prefix(); }

std::string Rooted(std::string_view absolute_path) {
  std::string out = Prefix();
  out.append(absolute_path);
  return out;
}

ScopedSystemRootForTesting::ScopedSystemRootForTesting(std::string prefix)
    : previous_(std::exchange(Prefix(), std::move(prefix))) {}

ScopedSystemRootForTesting::~ScopedSystemRootForTesting() { Prefix() = std::move(previous_); }

}  // namespace vq::platform
