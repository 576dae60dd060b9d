#include "libutils-macOS/launchctl.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/capture_logger.h"
#include "tests/support/temp_root.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using vq::CaptureLogger;
using vq::LogRecord;
using vq::LogType;

using Call = std::vector<std::string>;

constexpr char kPlist[] = "/Library/LaunchAgents/com.quendalore.ks2.ws.plist";
constexpr char kLabel[] = "com.quendalore.ks2.ws";

class LaunchctlTest : public ::testing::Test {
 protected:
  void SetUp() override { root.installLaunchctlDouble(); }

  std::string program() const { return root.at("/bin/launchctl"); }

  vq::testing::TempRoot root;
  CaptureLogger log;
};

// --- Argument vectors --------------------------------------------------------------

TEST_F(LaunchctlTest, PerUserDomainTargetsCarryTheUid) {
  EXPECT_TRUE(vq_launchctl_bootstrap(log, "gui", 501, kPlist));
  EXPECT_TRUE(vq_launchctl_kickstart(log, "gui", 501, kLabel));
  EXPECT_TRUE(vq_launchctl_bootout(log, "gui", 501, kPlist));
  EXPECT_THAT(root.launchctlCalls(),
              ElementsAre(Call{"launchctl", "bootstrap", "gui/501", kPlist},
                          Call{"launchctl", "kickstart", "gui/501/com.quendalore.ks2.ws"},
                          Call{"launchctl", "bootout", "gui/501", kPlist}));
  EXPECT_THAT(log.records(), IsEmpty());
}

TEST_F(LaunchctlTest, SystemDomainTargetsHaveNoUid) {
  EXPECT_TRUE(vq_launchctl_bootstrap(log, "system", 501, kPlist));
  EXPECT_TRUE(vq_launchctl_bootout(log, "system", 0, kPlist));
  EXPECT_TRUE(vq_launchctl_kickstart(log, "system", 501, kLabel));
  EXPECT_THAT(root.launchctlCalls(),
              ElementsAre(Call{"launchctl", "bootstrap", "system", kPlist},
                          Call{"launchctl", "bootout", "system", kPlist},
                          Call{"launchctl", "kickstart", "system/com.quendalore.ks2.ws"}));
}

TEST_F(LaunchctlTest, OnlyTheExactWordSystemIsTheSystemDomain) {
  EXPECT_TRUE(vq_launchctl_bootstrap(log, "System", 501, kPlist));
  EXPECT_TRUE(vq_launchctl_kickstart(log, "SYSTEM", 501, kLabel));
  EXPECT_TRUE(vq_launchctl_bootout(log, "system ", 501, kPlist));
  EXPECT_THAT(root.launchctlCalls(),
              ElementsAre(Call{"launchctl", "bootstrap", "System/501", kPlist},
                          Call{"launchctl", "kickstart", "SYSTEM/501/com.quendalore.ks2.ws"},
                          Call{"launchctl", "bootout", "system /501", kPlist}));
}

TEST_F(LaunchctlTest, LargestUidIsPrintedUnsigned) {
  EXPECT_TRUE(vq_launchctl_bootstrap(log, "gui", 4294967295u, kPlist));
  EXPECT_TRUE(vq_launchctl_kickstart(log, "user", 0, kLabel));
  EXPECT_THAT(root.launchctlCalls(),
              ElementsAre(Call{"launchctl", "bootstrap", "gui/4294967295", kPlist},
                          Call{"launchctl", "kickstart", "user/0/com.quendalore.ks2.ws"}));
}

TEST_F(LaunchctlTest, PathsWithSpacesStayOneArgument) {
  const std::string path = "/Library/Launch Agents/a b.plist";
  EXPECT_TRUE(vq_launchctl_bootstrap(log, "gui", 501, path.c_str()));
  EXPECT_THAT(root.launchctlCalls(), ElementsAre(Call{"launchctl", "bootstrap", "gui/501", path}));
}

// --- Failures ------------------------------------------------------------------------

TEST_F(LaunchctlTest, RefusalByLaunchctlIsFalseWithCodeAndOutputAtDebugLevel) {
  root.setLaunchctlAnswer("bootstrap", 5, "Bootstrap failed: 5: Input/output error\n");
  root.setLaunchctlAnswer("kickstart", 113, "Could not find service \"x\" in domain for user\n");
  EXPECT_FALSE(vq_launchctl_bootstrap(log, "gui", 501, kPlist));
  EXPECT_FALSE(vq_launchctl_kickstart(log, "gui", 501, kLabel));
  EXPECT_TRUE(vq_launchctl_bootout(log, "gui", 501, kPlist));
  EXPECT_THAT(
      log.records(),
      ElementsAre(
          LogRecord{LogType::kDebug, program() + " exited with 5"},
          LogRecord{LogType::kDebug, "output: Bootstrap failed: 5: Input/output error"},
          LogRecord{LogType::kDebug, program() + " exited with 113"},
          LogRecord{LogType::kDebug, "output: Could not find service \"x\" in domain for user"}));
  EXPECT_EQ(root.launchctlCalls().size(), 3u) << "no retries";
}

TEST_F(LaunchctlTest, OverLongTargetIsAnErrorAndRunsNothing) {
  const std::string domain(4096, 'g');
  const std::string label(4096, 'l');
  EXPECT_FALSE(vq_launchctl_bootstrap(log, domain.c_str(), 501, kPlist));
  EXPECT_FALSE(vq_launchctl_bootout(log, domain.c_str(), 501, kPlist));
  EXPECT_FALSE(vq_launchctl_kickstart(log, domain.c_str(), 501, kLabel));
  EXPECT_FALSE(vq_launchctl_kickstart(log, "gui", 501, label.c_str()));
  EXPECT_FALSE(vq_launchctl_kickstart(log, "system", 501, label.c_str()));
  const LogRecord error{LogType::kError, "cannot compose domain-target"};
  EXPECT_THAT(log.records(), ElementsAre(error, error, error, error, error));
  EXPECT_THAT(root.launchctlCalls(), IsEmpty());
}

TEST_F(LaunchctlTest, LongPathIsPassedWhole) {
  // Only the target is composed; the path goes through as it is.
  const std::string path = "/Library/LaunchAgents/" + std::string(3000, 'p') + ".plist";
  EXPECT_TRUE(vq_launchctl_bootstrap(log, "system", 0, path.c_str()));
  EXPECT_THAT(root.launchctlCalls(), ElementsAre(Call{"launchctl", "bootstrap", "system", path}));
}

TEST(LaunchctlMissingTest, MissingLaunchctlFailsLikeAMissingProgram) {
  vq::testing::TempRoot root;  // no launchctl inside
  CaptureLogger log;
  EXPECT_FALSE(vq_launchctl_kickstart(log, "gui", 501, kLabel));
  EXPECT_THAT(log.records(), ElementsAre(LogRecord{LogType::kError, "cannot execute process"},
                                         LogRecord{LogType::kDebug,
                                                   root.at("/bin/launchctl") + " exited with 2"}));
}

}  // namespace
