#include "tests/support/sandbox.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace vq::testing {
namespace {

namespace fs = std::filesystem;

std::string Failed(const std::string& what) { return what + ": " + std::strerror(errno); }

void Check(bool ok, const std::string& what) {
  if (!ok) throw std::runtime_error(Failed(what));
}

std::string ReadHostFile(const std::string& path) {
  std::stringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

// "<pri>... com.quendalore.ks2[pid]: [category] text", as the logger sends it.
std::optional<SyslogLine> ParseSyslog(const std::string& datagram) {
  const std::string tag = std::string(kLogSubsystem) + "[";
  const size_t at = datagram.find(tag), text = datagram.find("]: [", at);
  const size_t close = datagram.find("] ", text + 4);
  if (datagram[0] != '<' || text == std::string::npos || close == std::string::npos) return {};
  const int priority = std::atoi(datagram.c_str() + 1) & 7;
  const LogType type = priority == 3   ? LogType::kError
                       : priority == 6 ? LogType::kInfo
                       : priority == 7 ? LogType::kDebug
                                       : LogType::kDefault;
  return SyslogLine{type, std::atoi(datagram.c_str() + at + tag.size()),
                    datagram.substr(text + 4, close - text - 4), datagram.substr(close + 2)};
}

}  // namespace

RunResult SandboxProcess::wait() {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadHostFile(outPath), ""};
}

Sandbox::Sandbox() {
  // The whole process leaves the host's mount namespace once.
  static const std::string outside = [] {
    if (geteuid() != 0) return std::string("end-to-end tests need root");
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr)) {
      return Failed("private mount namespace");
    }
    return std::string();
  }();
  reason_ = outside.empty() ? build() : outside;
}

Sandbox::~Sandbox() {
  stop_ = true;
  if (reader_.joinable()) reader_.join();
  if (logSocket_ >= 0) close(logSocket_);
  if (path_.empty()) return;
  umount2(path_.c_str(), MNT_DETACH);
  rmdir(path_.c_str());
}

std::string Sandbox::build() {
  char name[] = "/tmp/kestrun-sandbox-XXXXXX";
  if (mkdtemp(name) == nullptr) return Failed("mkdtemp");
  path_ = name;
  // The host's programs and libraries, read-only, under a /usr/local of its
  // own (plug-in links go there); devices, a shell, the launchd model, and
  // the folders a Mac has before any product is installed.
  const std::string script =
      "set -e; umask 022; cd '" + path_ + "'; launchctl='" + LAUNCHD_MODEL_PATH + R"sh('
    mount -t tmpfs -o mode=0755,size=4g tmpfs . && cd "$PWD"
    mkdir -p usr proc dev tmp bin "Library/Application Support" Library/LaunchDaemons \
      Library/LaunchAgents Applications Users opt
    mount --rbind /usr usr && mount -o remount,bind,ro usr
    mount -t tmpfs -o mode=0755 tmpfs usr/local
    for lib in lib lib64 lib32 libx32; do [ ! -L /$lib ] || ln -s "$(readlink /$lib)" $lib; done
    mount -t proc -o nosuid,nodev,noexec proc proc
    mknod -m 666 dev/null c 1 3 && mknod -m 666 dev/zero c 1 5 && mknod -m 666 dev/urandom c 1 9
    chmod 1777 tmp && cp /usr/bin/dash bin/sh && cp "$launchctl" bin/launchctl)sh";
  if (std::system(script.c_str()) != 0) return "cannot build the sandbox in " + path_;
  writeUsers({});
  writeFile("/etc/nsswitch.conf", "passwd: files\ngroup: files\n");

  sockaddr_un address{AF_UNIX, {}};
  const std::string logPath = at("/dev/log");
  logSocket_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (logSocket_ < 0 || logPath.size() >= sizeof address.sun_path) return Failed("socket");
  std::strcpy(address.sun_path, logPath.c_str());
  if (bind(logSocket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    return Failed("bind /dev/log");
  }
  chmod(logPath.c_str(), 0666);
  // Read continuously: a full socket queue would make the tool wait.
  reader_ = std::thread([this] {
    for (pollfd poll_fd{logSocket_, POLLIN, 0}; !stop_;) {
      if (poll(&poll_fd, 1, 20) > 0) drain();
    }
  });
  return "";
}

void Sandbox::makeDirs(std::string_view absolute, mode_t mode) const {
  std::error_code error;
  if (fs::create_directories(at(absolute), error)) chmod(at(absolute).c_str(), mode);
  Check(!error, "mkdir " + at(absolute));
}

