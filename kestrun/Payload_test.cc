// The sample payload is what a product ships: launchd must accept its
// property lists, and the names the tool relies on must be there.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <string>

#include "kestrun/ModInstaller.h"
#include "platform/property_list.h"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

const std::string kPayload = KESTRUN_PAYLOAD_SOURCE;
constexpr char kInstalled[] = "/Library/Application Support/com.quendalore/ks2";

TEST(Payload, DaemonRunsTheInstalledToolAsTheServiceLoop) {
  auto plist = vq::PropertyList::ReadDictionary(kPayload + "/conf/com.quendalore.ks2.plist");
  ASSERT_TRUE(plist.has_value());
  EXPECT_EQ(plist->stringForKey("Label"), "com.quendalore.ks2");
  // No argument: the installed tool runs its once-a-minute loop.
  EXPECT_THAT(plist->stringArrayForKey("ProgramArguments").value_or(std::vector<std::string>{}),
              ElementsAre(std::string(kInstalled) + "/bin/kestrun"));
  EXPECT_EQ(plist->boolForKey("KeepAlive"), true);
  EXPECT_EQ(plist->boolForKey("RunAtLoad"), true);
}

TEST(Payload, AgentRunsTheWsHelperInGraphicalSessions) {
  auto plist = vq::PropertyList::ReadDictionary(kPayload + "/conf/com.quendalore.ks2.ws.plist");
  ASSERT_TRUE(plist.has_value());
  EXPECT_EQ(plist->stringForKey("Label"), "com.quendalore.ks2.ws");
  EXPECT_EQ(plist->stringForKey("LimitLoadToSessionType"), "Aqua");
  const auto arguments = plist->stringArrayForKey("ProgramArguments");
  ASSERT_TRUE(arguments.has_value());
  ASSERT_EQ(arguments->size(), 1u);
  const std::string prefix = std::string(kInstalled) + "/";
  ASSERT_EQ(arguments->front().rfind(prefix, 0), 0u);
  struct stat st {};
  ASSERT_EQ(stat((kPayload + "/" + arguments->front().substr(prefix.size())).c_str(), &st), 0)
      << "the agent's program is not in the payload";
  EXPECT_NE(st.st_mode & 0111, 0u);
}

TEST(Payload, EveryLinkedFileIsThere) {
  VQKS2ModInstaller::forEachLocation([](const char*, const char* file, bool isModule) {
    struct stat st {};
    const std::string path = kPayload + (isModule ? "/modules/" : "/conf/") + file;
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
  });
  struct stat st {};
  ASSERT_EQ(stat((kPayload + "/modules/ica.bundle").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST(Payload, DcvManifestNamesTheExtension) {
  std::ifstream in(kPayload + "/conf/com.quendalore.dcvproxy.json");
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_THAT(text.str(), HasSubstr("\"name\": \"com.quendalore.dcvproxy\""));
  EXPECT_THAT(text.str(), HasSubstr("\"virtual_channel_namespace\": \"com.quendalore.dcvproxy\""));
}

}  // namespace
