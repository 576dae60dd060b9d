// A throwaway macOS-shaped system for running the real tool as root with its
// compiled-in paths. The test process moves into a private mount namespace
// once; each sandbox is a tmpfs there with /usr bound read-only from the host
// (and an empty tmpfs over /usr/local), its own /etc, /bin/sh, a recording
// /bin/launchctl, /proc and a /dev/log socket whose messages it collects.
// Programs run chrooted into it. Nothing is mounted in the host's namespace,
// so every mount goes away with the test process, however it ends.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/logger.h"
#include "tests/support/root_tree.h"

namespace vq::testing {

struct RunResult {
  int exitCode = -1;  // the exit status, or -1 when ended by a signal
  int signal = 0;     // the signal that ended it, if any
  std::string out;
  std::string err;
};

struct RunOptions {
  std::optional<uid_t> uid;  // run as this user instead of root
  std::optional<gid_t> gid;
  std::vector<std::string> environment;  // empty by default
};

struct SyslogLine {
  LogType type = LogType::kDefault;
  int pid = 0;
  std::string category;
  std::string text;
};

class SandboxProcess {
 public:
  SandboxProcess(pid_t pid, std::string outPath, std::string errPath)
      : pid_(pid), outPath_(std::move(outPath)), errPath_(std::move(errPath)) {}
  pid_t pid() const { return pid_; }
  // Waits for the end and collects the output written so far.
  RunResult wait();
  void kill(int signal);

 private:
  pid_t pid_;
  std::string outPath_;
  std::string errPath_;
  bool waited_ = false;
  RunResult result_;
};

class Sandbox : public RootTree {
 public:
  // Skips the calling test when the sandbox cannot be built (not root, no
  // mount namespaces); check ready() after construction.
  Sandbox();
  ~Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  bool ready() const { return ready_; }
  std::string whyNotReady() const { return reason_; }

  // Copies a host file or folder to a path inside the sandbox.
  void copyIn(const std::string& hostPath, std::string_view absolute) const;
  // The built sample payload at /payload (and the older build's at /payload-v7).
  void installPayload(std::string_view absolute = "/payload") const;
  void installOlderPayload(std::string_view absolute = "/payload-v7") const;

  // Runs argv (argv[0] a path inside the sandbox) to its end.
  RunResult run(const std::vector<std::string>& argv, const RunOptions& options = {});
  // Starts argv without waiting; its output goes to files.
  SandboxProcess spawn(const std::vector<std::string>& argv, const RunOptions& options = {});

  // Every message the sandbox's /dev/log has received so far.
  std::vector<SyslogLine> syslog() const;
  std::vector<std::string> syslogTexts() const;
  std::string syslogDump() const;
  void clearSyslog();
  // Waits until a message with this text has arrived.
  bool waitForSyslog(const std::string& text, int timeoutMs) const;

 private:
  bool build();
  void readSyslog();
  void drainSyslog() const;
  pid_t forkChrooted(const std::vector<std::string>& argv, const RunOptions& options, int out,
                     int err) const;

  bool ready_ = false;
  std::string reason_;
  std::string mountPoint_;
  int logSocket_ = -1;
  std::atomic<bool> stop_{false};
  std::thread reader_;
  mutable std::mutex mutex_;
  mutable std::vector<SyslogLine> lines_;
  int spawned_ = 0;
  std::vector<pid_t> children_;
};

// The tool, payloads and helpers the build made, as host paths.
std::string BuiltToolPath();
std::string BuiltPayloadPath();
std::string BuiltOlderPayloadPath();

}  // namespace vq::testing
