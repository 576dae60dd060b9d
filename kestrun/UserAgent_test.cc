#include "kestrun/UserAgent.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/capture_logger.h"
#include "tests/support/captured_output.h"
#include "tests/support/temp_root.h"

namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Not;
using vq::CaptureLogger;
using vq::LogRecord;
using vq::LogType;
using vq::testing::TempRoot;
using vq::testing::TestUser;

using Call = std::vector<std::string>;

constexpr char kAgentPlist[] = "/Library/LaunchAgents/com.quendalore.ks2.ws.plist";

template <typename Fn>
std::string Stdout(Fn fn) {
  return vq::testing::CapturedOutput(STDOUT_FILENO, fn);
}

class UserAgentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root.installLaunchctlDouble();
    root.makeDirs("/Library/LaunchAgents");
    root.writeUsers({alice, bob});
    agent = VQKS2UserAgent::initWithLogger(log);
    ASSERT_NE(agent, nullptr);
  }

  void TearDown() override {
    if (HasFailure()) std::cerr << "---- log ----\n" << log.dump();
  }

  Call bootstrap(uint32_t uid) const {
    return {"launchctl", "bootstrap", "gui/" + std::to_string(uid), root.at(kAgentPlist)};
  }
  Call kickstart(uint32_t uid) const {
    return {"launchctl", "kickstart", "gui/" + std::to_string(uid) + "/com.quendalore.ks2.ws"};
  }
  Call bootout(uint32_t uid) const {
    return {"launchctl", "bootout", "gui/" + std::to_string(uid), root.at(kAgentPlist)};
  }

  TempRoot root;
  CaptureLogger log;
  std::unique_ptr<VQKS2UserAgent> agent;
  const TestUser alice{"alice", 1001, 1001, root.at("/Users/alice")};
  const TestUser bob{"bob", 1002, 1002, root.at("/Users/bob")};
};

TEST_F(UserAgentTest, PropertyListLivesAmongTheSystemsLaunchAgents) {
  EXPECT_EQ(agent->propertyListPath(), root.at(kAgentPlist));
  EXPECT_THAT(log.records(), IsEmpty());
}

TEST_F(UserAgentTest, VerbosePassActivatesEveryUserAndPrintsOneLine) {
  EXPECT_EQ(Stdout([&] { agent->runOnceVerbose(true); }),
            "ws agent is activated for: alice bob.\n");
  EXPECT_THAT(root.launchctlCalls(),
              ElementsAre(bootstrap(1001), kickstart(1001), bootstrap(1002), kickstart(1002)));
}

TEST_F(UserAgentTest, FailedBootstrapIsFollowedByTheKickstartAnyway) {
  root.setLaunchctlAnswer("bootstrap", 5, "Bootstrap failed: 5: Input/output error\n");
  EXPECT_EQ(Stdout([&] { agent->runOnceVerbose(true); }),
            "ws agent is activated for: alice bob.\n");
  EXPECT_THAT(root.launchctlCalls(),
              ElementsAre(bootstrap(1001), kickstart(1001), bootstrap(1002), kickstart(1002)));

  // Everything failing changes nothing either.
  root.clearLaunchctlCalls();
  root.setLaunchctlAnswer("*", 1);
  EXPECT_EQ(Stdout([&] { agent->runOnceVerbose(true); }),
            "ws agent is activated for: alice bob.\n");
  EXPECT_EQ(root.launchctlCalls().size(), 4u);
}

TEST_F(UserAgentTest, KickstartTargetOfUid501) {
  root.writeUsers({{"macuser", 501, 20, root.at("/Users/macuser")}});
  root.writeFile("/etc/login.defs", "UID_MIN 500\nUID_MAX 60000\n");
  agent->runOnceVerbose(false);
  EXPECT_THAT(root.launchctlCalls(), ElementsAre(bootstrap(501), kickstart(501)));
  EXPECT_EQ(root.launchctlCalls()[1][2], "gui/501/com.quendalore.ks2.ws");
}

TEST_F(UserAgentTest, WithoutUsersTheLineHasOnlyItsFullStop) {
  root.writeUsers({});
  EXPECT_EQ(Stdout([&] { agent->runOnceVerbose(true); }), "ws agent is activated for:.\n");
  EXPECT_THAT(root.launchctlCalls(), IsEmpty());
}

TEST_F(UserAgentTest, SilentPassPrintsNothing) {
  EXPECT_EQ(Stdout([&] { agent->runOnceVerbose(false); }), "");
  EXPECT_THAT(root.launchctlCalls(),
              ElementsAre(bootstrap(1001), kickstart(1001), bootstrap(1002), kickstart(1002)));
}

TEST_F(UserAgentTest, InstallCopiesAndReplacesThePropertyList) {
  root.writeFile("/service/conf/com.quendalore.ks2.ws.plist", "<plist>new</plist>", 0640);
  EXPECT_TRUE(agent->install(root.at("/service")));
  EXPECT_EQ(root.readFile(kAgentPlist), "<plist>new</plist>");

  root.writeFile(kAgentPlist, "<plist>old</plist>");
  EXPECT_TRUE(agent->install(root.at("/service")));
  EXPECT_EQ(root.readFile(kAgentPlist), "<plist>new</plist>");
  EXPECT_EQ(root.readFile("/service/conf/com.quendalore.ks2.ws.plist"), "<plist>new</plist>");
  EXPECT_THAT(root.launchctlCalls(), IsEmpty());
  EXPECT_THAT(log.records(), IsEmpty());
}

TEST_F(UserAgentTest, InstallWithoutTheSourceFailsAndLeavesNoOldFile) {
  root.writeFile(kAgentPlist, "<plist>old</plist>");
  EXPECT_FALSE(agent->install(root.at("/service")));
  EXPECT_FALSE(root.exists(kAgentPlist));
  EXPECT_THAT(log.records(),
              ElementsAre(LogRecord{LogType::kError,
                                    "cannot install launchd plist file: copy " +
                                        root.at("/service/conf/com.quendalore.ks2.ws.plist") +
                                        ": No such file or directory"}));
}

TEST_F(UserAgentTest, RemoveBootsOutEveryUserAndDeletesTheFileWhateverLaunchctlSays) {
  root.writeFile(kAgentPlist, "<plist/>");
  root.setLaunchctlAnswer("bootout", 3, "Boot-out failed: 3: No such process\n");
  agent->remove();
  EXPECT_THAT(root.launchctlCalls(), ElementsAre(bootout(1001), bootout(1002)));
  EXPECT_FALSE(root.exists(kAgentPlist));
  EXPECT_THAT(log.texts(), Not(Contains("ws service removing failed, ignoring...")));

  // Nothing to delete is no failure either.
  root.clearLaunchctlCalls();
  agent->remove();
  EXPECT_THAT(root.launchctlCalls(), ElementsAre(bootout(1001), bootout(1002)));
}

}  // namespace
