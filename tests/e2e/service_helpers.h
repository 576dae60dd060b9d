// Helpers for the end-to-end tests of the service's passes: ownership inside
// the sandbox, users with Citrix module files, waiting for a condition, and a
// process that acts as an ordinary user while the tool runs.
#pragma once

#include <dirent.h>
#include <ftw.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tests/e2e/sandbox.h"

namespace vq::testing {

inline constexpr char kModulesFile[] = "/Library/Application Support/Citrix Receiver/Modules";

// Gives one item inside the sandbox to a user; a link gets the owner itself.
inline void Own(const Sandbox& sandbox, std::string_view absolute, const TestUser& user) {
  if (lchown(sandbox.at(absolute).c_str(), user.uid, user.gid) != 0) {
    ADD_FAILURE() << "lchown " << absolute;
  }
}

// The same for a whole tree, never following links.
inline void OwnTree(const Sandbox& sandbox, std::string_view absolute, const TestUser& user) {
  static uid_t owner;
  static gid_t group;
  owner = user.uid;
  group = user.gid;
  nftw(
      sandbox.at(absolute).c_str(),
      [](const char* path, const struct stat*, int, FTW*) { return lchown(path, owner, group); },
      16, FTW_PHYS);
}

inline std::string ReadHostFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The real macOS module file of the test data, and the same after the edit.
inline std::string CitrixSample() {
  return ReadHostFile(std::string(TEST_DATA_DIR) + "/citrix/mac-Modules.Homework4fin");
}
inline std::string CitrixSamplePatched() {
  const std::string sample = CitrixSample();
  const std::string end = "SSPI, TUI\r";
  const size_t at = sample.find(end);
  if (at == std::string::npos) return std::string();
  return sample.substr(0, at) + "SSPI, TUI, vq\rvq=On\r" + sample.substr(at + end.size());
}

// A home folder owned by its user, with a module file when content is given.
inline void MakeHome(const Sandbox& sandbox, const TestUser& user, const std::string* modules,
                     mode_t mode = 0644) {
  sandbox.makeDirs(user.home + "/Library/Application Support/Citrix Receiver");
  if (modules != nullptr) sandbox.writeFile(user.home + kModulesFile, *modules, mode);
  OwnTree(sandbox, user.home, user);
}

inline bool WaitUntil(const std::function<bool()>& condition, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// Processes whose parent is the given one.
inline std::vector<pid_t> ChildrenOf(pid_t parent) {
  std::vector<pid_t> children;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return children;
  while (dirent* entry = readdir(proc)) {
    const pid_t pid = std::atoi(entry->d_name);
    if (pid <= 0) continue;
    const std::string stat = ReadHostFile("/proc/" + std::to_string(pid) + "/stat");
    // "pid (comm) state ppid ...": the name may hold blanks, so start after ')'.
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream fields(stat.substr(close + 1));
    std::string state;
    pid_t ppid = 0;
    if (fields >> state >> ppid && ppid == parent) children.push_back(pid);
  }
  closedir(proc);
  return children;
}

// Removes a tree the way its owner would: as the calling process, no links followed.
inline void RemoveTreeHere(const std::string& path) {
  nftw(
      path.c_str(), [](const char* item, const struct stat*, int, FTW*) { return remove(item); },
      16, FTW_DEPTH | FTW_PHYS);
}

// A process with a user's uid and gid (and no other group) that repeats a
// step until it is stopped. The step gets counters that live in memory shared
// with the test; counter 0 counts the rounds.
class UserProcess {
 public:
  static constexpr int kCounters = 4;
  using Step = std::function<void(std::atomic<long>* counters)>;

  UserProcess(const TestUser& user, const Step& step) {
    void* shared = mmap(nullptr, sizeof(std::atomic<long>) * kCounters, PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED) return;
    counters_ = static_cast<std::atomic<long>*>(shared);
    for (int i = 0; i < kCounters; ++i) std::construct_at(&counters_[i], 0);
    pid_ = fork();
    if (pid_ != 0) return;
    const gid_t gid = user.gid;
    if (setgroups(1, &gid) != 0 || setgid(user.gid) != 0 || setuid(user.uid) != 0) _exit(125);
    for (;;) {
      step(counters_);
      counters_[0].fetch_add(1);
    }
  }
  ~UserProcess() {
    stop();
    if (counters_ != nullptr) munmap(counters_, sizeof(std::atomic<long>) * kCounters);
  }
  UserProcess(const UserProcess&) = delete;
  UserProcess& operator=(const UserProcess&) = delete;

  bool started() const { return pid_ > 0; }
  void stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
  }
  long counter(int index) const { return counters_ == nullptr ? 0 : counters_[index].load(); }

 private:
  pid_t pid_ = -1;
  std::atomic<long>* counters_ = nullptr;
};

}  // namespace vq::testing
