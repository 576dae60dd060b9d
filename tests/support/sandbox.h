// A throwaway macOS-shaped system for running the real tool as root with its
// compiled-in paths: a tmpfs in the process's private mount namespace with
// /usr bound read-only from the host (an empty tmpfs over /usr/local), its
// own /etc, /bin/sh, the launchd model at /bin/launchctl, /proc and a
// /dev/log socket whose messages it collects. Programs run chrooted into it;
// every mount goes away with the process, however it ends.
#pragma once

#include <signal.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/logger.h"

namespace vq::testing {

struct RunResult {
  int exitCode = -1;  // -1 when ended by a signal
  std::string out, err;
};
struct RunOptions {
  std::optional<uid_t> uid, gid;         // as this user (and group), not root
  std::vector<std::string> environment;  // empty by default, as launchd gives
};
struct SyslogLine {
  LogType type = LogType::kDefault;
  int pid = 0;
  std::string category, text;
};
struct TestUser {
  std::string name;
  uint32_t uid, gid;
  std::string home, shell = "/bin/sh";
};

// A program started without waiting; its output goes to a file. Wait once.
struct SandboxProcess {
  pid_t pid;
  std::string outPath;
  RunResult wait();
  void kill(int signal) { ::kill(pid, signal); }
};

class Sandbox {
 public:
  Sandbox();  // check ready(): not root or no mount namespaces
  ~Sandbox();
  Sandbox(const Sandbox&) = delete;
  bool ready() const { return reason_.empty(); }
  const std::string& whyNotReady() const { return reason_; }

  // An absolute path inside, as seen from outside.
  std::string at(std::string_view absolute) const { return path_ + std::string(absolute); }
  void makeDirs(std::string_view absolute, mode_t mode = 0755) const;
  void writeFile(std::string_view absolute, std::string_view content, mode_t mode = 0644) const;
  std::string readFile(std::string_view absolute) const;
  bool exists(std::string_view absolute) const;
  // Everything below a folder, sorted: "dir/", "file", "link -> target".
  std::vector<std::string> list(std::string_view absolute) const;
  void copyIn(const std::string& hostPath, std::string_view absolute) const;
  // The built payload at /payload and the older build's at /payload-v7.
  void installPayload() const { copyIn(KESTRUN_PAYLOAD_DIR, "/payload"); }
  void installOlderPayload() const { copyIn(KESTRUN_OLDER_PAYLOAD_DIR, "/payload-v7"); }
  // /etc/passwd, group and login.defs with root and these users, each with
  // a graphical session in the launchd model.
  void writeUsers(const std::vector<TestUser>& users) const;

  RunResult run(const std::vector<std::string>& argv, const RunOptions& options = {});
  SandboxProcess spawn(const std::vector<std::string>& argv);

  std::vector<SyslogLine> syslog() const;
  std::string syslogDump() const;
  void clearSyslog();

  // What the launchd model recorded, and its pause of one numbered call.
  std::vector<std::vector<std::string>> launchctlCalls() const;
  void clearLaunchctlCalls() const { unlink(at("/var/launchctl/calls").c_str()); }
  void pauseLaunchctlCall(int n) const {
    writeFile("/var/launchctl/pause-call", std::to_string(n));
  }
  void resumeLaunchctl() const { unlink(at("/var/launchctl/pause-call").c_str()); }
  bool launchctlPaused() const { return exists("/var/launchctl/paused"); }

 private:
  std::string build();
  void drain() const;
  SandboxProcess start(const std::vector<std::string>& argv, const RunOptions& options,
                       const std::string& out, const std::string& err);

  std::string reason_ = "not built", path_;
  int logSocket_ = -1, started_ = 0;
  std::atomic<bool> stop_{false};
  std::thread reader_;
  mutable std::mutex mutex_;
  mutable std::vector<SyslogLine> lines_;
};

}  // namespace vq::testing
