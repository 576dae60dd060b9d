#include "platform/atomic_file.h"

#include <errno.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <optional>
#include <string>
#include <thread>

#include "platform/effective_identity.h"
#include "tests/support/temp_root.h"

namespace vq {
namespace {

using platform::ScopedEffectiveIdentity;
using ::testing::ElementsAre;
using testing::TempRoot;

constexpr uid_t kUser = 4321;
constexpr gid_t kUserGroup = 4322;

// The whole content of a file, read through one descriptor; nothing when it
// cannot be opened.
std::optional<std::string> ReadThroughOneDescriptor(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string content;
  char buffer[65536];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    content.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return content;
}

struct stat StatOf(const std::string& path) {
  struct stat st = {};
  EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
  return st;
}

class AtomicFileTest : public ::testing::Test {
 protected:
  TempRoot root;
  const std::string path = root.at("/etc/app/inst.plist");

  void SetUp() override { root.makeDirs("/etc/app"); }
};

// --- The result ---------------------------------------------------------------

TEST_F(AtomicFileTest, NewFileHoldsTheDataWithTheRequestedModeWhateverTheUmask) {
  const mode_t previous = umask(077);
  AtomicWriteOptions options;
  options.permissions = 0644;
  const FsResult result = WriteFileAtomically(path, "first\n", options);
  umask(previous);

  ASSERT_TRUE(result.ok()) << result.description();
  EXPECT_EQ(root.readFile("/etc/app/inst.plist"), "first\n");
  const struct stat st = StatOf(path);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_gid, 0u);
}

TEST_F(AtomicFileTest, ReplacingSetsTheNewModeRatherThanKeepingTheOld) {
  root.writeFile("/etc/app/inst.plist", "old", 0666);
  AtomicWriteOptions options;
  options.permissions = 0600;
  ASSERT_TRUE(WriteFileAtomically(path, "new", options).ok());
  EXPECT_EQ(root.readFile("/etc/app/inst.plist"), "new");
  EXPECT_EQ(StatOf(path).st_mode & 07777, 0600u);
}

TEST_F(AtomicFileTest, EmptyDataMakesAnEmptyFile) {
  root.writeFile("/etc/app/inst.plist", "old");
  ASSERT_TRUE(WriteFileAtomically(path, "").ok());
  EXPECT_TRUE(root.exists("/etc/app/inst.plist"));
  EXPECT_EQ(StatOf(path).st_size, 0);
}

TEST_F(AtomicFileTest, OwnerAndGroupAreAppliedTogetherOrAlone) {
  AtomicWriteOptions both;
  both.owner = kUser;
  both.group = kUserGroup;
  ASSERT_TRUE(WriteFileAtomically(path, "x", both).ok());
  EXPECT_EQ(StatOf(path).st_uid, kUser);
  EXPECT_EQ(StatOf(path).st_gid, kUserGroup);

  AtomicWriteOptions group_only;
  group_only.group = kUserGroup;
  ASSERT_TRUE(WriteFileAtomically(path, "y", group_only).ok());
  EXPECT_EQ(StatOf(path).st_uid, 0u) << "the owner stays the writer's";
  EXPECT_EQ(StatOf(path).st_gid, kUserGroup);

  AtomicWriteOptions owner_only;
  owner_only.owner = kUser;
  ASSERT_TRUE(WriteFileAtomically(path, "z", owner_only).ok());
  EXPECT_EQ(StatOf(path).st_uid, kUser);
  EXPECT_EQ(StatOf(path).st_gid, 0u) << "the group stays the writer's";
}

TEST_F(AtomicFileTest, APathWithoutDirectoryIsWrittenInTheWorkingDirectory) {
  char previous[PATH_MAX];
  ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
  ASSERT_EQ(chdir(root.at("/etc/app").c_str()), 0);
  const FsResult result = WriteFileAtomically("plain-name", "here");
  ASSERT_EQ(chdir(previous), 0);

  ASSERT_TRUE(result.ok()) << result.description();
  EXPECT_THAT(root.list("/etc/app"), ElementsAre("plain-name"));
  EXPECT_EQ(root.readFile("/etc/app/plain-name"), "here");
}

// --- Replacement in one step ---------------------------------------------------

TEST_F(AtomicFileTest, OldFileIsReplacedNotRewritten) {
  root.writeFile("/etc/app/inst.plist", "old content");
  const ino_t old_inode = StatOf(path).st_ino;
  const int reader = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(reader, 0);

  ASSERT_TRUE(WriteFileAtomically(path, "new").ok());

  // Whoever had the old file open still reads it whole.
  char buffer[64] = {};
  EXPECT_EQ(pread(reader, buffer, sizeof buffer - 1, 0), 11);
  EXPECT_STREQ(buffer, "old content");
  close(reader);
  EXPECT_NE(StatOf(path).st_ino, old_inode);
  EXPECT_EQ(root.readFile("/etc/app/inst.plist"), "new");
}

TEST_F(AtomicFileTest, AReaderOnlyEverSeesOneWholeContent) {
  const std::string first(256 * 1024, 'a');
  const std::string second = std::string(128 * 1024, 'b') + std::string(200 * 1024, 'c');
  AtomicWriteOptions fast;
  fast.durable = false;  // atomicity comes from the rename, not from the sync
  ASSERT_TRUE(WriteFileAtomically(path, first, fast).ok());

  std::atomic<bool> done{false};
  std::atomic<bool> reader_stopped{false};
  std::atomic<int> reads{0};
  std::string torn;  // written by the reader only, read after join
  std::thread reader([&] {
    while (!done) {
      const std::optional<std::string> seen = ReadThroughOneDescriptor(path);
      if (!seen) {
        torn = "the path could not be opened";
      } else if (*seen != first && *seen != second) {
        torn = "a mixture of " + std::to_string(seen->size()) + " bytes";
      }
      if (!torn.empty()) break;
      ++reads;
    }
    reader_stopped = true;
  });

  int writes = 0;
  bool all_ok = true;
  while (all_ok && !reader_stopped && (writes < 300 || reads < 100) && writes < 20000) {
    all_ok = WriteFileAtomically(path, writes % 2 == 0 ? second : first, fast).ok();
    ++writes;
  }
  done = true;
  reader.join();

  EXPECT_TRUE(all_ok);
  EXPECT_EQ(torn, "");
  EXPECT_GE(reads, 100) << "the reader must have overlapped the writes";
  EXPECT_THAT(root.list("/etc/app"), ElementsAre("inst.plist"));
}

TEST_F(AtomicFileTest, ALinkAtThePathIsReplacedAndItsTargetLeftAlone) {
  root.writeFile("/victim", "precious");
  root.symlink(root.at("/victim"), "/etc/app/inst.plist");
  ASSERT_TRUE(WriteFileAtomically(path, "new").ok());
  EXPECT_TRUE(S_ISREG(StatOf(path).st_mode));
  EXPECT_EQ(root.readFile("/etc/app/inst.plist"), "new");
  EXPECT_EQ(root.readFile("/victim"), "precious");
}

TEST_F(AtomicFileTest, SuccessfulWritesLeaveNoTemporaryFiles) {
  root.writeFile("/etc/app/other", "neighbour");
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(WriteFileAtomically(path, "round " + std::to_string(i)).ok());
  }
  EXPECT_THAT(root.list("/etc/app"), ElementsAre("inst.plist", "other"));
  EXPECT_EQ(root.readFile("/etc/app/inst.plist"), "round 19");
}

