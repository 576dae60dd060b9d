// Root's passes in a plug-in folder a user owns, or one root shares with the
// user's group, while the user swaps names there (RENAME_EXCHANGE): root's
// items beside the link's place keep their owners, modes, sizes and times,
// and an undisturbed pass works as the folder's owner. Time-limited in the
// suite; KESTRUN_RACE_ATTEMPTS=N asks for N attempts per case instead.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "kestrun/ModInstaller.h"
#include "platform/scoped_fd.h"
#include "tests/support/capture_logger.h"

namespace {

namespace fs = std::filesystem;
constexpr uid_t kUser = 1001;
// A folder holding a file, a 0600 file, a hard link to a root-only file, a FIFO.
constexpr const char* kItems[] = {"tree", "file", "hardlink", "fifo"};
enum class Pass { kReplace, kMakeFolder, kUninstall };

// Owner, group and mode of what stands at `name` in `dir`; with `times`, its
// size and time of last change too.
std::string Stat(int dir, const std::string& name, bool times = true) {
  struct stat st;
  if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW | AT_EMPTY_PATH) != 0) return "gone";
  char text[96];
  std::snprintf(text, sizeof text, times ? "%u:%u:%o %lld %ld.%ld" : "%u:%u:%o", st.st_uid,
                st.st_gid, st.st_mode, static_cast<long long>(st.st_size), st.st_mtim.tv_sec,
                st.st_mtim.tv_nsec);
  return text;
}

void Write(const std::string& path, mode_t mode, uid_t owner = 0) {
  const vq::ScopedFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
  EXPECT_TRUE(write(fd.get(), "root's", 6) == 6 && fchown(fd.get(), owner, owner) == 0) << path;
}

// A child with the user's identity exchanging `name` with root's items in
// turn while it runs; stopped, it leaves the folder to root. With two cores,
// root keeps one and the child the others: the scheduler would otherwise
// often wake the child on root's core, and nothing would run side by side.
class Swapper {
 public:
  Swapper(const std::string& folder, const std::string& name) {
    void* shared =
        mmap(nullptr, 2 * sizeof(int), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    counts_ = static_cast<int*>(shared);
    cpu_set_t own;
    CPU_ZERO(&own);
    CPU_SET(sched_getcpu(), &own);
    sched_getaffinity(0, sizeof all_, &all_);
    if (shared == MAP_FAILED || (pid_ = fork()) < 0) return;
    if (CPU_COUNT(&all_) > 1) {
      if (pid_ == 0) CPU_XOR(&own, &own, &all_);
      sched_setaffinity(0, sizeof own, &own);
    }
    if (pid_ != 0) return;
    const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0 || setgroups(0, nullptr) != 0 || setgid(kUser) != 0 || setuid(kUser) != 0) _exit(1);
    for (size_t i = 0;; ++i) {
      count(0) += renameat2(dir, name.c_str(), dir, kItems[i % 4], RENAME_EXCHANGE) == 0;
      ++count(1);
    }
  }
  ~Swapper() {
    sched_setaffinity(0, sizeof all_, &all_);
    if (pid_ > 0 && kill(pid_, SIGKILL) == 0) waitpid(pid_, nullptr, 0);
    if (counts_ != MAP_FAILED) munmap(counts_, 2 * sizeof(int));
  }
  int swaps() const { return count(0); }
  // Lets the child go on; returns once it is exchanging again.
  bool start() {
    const int tries = count(1);
    kill(pid_, SIGCONT);
    while (count(1) == tries) {
      if (waitpid(pid_, nullptr, WNOHANG) != 0) return false;
    }
    return true;
  }
  // Returns once the child has stopped.
  bool stop() {
    int status = 0;
    kill(pid_, SIGSTOP);
    while (pid_ > 0 && waitpid(pid_, &status, WUNTRACED | WNOHANG) == 0) {
    }
    return WIFSTOPPED(status);
  }

 private:
  std::atomic_ref<int> count(int which) const { return std::atomic_ref<int>(counts_[which]); }
  int* counts_;
  pid_t pid_ = -1;
  cpu_set_t all_;
};

