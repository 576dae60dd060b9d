// A stand-in for /bin/launchctl. It lives at <root>/bin/launchctl, records
// every argument vector in <root>/var/launchctl/calls (one line per call,
// arguments separated by tabs) and answers as <root>/var/launchctl/config
// says for its subcommand:
//
//   <subcommand|*> <TAB> <exit code> <TAB> <delay ms> <TAB> <text for stderr>
//
// A file <root>/var/launchctl/pause-<subcommand> (or pause-any) makes it
// announce itself in paused-<pid> and wait until that pause file is gone.
// Children of the tool get an empty environment, so files are the only channel.
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "tests/support/launchctl_record.h"

namespace {

std::string RootDirectory() {
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "";
  std::string path(self, static_cast<size_t>(n));
  // <root>/bin/launchctl
  for (int i = 0; i < 2; ++i) path = path.substr(0, path.rfind('/'));
  return path;
}

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

}  // namespace

int main(int argc, char* argv[]) {
  const std::string dir = RootDirectory() + "/var/launchctl";
  const std::string line = vq::testing::EncodeLaunchctlCall(argc, argv) + "\n";
  const int calls = open((dir + "/calls").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (calls >= 0) {
    (void)!write(calls, line.data(), line.size());
    close(calls);
  }

  const std::string subcommand = argc > 1 ? argv[1] : "";
  for (const std::string& name : {"pause-" + subcommand, std::string("pause-any")}) {
    if (!Exists(dir + "/" + name)) continue;
    const std::string marker = dir + "/paused-" + std::to_string(getpid());
    std::ofstream(marker) << subcommand << "\n";
    while (Exists(dir + "/" + name)) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    unlink(marker.c_str());
  }

  int code = 0;
  int delay_ms = 0;
  std::string text;
  std::ifstream config(dir + "/config");
  std::string entry;
  bool matched = false;
  while (std::getline(config, entry)) {
    std::istringstream fields(entry);
    std::string name, exit_field, delay_field;
    if (!std::getline(fields, name, '\t') || !std::getline(fields, exit_field, '\t')) continue;
    if (name != subcommand && (name != "*" || matched)) continue;
    std::getline(fields, delay_field, '\t');
    std::string message;
    std::getline(fields, message);
    code = std::atoi(exit_field.c_str());
    delay_ms = std::atoi(delay_field.c_str());
    text = vq::testing::Unescape(message);
    matched = name == subcommand;
    if (matched) break;
  }
  if (delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
  if (!text.empty()) std::fputs(text.c_str(), stderr);
  return code;
}