// --- Failures leave the old file and nothing else -------------------------------

TEST_F(AtomicFileTest, MissingDirectoryFailsWithoutCreatingAnything) {
  const std::string missing = root.at("/etc/none/inst.plist");
  const FsResult result = WriteFileAtomically(missing, "x");
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().code, ENOENT);
  EXPECT_EQ(result.description(),
            "create temporary file for " + missing + ": No such file or directory");
  EXPECT_FALSE(root.exists("/etc/none"));
}

TEST_F(AtomicFileTest, UnwritableDirectoryKeepsTheOldFile) {
  root.writeFile("/etc/app/inst.plist", "old");
  FsResult result = FsResult::Ok();
  {
    auto user = ScopedEffectiveIdentity::Assume(kUser, kUserGroup);
    ASSERT_NE(user, nullptr);
    result = WriteFileAtomically(path, "new");
  }
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().code, EACCES);
  EXPECT_EQ(result.description(), "create temporary file for " + path + ": Permission denied");
  EXPECT_EQ(root.readFile("/etc/app/inst.plist"), "old");
  EXPECT_THAT(root.list("/etc/app"), ElementsAre("inst.plist"));
}

TEST_F(AtomicFileTest, OwnerThatCannotBeSetRemovesTheTemporaryFile) {
  // An ordinary user may create the temporary file but not give it to root.
  root.makeDirs("/home/user");
  ASSERT_EQ(chown(root.at("/home/user").c_str(), kUser, kUserGroup), 0);
  root.writeFile("/home/user/module.ini", "old");
  const std::string target = root.at("/home/user/module.ini");
  AtomicWriteOptions options;
  options.owner = 0;
  FsResult result = FsResult::Ok();
  {
    auto user = ScopedEffectiveIdentity::Assume(kUser, kUserGroup);
    ASSERT_NE(user, nullptr);
    result = WriteFileAtomically(target, "new", options);
  }
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().code, EPERM);
  EXPECT_EQ(result.description(), "write " + target + ": Operation not permitted");
  EXPECT_EQ(root.readFile("/home/user/module.ini"), "old");
  EXPECT_THAT(root.list("/home/user"), ElementsAre("module.ini"));
}

TEST_F(AtomicFileTest, FailedWriteOfTheDataRemovesTheTemporaryFile) {
  root.writeFile("/etc/app/inst.plist", "old");
  // A file-size limit makes write(2) fail part way with EFBIG.
  struct rlimit previous;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &previous), 0);
  const auto previous_handler = signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = previous;
  small.rlim_cur = 4096;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const FsResult result = WriteFileAtomically(path, std::string(64 * 1024, 'x'));
  setrlimit(RLIMIT_FSIZE, &previous);
  signal(SIGXFSZ, previous_handler);

  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().code, EFBIG);
  EXPECT_EQ(result.error().operation, "write");
  EXPECT_EQ(root.readFile("/etc/app/inst.plist"), "old");
  EXPECT_THAT(root.list("/etc/app"), ElementsAre("inst.plist"));
}

TEST_F(AtomicFileTest, DirectoryAtThePathIsNotReplaced) {
  root.writeFile("/etc/app/inst.plist/inside", "kept");
  const FsResult result = WriteFileAtomically(path, "new");
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().code, EISDIR);
  EXPECT_EQ(result.description(), "write " + path + ": Is a directory");
  EXPECT_THAT(root.list("/etc/app"), ElementsAre("inst.plist/", "inst.plist/inside"));
}

}  // namespace
}  // namespace vq