class UserFolderRace : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    char name[] = "/tmp/kestrun-race-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    fs::create_directories(folder_ = (root_ = name) + "/usr/local/lib");
    ASSERT_EQ(chmod(root_.c_str(), 0755), 0);
    installer_ = VQKS2ModInstaller::initWithLogger(paths_ = VQInstallPaths::Under(root_), log_);
  }
  void TearDown() override {
    if (!root_.empty()) fs::remove_all(root_);
  }

  // Root's items and the pass's stale item, afresh; what root's items are.
  std::string arrange(Pass pass) {
    for (const fs::path& entry : fs::directory_iterator(folder_)) fs::remove_all(entry);
    fs::remove(root_ + "/secret");
    fs::create_directories(folder_ + "/tree/keep");
    Write(folder_ + "/tree/keep/file", 0644);
    Write(folder_ + "/file", 0600);
    Write(root_ + "/secret", 0600);
    EXPECT_EQ(link((root_ + "/secret").c_str(), (folder_ + "/hardlink").c_str()) |
                  mkfifo((folder_ + "/fifo").c_str(), 0600),
              0);
    const std::string stale = folder_ + "/libvq-client.dylib";
    if (pass == Pass::kReplace) Write(stale, 0644, kUser);
    if (pass == Pass::kUninstall) {
      EXPECT_EQ(symlink("/old", stale.c_str()) | lchown(stale.c_str(), kUser, kUser), 0);
    }
    held_.clear();
    for (const char* item : kItems) {
      held_.emplace_back(open((folder_ + "/" + item).c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    }
    return items();
  }
  // Through handles that follow root's items wherever they are renamed.
  std::string items() const {
    std::string out = Stat(held_[0].get(), "keep") + " " + Stat(held_[0].get(), "keep/file");
    for (const vq::ScopedFd& fd : held_) out += "\n" + Stat(fd.get(), "");
    return out;
  }
  // The link's result; -1 for the removal of every link.
  int run(Pass pass, const char* location) {
    log_.records.clear();
    if (pass != Pass::kUninstall)
      return installer_->tryMakeLink(location, "libfreerdp.dylib", true);
    // A swapped-in folder it refuses to remove makes it answer false.
    (void)VQKS2ModInstaller::removeAllLinks(paths_, log_);
    return -1;
  }

  std::string root_, folder_;
  VQInstallPaths paths_;
  vq::CaptureLogger log_;
  std::unique_ptr<VQKS2ModInstaller> installer_;
  std::vector<vq::ScopedFd> held_;
};

TEST_F(UserFolderRace, RootsItemsStayAsTheyWere) {
  const char* soak = std::getenv("KESTRUN_RACE_ATTEMPTS");
  const char* const names[] = {"replace a stale file", "make a folder", "remove every link"};
  for (const Pass pass : {Pass::kReplace, Pass::kMakeFolder, Pass::kUninstall}) {
    for (const bool group : {false, true}) {
      const std::string name = std::string(names[int(pass)]) + (group ? ", group's folder" : "");
      SCOPED_TRACE(name);
      ASSERT_EQ(chmod(folder_.c_str(), group ? 0775 : 0755) |
                    chown(folder_.c_str(), group ? 0 : kUser, kUser),
                0);
      const char* location = pass == Pass::kMakeFolder
                                 ? "/usr/local/lib/freerdp2/libvq-client.dylib"
                                 : "/usr/local/lib/libvq-client.dylib";
      // Undisturbed, the pass works as the folder's owner, with its group.
      const std::string before = arrange(pass), owner = group ? "0:1001:" : "1001:1001:";
      if (const int result = run(pass, location); pass != Pass::kUninstall) {
        EXPECT_EQ(result, VQLinkMade) << log_.dump();
      }
      EXPECT_EQ(Stat(AT_FDCWD, paths_.rooted(location), false),
                pass == Pass::kUninstall ? "gone" : owner + "120777");
      if (pass == Pass::kMakeFolder) {
        EXPECT_EQ(Stat(AT_FDCWD, folder_ + "/freerdp2", false), owner + "40755");
      }
      EXPECT_EQ(items(), before);

      Swapper swapper(folder_, pass == Pass::kMakeFolder ? "freerdp2" : "libvq-client.dylib");
      ASSERT_TRUE(swapper.stop());
      const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
      int attempts = 0, hits = 0;
      for (const int wanted = soak != nullptr ? std::atoi(soak) : 8000;
           attempts < wanted && (soak != nullptr || std::chrono::steady_clock::now() < end);
           ++attempts) {
        const std::string was = arrange(pass);
        ASSERT_TRUE(swapper.start());
        run(pass, location);
        ASSERT_TRUE(swapper.stop());
        if (const std::string is = items(); is != was && ++hits == 1) {
          ADD_FAILURE() << was << "\nbecame\n" << is << "\n" << log_.dump();
        }
      }
      std::printf("%s: %d attempts, %d swaps, %d hits\n", name.c_str(), attempts, swapper.swaps(),
                  hits);
      EXPECT_EQ(hits, 0);
      EXPECT_GT(swapper.swaps(), 0) << "the user never got a swap in";
    }
  }
}

}  // namespace
