#include "tests/support/sandbox.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>

#include "tests/support/capture_logger.h"

#ifndef KESTRUN_TOOL_PATH
#error "KESTRUN_TOOL_PATH must name the built tool"
#endif

namespace vq::testing {
namespace {

std::string ReadHostFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Moves this process into a mount namespace of its own, once: whatever the
// sandboxes mount is invisible to the host and disappears with the process.
bool EnterPrivateMountNamespace(std::string* reason) {
  static int state = 0;  // 0 not tried, 1 entered, -1 failed
  static std::string failure;
  if (state == 0) {
    if (geteuid() != 0) {
      failure = "end-to-end tests need root";
    } else if (unshare(CLONE_NEWNS) != 0) {
      failure = std::string("unshare(CLONE_NEWNS): ") + std::strerror(errno);
    } else if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      failure = std::string("making mounts private: ") + std::strerror(errno);
    }
    state = failure.empty() ? 1 : -1;
  }
  *reason = failure;
  return state == 1;
}

LogType TypeFromPriority(int priority) {
  switch (priority & 7) {
    case 3:
      return LogType::kError;
    case 6:
      return LogType::kInfo;
    case 7:
      return LogType::kDebug;
    default:
      return LogType::kDefault;
  }
}

// "<PRI>Mmm dd hh:mm:ss com.quendalore.ks2[PID]: [category] text"
std::optional<SyslogLine> ParseSyslog(const std::string& datagram) {
  if (datagram.empty() || datagram[0] != '<') return std::nullopt;
  SyslogLine line;
  line.type = TypeFromPriority(std::atoi(datagram.c_str() + 1));
  const std::string tag = std::string(kLogSubsystem) + "[";
  const size_t at = datagram.find(tag);
  if (at == std::string::npos) return std::nullopt;
  line.pid = std::atoi(datagram.c_str() + at + tag.size());
  size_t text = datagram.find("]: ", at);
  if (text == std::string::npos) return std::nullopt;
  text += 3;
  if (text < datagram.size() && datagram[text] == '[') {
    const size_t close = datagram.find("] ", text);
    if (close != std::string::npos) {
      line.category = datagram.substr(text + 1, close - text - 1);
      text = close + 2;
    }
  }
  line.text = datagram.substr(text);
  return line;
}

RunResult Decode(int status) {
  RunResult result;
  if (WIFEXITED(status)) {
    result.exitCode = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
  }
  return result;
}

}  // namespace

std::string BuiltToolPath() { return KESTRUN_TOOL_PATH; }
std::string BuiltPayloadPath() { return KESTRUN_PAYLOAD_DIR; }
std::string BuiltOlderPayloadPath() { return KESTRUN_OLDER_PAYLOAD_DIR; }

RunResult SandboxProcess::wait() {
  if (!waited_) {
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    result_ = Decode(status);
    result_.out = ReadHostFile(outPath_);
    result_.err = ReadHostFile(errPath_);
    waited_ = true;
  }
  return result_;
}

void SandboxProcess::kill(int signal) {
  if (!waited_) ::kill(pid_, signal);
}

Sandbox::Sandbox() {
  if (!EnterPrivateMountNamespace(&reason_)) return;
  ready_ = build();
}

Sandbox::~Sandbox() {
  for (pid_t pid : children_) {
    if (::kill(pid, 0) == 0) ::kill(pid, SIGKILL);
    while (waitpid(pid, nullptr, WNOHANG) < 0 && errno == EINTR) {
    }
  }
  stop_ = true;
  if (reader_.joinable()) reader_.join();
  if (logSocket_ >= 0) close(logSocket_);
  if (!mountPoint_.empty()) {
    umount2(mountPoint_.c_str(), MNT_DETACH);
    rmdir(mountPoint_.c_str());
  }
}

