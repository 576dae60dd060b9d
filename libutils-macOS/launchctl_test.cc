#include "libutils-macOS/launchctl.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Words = std::vector<std::string>;

Words Of(const std::optional<vq::ArgumentVector>& arguments) {
  if (!arguments) return {"(none)"};
  Words words;
  for (char* const* p = arguments->argv(); *p != nullptr; ++p) words.emplace_back(*p);
  return words;
}

TEST(LaunchctlArguments, GoldenVectors) {
  const std::string longDomain(600, 'g');
  // clang-format off
  const std::vector<std::pair<Words, Words>> table = {
    {Of(vq::LaunchctlStrapArguments("bootstrap", "gui", 501, "/L/a.plist")),
     {"launchctl", "bootstrap", "gui/501", "/L/a.plist"}},
    {Of(vq::LaunchctlStrapArguments("bootout", "gui", 0, "/L/a.plist")),
     {"launchctl", "bootout", "gui/0", "/L/a.plist"}},
    {Of(vq::LaunchctlStrapArguments("bootstrap", "system", 501, "/L/d.plist")),
     {"launchctl", "bootstrap", "system", "/L/d.plist"}},
    {Of(vq::LaunchctlStrapArguments("bootstrap", "System", 7, "/p")),
     {"launchctl", "bootstrap", "System/7", "/p"}},
    {Of(vq::LaunchctlKickstartArguments("gui", 4294967295u, "com.quendalore.ks2.ws")),
     {"launchctl", "kickstart", "gui/4294967295/com.quendalore.ks2.ws"}},
    {Of(vq::LaunchctlKickstartArguments("system", 3, "com.quendalore.ks2")),
     {"launchctl", "kickstart", "system/com.quendalore.ks2"}},
    {Of(vq::LaunchctlKickstartArguments(longDomain.c_str(), 1, "x")), {"(none)"}},
    {Of(vq::LaunchctlStrapArguments("bootout", longDomain.c_str(), 1, "/p")), {"(none)"}},
    {Of(vq::LaunchctlLoadArguments("/Library/LaunchDaemons/com.quendalore.ks2.plist")),
     {"launchctl", "load", "/Library/LaunchDaemons/com.quendalore.ks2.plist"}},
    {Of(vq::LaunchctlUnloadArguments("/Library/LaunchDaemons/x.plist")),
     {"launchctl", "unload", "/Library/LaunchDaemons/x.plist"}},
    {Of(vq::LaunchctlStartArguments("com.quendalore.ks2")),
     {"launchctl", "start", "com.quendalore.ks2"}},
  };
  // clang-format on
  for (size_t i = 0; i < table.size(); ++i)
    EXPECT_EQ(table[i].first, table[i].second) << "row " << i;
}

}  // namespace