void Sandbox::writeFile(std::string_view absolute, std::string_view content, mode_t mode) const {
  makeDirs(absolute.substr(0, absolute.rfind('/')));
  std::ofstream out(at(absolute), std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  out.close();
  Check(out.good() && chmod(at(absolute).c_str(), mode) == 0, "write " + at(absolute));
}

std::string Sandbox::readFile(std::string_view absolute) const {
  return ReadHostFile(at(absolute));
}

bool Sandbox::exists(std::string_view absolute) const {
  std::error_code error;
  return fs::exists(fs::symlink_status(at(absolute), error));
}

std::vector<std::string> Sandbox::list(std::string_view absolute) const {
  std::vector<std::string> out;
  std::error_code error;
  for (fs::recursive_directory_iterator it(at(absolute), error), end; it != end;
       it.increment(error)) {
    // Things may vanish while a killed run's child still works: no query throws.
    const std::string name = it->path().string().substr(at(absolute).size() + 1);
    out.push_back(it->is_symlink(error) ? name + " -> " + fs::read_symlink(*it, error).string()
                                        : name + (it->is_directory(error) ? "/" : ""));
  }
  std::sort(out.begin(), out.end());
  return out;
}

void Sandbox::copyIn(const std::string& hostPath, std::string_view absolute) const {
  makeDirs(absolute.substr(0, absolute.rfind('/')));
  const std::string command = "/bin/cp -a '" + hostPath + "' '" + at(absolute) + "'";
  Check(std::system(command.c_str()) == 0, command);
}

void Sandbox::writeUsers(const std::vector<TestUser>& users) const {
  std::string passwd = "root:x:0:0:root:/root:/bin/sh\n", group = "root:x:0:\n", sessions;
  for (const TestUser& user : users) {
    const std::string uid = std::to_string(user.uid), gid = std::to_string(user.gid);
    passwd += user.name + ":x:" + uid + ":" + gid + "::" + user.home + ":" + user.shell + "\n";
    group += user.name + ":x:" + gid + ":\n";
    sessions += uid + "\n";
  }
  writeFile("/etc/passwd", passwd);
  writeFile("/etc/group", group);
  writeFile("/etc/login.defs", "UID_MIN\t\t\t 1000\nUID_MAX\t\t\t60000\n");
  writeFile("/var/launchctl/sessions", sessions);
}

SandboxProcess Sandbox::start(const std::vector<std::string>& argv, const RunOptions& options,
                              const std::string& out, const std::string& err) {
  const int flags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC;
  const int outFd = open(out.c_str(), flags, 0644), errFd = open(err.c_str(), flags, 0644);
  Check(outFd >= 0 && errFd >= 0, "output files");
  std::vector<char*> args, environment;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  for (const std::string& entry : options.environment) {
    environment.push_back(const_cast<char*>(entry.c_str()));
  }
  args.push_back(nullptr);
  environment.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    // Only async-signal-safe calls from here on.
    const int devnull = open("/dev/null", O_RDONLY);
    if (dup2(outFd, 1) < 0 || dup2(errFd, 2) < 0 || dup2(devnull, 0) < 0 ||
        chroot(path_.c_str()) != 0 || chdir("/") != 0 ||
        (options.uid && (setgroups(0, nullptr) != 0 || setgid(options.gid.value_or(*options.uid)) ||
                         setuid(*options.uid) != 0))) {
      _exit(125);
    }
    execve(args[0], args.data(), environment.data());
    _exit(126);
  }
  close(outFd);
  close(errFd);
  return SandboxProcess{pid, out};
}

RunResult Sandbox::run(const std::vector<std::string>& argv, const RunOptions& options) {
  const std::string base = at("/tmp/run-" + std::to_string(++started_));
  RunResult result = start(argv, options, base + ".out", base + ".err").wait();
  result.err = ReadHostFile(base + ".err");
  unlink((base + ".out").c_str());
  unlink((base + ".err").c_str());
  return result;
}

SandboxProcess Sandbox::spawn(const std::vector<std::string>& argv) {
  const std::string out = at("/tmp/spawned-" + std::to_string(++started_));
  return start(argv, {}, out, out);
}

// Datagrams are queued when a process sends them, so once a process has
// ended, draining the socket yields every message it logged.
void Sandbox::drain() const {
  char buffer[16384];
  std::lock_guard<std::mutex> guard(mutex_);
  for (ssize_t n; (n = recv(logSocket_, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;) {
    if (auto line = ParseSyslog(std::string(buffer, static_cast<size_t>(n)))) {
      lines_.push_back(std::move(*line));
    }
  }
}

std::vector<SyslogLine> Sandbox::syslog() const {
  drain();
  std::lock_guard<std::mutex> guard(mutex_);
  return lines_;
}

std::string Sandbox::syslogDump() const {
  std::string out;
  for (const SyslogLine& line : syslog()) {
    const char* const names[] = {"default", "info", "debug"};  // kDefault, kInfo, kDebug
    const char* type = line.type == LogType::kError ? "error" : names[int(line.type)];
    out += "[" + line.category + "] " + type + " " + std::to_string(line.pid) + ": " + line.text +
           "\n";
  }
  return out;
}

void Sandbox::clearSyslog() {
  drain();
  std::lock_guard<std::mutex> guard(mutex_);
  lines_.clear();
}

// The model writes one line per call, its words split by 0x1f.
std::vector<std::vector<std::string>> Sandbox::launchctlCalls() const {
  std::vector<std::vector<std::string>> calls;
  std::istringstream lines(readFile("/var/launchctl/calls"));
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::vector<std::string>& call = calls.emplace_back();
    for (std::string word; std::getline(words, word, '\x1f');) call.push_back(word);
  }
  return calls;
}

}  // namespace vq::testing
