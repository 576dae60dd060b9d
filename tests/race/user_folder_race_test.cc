// A user who owns a plug-in folder swaps names in it as fast as the system
// allows (RENAME_EXCHANGE) while root replaces a stale file at a link's
// place, makes a link's missing folder, or removes every link. Whatever
// root's item is swapped in (a folder holding a file, a 0600 file, a hard
// link to a root-only file elsewhere, a FIFO) must stay byte for byte and
// owner for owner; the user may only lose names from their own folder.
// KESTRUN_RACE_ATTEMPTS asks for that many attempts per variant, without the
// suite's time limit (scripts/race-soak.sh).
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/futex.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <vector>

#include "kestrun/ModInstaller.h"
#include "platform/scoped_fd.h"
#include "tests/support/capture_logger.h"

namespace {

namespace fs = std::filesystem;
constexpr uid_t kUser = 1001;
constexpr char kLinkName[] = "libvq-client.dylib";

enum class Pass { kReplace, kMakeFolder, kUninstall };
enum class Victim { kFolder, kFile, kHardLink, kFifo };
struct Variant {
  Pass pass;
  Victim victim;
  bool groupFolder;  // the folder is root's, and the user's group may write it
};

// Every pass against every item in the user's own folder; in a folder root
// shares with the user's group, the passes against the items they can harm.
std::vector<Variant> Variants() {
  std::vector<Variant> rows;
  for (Pass pass : {Pass::kReplace, Pass::kMakeFolder, Pass::kUninstall}) {
    for (Victim victim : {Victim::kFolder, Victim::kFile, Victim::kHardLink, Victim::kFifo}) {
      rows.push_back({pass, victim, false});
    }
  }
  rows.push_back({Pass::kReplace, Victim::kFolder, true});
  rows.push_back({Pass::kMakeFolder, Victim::kHardLink, true});
  rows.push_back({Pass::kUninstall, Victim::kFolder, true});
  return rows;
}

std::string Name(const ::testing::TestParamInfo<Variant>& row) {
  const char* const passes[] = {"ReplaceStaleFile", "MakeFolder", "RemoveLinks"};
  const char* const victims[] = {"Folder", "File", "HardLink", "Fifo"};
  return std::string(passes[int(row.param.pass)]) + "Vs" + victims[int(row.param.victim)] +
         (row.param.groupFolder ? "InGroupFolder" : "");
}

// Owner, group, type and mode; a file's bytes, a folder's entries, a link's text.
std::string Describe(const std::string& path, bool follow = false) {
  struct stat st;
  if ((follow ? stat(path.c_str(), &st) : lstat(path.c_str(), &st)) != 0) return "gone";
  char head[64];
  std::snprintf(head, sizeof head, "%u:%u:%o", st.st_uid, st.st_gid, st.st_mode);
  std::string out = head;
  if (S_ISREG(st.st_mode)) {
    std::ifstream in(path, std::ios::binary);
    out.append(" ").append(std::istreambuf_iterator<char>(in), {});
  } else if (S_ISLNK(st.st_mode)) {
    out += " -> " + fs::read_symlink(path).string();
  } else if (S_ISDIR(st.st_mode)) {
    std::set<std::string> entries;
    for (const fs::directory_entry& entry : fs::directory_iterator(path)) {
      entries.insert(entry.path().filename().string() + " " + Describe(entry.path()));
    }
    for (const std::string& entry : entries) out += " [" + entry + "]";
  }
  return out;
}

void Write(const std::string& path, mode_t mode, uid_t owner = 0) {
  vq::ScopedFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
  ASSERT_TRUE(fd.valid() && write(fd.get(), "root's", 6) == 6 &&
              fchown(fd.get(), owner, owner) == 0)
      << path;
}

// A child with the user's identity exchanging two names in the folder while
// told to, and asleep otherwise, so that root can reset and look.
class Swapper {
 public:
  Swapper(const std::string& folder, const std::string& a, const std::string& b) {
    void* mapped =
        mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) return;
    shared_ = static_cast<Shared*>(mapped);
    set(shared_->command, kIdle);
    pid_ = fork();
    if (pid_ == 0) {
      const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (dir < 0 || setgroups(0, nullptr) != 0 || setgid(kUser) != 0 || setuid(kUser) != 0) {
        _exit(1);
      }
      for (int command; (command = get(shared_->command)) != kQuit;) {
        set(shared_->state, command);
        if (command == kIdle) {
          syscall(SYS_futex, &shared_->command, FUTEX_WAIT, kIdle, nullptr, nullptr, 0);
        } else if (renameat2(dir, a.c_str(), dir, b.c_str(), RENAME_EXCHANGE) == 0) {
          std::atomic_ref<int>(shared_->swaps).fetch_add(1);
        }
      }
      _exit(0);
    }
    ready_ = pid_ > 0 && await(kIdle);
  }
  ~Swapper() {
    if (pid_ > 0) {
      tell(kQuit);
      waitpid(pid_, nullptr, 0);
    }
    if (shared_ != nullptr) munmap(shared_, sizeof(Shared));
  }
  bool ready() const { return ready_; }
  int swaps() const { return get(shared_->swaps); }
  // Each returns once the child does as told.
  bool start() {
    tell(kSwap);
    return await(kSwap);
  }
  bool stop() {
    tell(kIdle);
    return await(kIdle);
  }