bool Sandbox::build() {
  char name[] = "/tmp/kestrun-sandbox-XXXXXX";
  if (mkdtemp(name) == nullptr) {
    reason_ = "mkdtemp failed";
    return false;
  }
  mountPoint_ = name;
  path_ = mountPoint_;
  auto fail = [&](const std::string& what) {
    reason_ = what + ": " + std::strerror(errno);
    return false;
  };
  if (mount("tmpfs", path_.c_str(), "tmpfs", 0, "mode=0755,size=2g") != 0) {
    return fail("mount tmpfs");
  }

  // The host's programs and libraries, read-only; /usr/local is the
  // sandbox's own, since plug-in links go there.
  makeDirs("/usr");
  if (mount("/usr", at("/usr").c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0 ||
      mount(nullptr, at("/usr").c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) {
    return fail("bind /usr");
  }
  if (mount("tmpfs", at("/usr/local").c_str(), "tmpfs", 0, "mode=0755") != 0) {
    return fail("mount /usr/local");
  }
  for (const char* dir : {"/lib", "/lib64", "/lib32", "/libx32"}) {
    struct stat st;
    if (lstat(dir, &st) != 0) continue;
    if (S_ISLNK(st.st_mode)) {
      char target[256];
      const ssize_t n = readlink(dir, target, sizeof target - 1);
      if (n > 0) symlink(std::string(target, static_cast<size_t>(n)), dir);
    }
  }
  makeDirs("/proc");
  if (mount("proc", at("/proc").c_str(), "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0) {
    return fail("mount /proc");
  }

  makeDirs("/dev");
  mknod(at("/dev/null").c_str(), S_IFCHR | 0666, makedev(1, 3));
  mknod(at("/dev/zero").c_str(), S_IFCHR | 0666, makedev(1, 5));
  mknod(at("/dev/urandom").c_str(), S_IFCHR | 0666, makedev(1, 9));
  makeDirs("/tmp");
  chmod(at("/tmp").c_str(), 01777);
  makeDirs("/root", 0700);

  writeFile("/bin/sh", ReadHostFile("/usr/bin/dash"), 0755);
  installLaunchdModel();
  writeUsers({});
  writeFile("/etc/nsswitch.conf", "passwd: files\ngroup: files\nshadow: files\n");

  // What a Mac has before any product is installed.
  for (const char* dir : {"/Library/Application Support", "/Library/LaunchDaemons",
                          "/Library/LaunchAgents", "/Applications", "/Users", "/opt"}) {
    makeDirs(dir);
  }

  logSocket_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (logSocket_ < 0) return fail("socket");
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string logPath = at("/dev/log");
  if (logPath.size() >= sizeof address.sun_path) return fail("socket path too long");
  std::strcpy(address.sun_path, logPath.c_str());
  if (bind(logSocket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    return fail("bind /dev/log");
  }
  chmod(logPath.c_str(), 0666);
  reader_ = std::thread([this] { readSyslog(); });
  return true;
}

void Sandbox::readSyslog() {
  while (!stop_) {
    pollfd poll_fd{logSocket_, POLLIN, 0};
    if (poll(&poll_fd, 1, 20) > 0) drainSyslog();
  }
}

// Datagrams are queued when a process sends them, so once a process has
// ended, draining the socket under the lock yields every message it logged.
void Sandbox::drainSyslog() const {
  char buffer[16384];
  std::lock_guard<std::mutex> guard(mutex_);
  for (;;) {
    const ssize_t n = recv(logSocket_, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n <= 0) break;
    if (auto line = ParseSyslog(std::string(buffer, static_cast<size_t>(n)))) {
      lines_.push_back(std::move(*line));
    }
  }
}

std::vector<SyslogLine> Sandbox::syslog() const {
  drainSyslog();
  std::lock_guard<std::mutex> guard(mutex_);
  return lines_;
}

std::vector<std::string> Sandbox::syslogTexts() const {
  std::vector<std::string> texts;
  for (const SyslogLine& line : syslog()) texts.push_back(line.text);
  return texts;
}

std::string Sandbox::syslogDump() const {
  std::string out;
  for (const SyslogLine& line : syslog()) {
    out += "[" + line.category + "] " + LogTypeName(line.type) + " " + std::to_string(line.pid) +
           ": " + line.text + "\n";
  }
  return out;
}

void Sandbox::clearSyslog() {
  drainSyslog();
  std::lock_guard<std::mutex> guard(mutex_);
  lines_.clear();
}

bool Sandbox::waitForSyslog(const std::string& text, int timeoutMs) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  do {
    for (const std::string& seen : syslogTexts()) {
      if (seen == text) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  } while (std::chrono::steady_clock::now() < deadline);
  return false;
}

void Sandbox::copyIn(const std::string& hostPath, std::string_view absolute) const {
  const std::string destination = at(absolute);
  makeDirs(absolute.substr(0, absolute.rfind('/')));
  const pid_t pid = fork();
  if (pid == 0) {
    execl("/bin/cp", "cp", "-a", hostPath.c_str(), destination.c_str(), nullptr);
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
}

void Sandbox::installPayload(std::string_view absolute) const {
  copyIn(BuiltPayloadPath(), absolute);
}

void Sandbox::installOlderPayload(std::string_view absolute) const {
  copyIn(BuiltOlderPayloadPath(), absolute);
}

pid_t Sandbox::forkChrooted(const std::vector<std::string>& argv, const RunOptions& options,
                            int out, int err) const {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  std::vector<char*> environment;
  for (const std::string& entry : options.environment) {
    environment.push_back(const_cast<char*>(entry.c_str()));
  }
  environment.push_back(nullptr);

  const pid_t pid = fork();
  if (pid != 0) return pid;
  // Child: only async-signal-safe calls from here on.
  if (dup2(out, STDOUT_FILENO) < 0 || dup2(err, STDERR_FILENO) < 0) _exit(125);
  const int devnull = open("/dev/null", O_RDONLY);
  if (devnull >= 0) dup2(devnull, STDIN_FILENO);
  if (chroot(path_.c_str()) != 0 || chdir("/") != 0) _exit(125);
  if (options.gid || options.uid) {
    const gid_t gid = options.gid.value_or(options.uid.value_or(0));
    if (setgroups(0, nullptr) != 0 || setgid(gid) != 0) _exit(125);
  }
  if (options.uid && setuid(*options.uid) != 0) _exit(125);
  execve(args[0], args.data(), environment.data());
  _exit(126);
}

RunResult Sandbox::run(const std::vector<std::string>& argv, const RunOptions& options) {
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0) return {};
  if (pipe2(err, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    return {};
  }
  const pid_t pid = forkChrooted(argv, options, out[1], err[1]);
  close(out[1]);
  close(err[1]);
  RunResult result;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open_count = 2;
  char buffer[8192];
  while (open_count > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  RunResult decoded = Decode(status);
  result.exitCode = decoded.exitCode;
  result.signal = decoded.signal;
  return result;
}

SandboxProcess Sandbox::spawn(const std::vector<std::string>& argv, const RunOptions& options) {
  makeDirs("/var/test-output");
  const std::string base = at("/var/test-output/") + std::to_string(++spawned_);
  const int out = open((base + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int err = open((base + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const pid_t pid = forkChrooted(argv, options, out, err);
  close(out);
  close(err);
  children_.push_back(pid);
  return SandboxProcess(pid, base + ".out", base + ".err");
}

}  // namespace vq::testing
