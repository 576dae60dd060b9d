#include "platform/file_manager.h"

#include <errno.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "tests/support/temp_root.h"

namespace vq {
namespace {

using ::testing::ElementsAre;
using testing::TempRoot;

class FileManagerTest : public ::testing::Test {
 protected:
  std::string at(std::string_view path) const { return root.at(path); }
  mode_t modeOf(std::string_view path) const {
    struct stat st;
    EXPECT_EQ(lstat(at(path).c_str(), &st), 0) << path;
    return st.st_mode & 07777;
  }

  TempRoot root;
  FileManager& fm = *FileManager::defaultManager();
};

TEST_F(FileManagerTest, CopyKeepsTreeLinksAndModes) {
  root.writeFile("/src/bin/tool", "#!/bin/sh\n", 0750);
  root.writeFile("/src/conf/a.plist", "<plist/>", 0640);
  root.symlink("../conf/a.plist", "/src/bin/link");
  root.symlink("/etc/shadow", "/src/outside");
  chmod(at("/src/conf").c_str(), 0711);

  ASSERT_TRUE(fm.copyItem(at("/src"), at("/dst")).ok());
  EXPECT_THAT(root.list("/dst"), ElementsAre("bin/", "bin/link -> ../conf/a.plist", "bin/tool",
                                             "conf/", "conf/a.plist", "outside -> /etc/shadow"));
  EXPECT_EQ(root.readFile("/dst/bin/tool"), "#!/bin/sh\n");
  EXPECT_EQ(modeOf("/dst/bin/tool"), 0750u);
  EXPECT_EQ(modeOf("/dst/conf/a.plist"), 0640u);
  EXPECT_EQ(modeOf("/dst/conf"), 0711u);
}

TEST_F(FileManagerTest, CopyFailsWhenTheDestinationExists) {
  root.writeFile("/src/file", "new");
  root.makeDirs("/dst");
  FsResult result = fm.copyItem(at("/src"), at("/dst"));
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().code, EEXIST);
  EXPECT_EQ(result.description(), "copy " + at("/dst") + ": File exists");
  EXPECT_FALSE(root.exists("/dst/file"));
}

TEST_F(FileManagerTest, CopyOfMissingSourceNamesIt) {
  FsResult result = fm.copyItem(at("/missing"), at("/dst"));
  EXPECT_EQ(result.description(), "copy " + at("/missing") + ": No such file or directory");
  EXPECT_FALSE(root.exists("/dst"));
}

TEST_F(FileManagerTest, CopyRecreatesFifosWithoutOpeningThem) {
  root.makeDirs("/src");
  ASSERT_EQ(mkfifo(at("/src/pipe").c_str(), 0600), 0);
  // Opening the FIFO for reading would wait forever for a writer.
  ASSERT_TRUE(fm.copyItem(at("/src"), at("/dst")).ok());
  struct stat st;
  ASSERT_EQ(lstat(at("/dst/pipe").c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

TEST_F(FileManagerTest, CopyFollowsASourceThatIsALink) {
  root.writeFile("/real/file", "x");
  root.symlink(at("/real"), "/alias");
  ASSERT_TRUE(fm.copyItem(at("/alias"), at("/dst")).ok());
  EXPECT_THAT(root.list("/dst"), ElementsAre("file"));
}

TEST_F(FileManagerTest, RemoveTakesWholeTreesAndFailsOnNothing) {
  root.writeFile("/tree/a/b/c/file", "x");
  root.symlink("/tree/a", "/tree/loop");
  ASSERT_TRUE(fm.removeItem(at("/tree")).ok());
  EXPECT_FALSE(root.exists("/tree"));
  FsResult again = fm.removeItem(at("/tree"));
  EXPECT_EQ(again.error().code, ENOENT);
}

TEST_F(FileManagerTest, RemoveNeverFollowsLinks) {
  root.writeFile("/victim/keep", "precious");
  root.makeDirs("/tree");
  root.symlink(at("/victim"), "/tree/into-victim");
  root.symlink(at("/victim"), "/link-to-victim");

  ASSERT_TRUE(fm.removeItem(at("/link-to-victim")).ok());
  ASSERT_TRUE(fm.removeItem(at("/tree")).ok());
  EXPECT_EQ(root.readFile("/victim/keep"), "precious");
}

TEST_F(FileManagerTest, RemoveIsNotRedirectedByADirectorySwappedForALink) {
  // One thread keeps swapping a subdirectory for a link to a victim folder
  // while the tree is removed; the victim must survive every round.
  root.writeFile("/victim/keep", "precious");
  for (int round = 0; round < 200; ++round) {
    root.writeFile("/tree/sub/file1", "x");
    root.writeFile("/tree/sub/file2", "x");
    std::atomic<bool> done{false};
    std::thread swapper([&] {
      const std::string sub = at("/tree/sub");
      const std::string moved = at("/tree/moved");
      while (!done) {
        if (rename(sub.c_str(), moved.c_str()) == 0) {
          (void)!::symlink(at("/victim").c_str(), sub.c_str());
        }
      }
    });
    (void)fm.removeItem(at("/tree"));
    done = true;
    swapper.join();
    ASSERT_EQ(root.readFile("/victim/keep"), "precious") << "round " << round;
    testing::RemoveTree(at("/tree"));
  }
}

TEST_F(FileManagerTest, CreateDirectoryWithIntermediatesAndAttributes) {
  CreateAttributes attributes;
  attributes.permissions = 0755;
  attributes.owner = 0;
  attributes.group = 0;
  root.makeDirs("/existing", 0700);
  ASSERT_TRUE(fm.createDirectory(at("/existing/a/b"), true, attributes).ok());
  EXPECT_EQ(modeOf("/existing"), 0700u) << "existing directories keep their attributes";
  EXPECT_EQ(modeOf("/existing/a"), 0755u);
  EXPECT_EQ(modeOf("/existing/a/b"), 0755u);
  EXPECT_TRUE(fm.createDirectory(at("/existing/a/b"), true, attributes).ok());

  root.writeFile("/file", "x");
  EXPECT_EQ(fm.createDirectory(at("/file"), true).error().code, EEXIST);
  EXPECT_EQ(fm.createDirectory(at("/file/sub"), true).error().code, ENOTDIR);
  EXPECT_EQ(fm.createDirectory(at("/none/sub"), false).error().code, ENOENT);
}

TEST_F(FileManagerTest, AttributesDoNotFollowTheFinalLink) {
  root.symlink("/nowhere", "/dangling");
  auto attributes = fm.attributesOfItem(at("/dangling"));
  ASSERT_TRUE(attributes.has_value());
  EXPECT_EQ(attributes->type, FileType::kSymbolicLink);
  EXPECT_FALSE(fm.attributesOfItem(at("/absent")).has_value());
}

TEST_F(FileManagerTest, SetOwnerChangesTheLinkNotItsTarget) {
  root.writeFile("/target", "x");
  ASSERT_EQ(chown(at("/target").c_str(), 1234, 1234), 0);
  root.symlink(at("/target"), "/link");
  ASSERT_TRUE(fm.setOwner(at("/link"), 0, 0).ok());
  struct stat st;
  ASSERT_EQ(stat(at("/target").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 1234u);
  ASSERT_EQ(lstat(at("/link").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
}

TEST_F(FileManagerTest, EnumeratorYieldsParentsFirstAndSkipsLinkedDirectories) {
  root.writeFile("/tree/b/deep/file", "x");
  root.writeFile("/tree/a", "x");
  root.writeFile("/elsewhere/hidden", "x");
  root.symlink(at("/elsewhere"), "/tree/c");
  auto enumerator = fm.enumeratorAtPath(at("/tree"));
  ASSERT_NE(enumerator, nullptr);
  std::vector<std::string> seen;
  while (auto item = enumerator->nextObject()) seen.push_back(*item);
  EXPECT_THAT(seen, ElementsAre("a", "b", "b/deep", "b/deep/file", "c"));
  EXPECT_EQ(fm.enumeratorAtPath(at("/missing")), nullptr);
}

TEST_F(FileManagerTest, PathHelpers) {
  EXPECT_EQ(ParentPath("/a/b/c"), "/a/b");
  EXPECT_EQ(ParentPath("/c"), "/");
  EXPECT_EQ(ParentPath("c"), "");
  EXPECT_EQ(LastPathComponent("/a/b/"), "b");
  EXPECT_THAT(PathComponents("/a/b"), ElementsAre("/", "a", "b"));
  EXPECT_THAT(PathComponents("/"), ElementsAre("/"));
  EXPECT_EQ(PathWithComponents({"/", "a", "modules"}), "/a/modules");
  EXPECT_EQ(PathWithComponents({"/", "modules"}), "/modules");
}

}  // namespace
}  // namespace vq