 private:
  enum { kIdle = 1, kSwap, kQuit };
  struct Shared {  // zeroed by mmap
    int command, state, swaps;
  };
  static int get(int& value) { return std::atomic_ref<int>(value).load(); }
  static void set(int& value, int to) { std::atomic_ref<int>(value).store(to); }
  void tell(int command) {
    set(shared_->command, command);
    syscall(SYS_futex, &shared_->command, FUTEX_WAKE, 1, nullptr, nullptr, 0);
  }
  bool await(int state) const {
    while (get(shared_->state) != state) {
      if (waitpid(pid_, nullptr, WNOHANG) != 0) return false;
    }
    return true;
  }

  Shared* shared_ = nullptr;
  pid_t pid_ = -1;
  bool ready_ = false;
};

class UserFolderRace : public ::testing::TestWithParam<Variant> {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    char name[] = "/tmp/kestrun-race-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    root_ = name;
    folder_ = root_ + "/usr/local/lib";
    fs::create_directories(folder_);
    const bool group = GetParam().groupFolder;
    ASSERT_EQ(chmod(root_.c_str(), 0755) | chown(folder_.c_str(), group ? 0 : kUser, kUser) |
                  chmod(folder_.c_str(), group ? 0775 : 0755),
              0);
    paths_ = VQInstallPaths::Under(root_);
    installer_ = VQKS2ModInstaller::initWithLogger(paths_, log_);
    ASSERT_NE(installer_, nullptr);
  }
  void TearDown() override {
    if (!root_.empty()) fs::remove_all(root_);
  }

  // Root's item at "victim" in the user's folder, the pass's stale item at
  // the link's place, and a handle on the item that stays with it however
  // it is renamed.
  vq::ScopedFd arrange(Victim victim, Pass pass) {
    for (const fs::directory_entry& entry : fs::directory_iterator(folder_)) fs::remove_all(entry);
    const std::string at = folder_ + "/victim", secret = root_ + "/usr/local/secret";
    fs::remove(secret);
    if (victim == Victim::kFolder) {
      fs::create_directories(at + "/keep");
      Write(at + "/keep/file", 0644);
    } else if (victim == Victim::kFile) {
      Write(at, 0600);
    } else if (victim == Victim::kHardLink) {
      Write(secret, 0600);
      EXPECT_EQ(link(secret.c_str(), at.c_str()), 0);
    } else {
      EXPECT_EQ(mkfifo(at.c_str(), 0600), 0);
    }
    const std::string stale = folder_ + "/" + kLinkName;
    if (pass == Pass::kReplace) Write(stale, 0644, kUser);
    if (pass == Pass::kUninstall) {
      EXPECT_EQ(
          symlink("/old/libfreerdp.dylib", stale.c_str()) | lchown(stale.c_str(), kUser, kUser), 0);
    }
    return vq::ScopedFd(
        open((victim == Victim::kHardLink ? secret : at).c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  }

  // The link's result; nothing for the removal of every link.
  std::optional<int> runPass(Pass pass) {
    log_.records.clear();
    if (pass == Pass::kUninstall) {
      VQKS2ModInstaller::removeAllLinks(paths_, log_);
      return std::nullopt;
    }
    return installer_->tryMakeLink(pass == Pass::kReplace
                                       ? "/usr/local/lib/libvq-client.dylib"
                                       : "/usr/local/lib/freerdp2/libvq-client.dylib",
                                   "libfreerdp.dylib", true);
  }

  std::string root_, folder_;
  VQInstallPaths paths_;
  vq::CaptureLogger log_;
  std::unique_ptr<VQKS2ModInstaller> installer_;
};

// The owner, group, mode and content of root's item, through a handle that
// follows it wherever it is renamed.
std::string Held(const vq::ScopedFd& item) {
  return Describe("/proc/self/fd/" + std::to_string(item.get()), true);
}

TEST_P(UserFolderRace, RootsItemsStayAsTheyWere) {
  const Variant& v = GetParam();
  // Undisturbed, the pass works in the folder as its owner, with its group.
  {
    const vq::ScopedFd victim = arrange(v.victim, v.pass);
    const std::string before = Held(victim);
    if (const std::optional<int> result = runPass(v.pass)) {
      EXPECT_EQ(*result, VQLinkMade) << log_.dump();
    }
    const std::string made =
        Describe(folder_ + (v.pass == Pass::kMakeFolder ? "/freerdp2" : "/libvq-client.dylib"));
    const std::string owner = v.groupFolder ? "0:1001:" : "1001:1001:";
    EXPECT_EQ(made.substr(0, made.find(" -> ")),
              v.pass == Pass::kMakeFolder ? owner + "40755 [libvq-client.dylib " + owner + "120777"
              : v.pass == Pass::kReplace  ? owner + "120777"
                                          : "gone");
    EXPECT_EQ(Held(victim), before);
  }
  Swapper swapper(folder_, v.pass == Pass::kMakeFolder ? "freerdp2" : kLinkName, "victim");
  ASSERT_TRUE(swapper.ready());
  // In the suite at most a second and a half per variant, however busy the
  // machine; a soak asks for its attempts and waits for them all.
  const char* setting = std::getenv("KESTRUN_RACE_ATTEMPTS");
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
  int attempts = 0, hits = 0;
  for (const int wanted = setting != nullptr ? std::atoi(setting) : 2000;
       attempts < wanted && (setting != nullptr || std::chrono::steady_clock::now() < end);
       ++attempts) {
    const vq::ScopedFd victim = arrange(v.victim, v.pass);
    const std::string before = Held(victim);
    ASSERT_TRUE(swapper.start());
    runPass(v.pass);
    ASSERT_TRUE(swapper.stop());
    const std::string after = Held(victim);
    if (after != before && ++hits == 1) {
      ADD_FAILURE() << before << "\nbecame\n" << after << "\n" << log_.dump();
    }
  }
  std::printf("%s: %d attempts, %d swaps, %d hits\n", Name({v, 0}).c_str(), attempts,
              swapper.swaps(), hits);
  EXPECT_EQ(hits, 0);
}

INSTANTIATE_TEST_SUITE_P(Variants, UserFolderRace, ::testing::ValuesIn(Variants()), Name);

}  // namespace
