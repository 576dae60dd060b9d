#include "platform/effective_identity.h"

#include <errno.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "tests/support/temp_root.h"

namespace vq::platform {
namespace {

using ::testing::ElementsAre;
using vq::testing::TempRoot;

constexpr uid_t kUser = 4321;
constexpr gid_t kUserGroup = 4322;

std::vector<gid_t> SupplementaryGroups() {
  std::vector<gid_t> groups(static_cast<size_t>(getgroups(0, nullptr)));
  groups.resize(static_cast<size_t>(getgroups(static_cast<int>(groups.size()), groups.data())));
  return groups;
}

// Opens a file for reading; the errno of the failure, or 0.
int OpenError(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  close(fd);
  return 0;
}

// Runs as root with a known set of supplementary groups, and puts the
// process's own set back afterwards.
class EffectiveIdentityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(geteuid(), 0u) << "these tests switch identities and need root";
    original_groups_ = SupplementaryGroups();
    const gid_t groups[] = {0, 27, 100};
    ASSERT_EQ(setgroups(3, groups), 0);
    root.writeFile("/root-only", "secret", 0600);
    root.writeFile("/users-file", "mine", 0600);
    ASSERT_EQ(chown(root.at("/users-file").c_str(), kUser, kUserGroup), 0);
    root.writeFile("/group-0-file", "staff", 0640);
  }
  void TearDown() override {
    EXPECT_EQ(geteuid(), 0u);
    EXPECT_EQ(getegid(), 0u);
    (void)!setgroups(original_groups_.size(), original_groups_.data());
  }

  TempRoot root;

 private:
  std::vector<gid_t> original_groups_;
};

TEST_F(EffectiveIdentityTest, InsideTheScopeTheProcessHasTheUsersRightsOnly) {
  auto scope = ScopedEffectiveIdentity::Assume(kUser, kUserGroup);
  ASSERT_NE(scope, nullptr);
  EXPECT_EQ(geteuid(), kUser);
  EXPECT_EQ(getegid(), kUserGroup);
  EXPECT_THAT(SupplementaryGroups(), ElementsAre(kUserGroup));
  EXPECT_EQ(getuid(), 0u) << "the real uid stays root so that the scope can end";

  EXPECT_EQ(OpenError(root.at("/root-only")), EACCES);
  EXPECT_EQ(OpenError(root.at("/group-0-file")), EACCES) << "root's groups are gone";
  EXPECT_EQ(OpenError(root.at("/users-file")), 0);
}

TEST_F(EffectiveIdentityTest, FilesCreatedInsideBelongToTheUser) {
  root.makeDirs("/home/user");
  ASSERT_EQ(chown(root.at("/home/user").c_str(), kUser, kUserGroup), 0);
  {
    auto scope = ScopedEffectiveIdentity::Assume(kUser, kUserGroup);
    ASSERT_NE(scope, nullptr);
    const int fd = open(root.at("/home/user/new").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_NE(mkdir(root.at("/not-the-users").c_str(), 0755), 0);
  }
  struct stat st;
  ASSERT_EQ(stat(root.at("/home/user/new").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, kUser);
  EXPECT_EQ(st.st_gid, kUserGroup);
  EXPECT_FALSE(root.exists("/not-the-users"));
}

TEST_F(EffectiveIdentityTest, AfterTheScopeEverythingIsRestoredExactly) {
  const std::vector<gid_t> before = SupplementaryGroups();
  ASSERT_THAT(before, ElementsAre(0, 27, 100));
  {
    auto scope = ScopedEffectiveIdentity::Assume(kUser, kUserGroup);
    ASSERT_NE(scope, nullptr);
  }
  EXPECT_EQ(geteuid(), 0u);
  EXPECT_EQ(getegid(), 0u);
  EXPECT_EQ(getuid(), 0u);
  EXPECT_EQ(SupplementaryGroups(), before);
  EXPECT_EQ(OpenError(root.at("/root-only")), 0);

  // And it can be taken on again.
  auto again = ScopedEffectiveIdentity::Assume(kUser + 1, kUserGroup + 1);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(geteuid(), kUser + 1);
  again.reset();
  EXPECT_EQ(SupplementaryGroups(), before);
}

TEST_F(EffectiveIdentityTest, WithoutRootOnlyTheCurrentUserCanBeAssumed) {
  auto outer = ScopedEffectiveIdentity::Assume(kUser, kUserGroup);
  ASSERT_NE(outer, nullptr);
  {
    auto same = ScopedEffectiveIdentity::Assume(kUser, kUserGroup);
    EXPECT_NE(same, nullptr);
    EXPECT_EQ(ScopedEffectiveIdentity::Assume(kUser + 1, kUserGroup), nullptr);
  }
  // The inner scope changed nothing, so it restores nothing.
  EXPECT_EQ(geteuid(), kUser);
  EXPECT_EQ(getegid(), kUserGroup);
  EXPECT_THAT(SupplementaryGroups(), ElementsAre(kUserGroup));
}

TEST_F(EffectiveIdentityTest, AnIdentityThatCannotBeTakenOnChangesNothing) {
  const std::vector<gid_t> before = SupplementaryGroups();
  EXPECT_EQ(ScopedEffectiveIdentity::Assume(static_cast<uid_t>(-1), kUserGroup), nullptr);
  EXPECT_EQ(geteuid(), 0u);
  EXPECT_EQ(getegid(), 0u);
  EXPECT_EQ(SupplementaryGroups(), before);

  EXPECT_EQ(ScopedEffectiveIdentity::Assume(kUser, static_cast<gid_t>(-1)), nullptr);
  EXPECT_EQ(geteuid(), 0u);
  EXPECT_EQ(getegid(), 0u);
  EXPECT_EQ(SupplementaryGroups(), before);
}

}  // namespace
}  // namespace vq::platform
