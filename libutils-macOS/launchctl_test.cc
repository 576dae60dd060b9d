#include "libutils-macOS/launchctl.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace {

using namespace vq;

// The words joined by '|'; "(none)" when there is no vector.
std::string Of(const std::optional<ArgumentVector>& arguments) {
  if (!arguments) return "(none)";
  std::string words;
  for (char* const* p = arguments->argv(); *p != nullptr; ++p)
    words += (words.empty() ? "" : "|") + std::string(*p);
  return words;
}

TEST(LaunchctlArguments, GoldenVectors) {
  const std::string longDomain(600, 'g');
  // clang-format off
  const std::vector<std::pair<std::string, std::string>> table = {
    {Of(LaunchctlStrapArguments("bootstrap", "gui", 501, "/L/a.plist")), "launchctl|bootstrap|gui/501|/L/a.plist"},
    {Of(LaunchctlStrapArguments("bootout", "gui", 0, "/L/a.plist")), "launchctl|bootout|gui/0|/L/a.plist"},
    {Of(LaunchctlStrapArguments("bootstrap", "system", 501, "/L/d.plist")), "launchctl|bootstrap|system|/L/d.plist"},
    {Of(LaunchctlStrapArguments("bootstrap", "System", 7, "/p")), "launchctl|bootstrap|System/7|/p"},
    {Of(LaunchctlKickstartArguments("gui", 4294967295u, "com.quendalore.ks2.ws")), "launchctl|kickstart|gui/4294967295/com.quendalore.ks2.ws"},
    {Of(LaunchctlKickstartArguments("system", 3, "com.quendalore.ks2")), "launchctl|kickstart|system/com.quendalore.ks2"},
    {Of(LaunchctlKickstartArguments(longDomain.c_str(), 1, "x")), "(none)"},
    {Of(LaunchctlStrapArguments("bootout", longDomain.c_str(), 1, "/p")), "(none)"},
    {Of(LaunchctlLoadArguments("/Library/LaunchDaemons/com.quendalore.ks2.plist")), "launchctl|load|/Library/LaunchDaemons/com.quendalore.ks2.plist"},
    {Of(LaunchctlUnloadArguments("/Library/LaunchDaemons/x.plist")), "launchctl|unload|/Library/LaunchDaemons/x.plist"},
    {Of(LaunchctlStartArguments("com.quendalore.ks2")), "launchctl|start|com.quendalore.ks2"},
  };
  // clang-format on
  for (size_t i = 0; i < table.size(); ++i)
    EXPECT_EQ(table[i].first, table[i].second) << "row " << i;
}

TEST(LaunchctlOutput, LegacyFailuresThatExitZero) {
  // output, reports a failure, says the job was loaded already
  const std::vector<std::tuple<std::string, bool, bool>> rows = {
      {"", false, false},
      {"Warning: Expecting a LaunchDaemons path since the command was ran as root. Got "
       "LaunchAgents instead.\n`launchctl bootstrap` is a recommended alternative.",
       false, false},
      {"Load failed: 5: Input/output error\nTry running `launchctl bootstrap` as root for "
       "richer errors.",
       true, true},
      {"/Library/LaunchDaemons/a.plist: service already loaded", true, true},
      {"/Library/LaunchDaemons/a.plist: Invalid property list", true, false},
      {"/Library/LaunchDaemons/a.plist: Path had bad ownership/permissions", true, false},
      {"Unload failed: 5: Input/output error", true, false},
      {"Could not find domain for ", true, false},
      {"launchctl: Error unloading: com.quendalore.ks2", true, false},
  };
  for (const auto& [output, failed, loaded] : rows) {
    EXPECT_EQ(vq::LaunchctlOutputReportsFailure(output), failed) << output;
    EXPECT_EQ(vq::LaunchctlOutputReportsLoaded(output), loaded) << output;
  }
}

}  // namespace
