#include "tests/support/root_tree.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "tests/support/launchctl_record.h"

#ifndef LAUNCHD_MODEL_PATH
#error "LAUNCHD_MODEL_PATH must name the built launchd model"
#endif

namespace vq::testing {
namespace {

void Check(bool ok, const std::string& what) {
  if (!ok) throw std::runtime_error(what + ": " + std::strerror(errno));
}

void ListInto(const std::string& base, const std::string& relative, std::vector<std::string>* out) {
  DIR* dir = opendir((base + "/" + relative).c_str());
  if (dir == nullptr) return;
  std::vector<std::string> names;
  while (dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const std::string child = relative.empty() ? name : relative + "/" + name;
    const std::string full = base + "/" + child;
    struct stat st;
    if (lstat(full.c_str(), &st) != 0) continue;
    if (S_ISLNK(st.st_mode)) {
      char target[4096];
      const ssize_t n = readlink(full.c_str(), target, sizeof target);
      out->push_back(child + " -> " + std::string(target, n > 0 ? static_cast<size_t>(n) : 0));
    } else if (S_ISDIR(st.st_mode)) {
      out->push_back(child + "/");
      ListInto(base, child, out);
    } else {
      out->push_back(child);
    }
  }
}

}  // namespace

void RootTree::makeDirs(std::string_view absolute, mode_t mode) const {
  std::string full = at(absolute);
  for (size_t pos = path_.size() + 1; pos != std::string::npos;) {
    pos = full.find('/', pos + 1);
    const std::string prefix = full.substr(0, pos);
    if (mkdir(prefix.c_str(), mode) != 0) Check(errno == EEXIST, "mkdir " + prefix);
  }
}

void RootTree::writeFile(std::string_view absolute, std::string_view content, mode_t mode) const {
  const std::string full = at(absolute);
  makeDirs(absolute.substr(0, absolute.rfind('/')));
  std::ofstream out(full, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  out.close();
  Check(out.good(), "write " + full);
  Check(chmod(full.c_str(), mode) == 0, "chmod " + full);
}

std::string RootTree::readFile(std::string_view absolute) const {
  std::ifstream in(at(absolute), std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool RootTree::exists(std::string_view absolute) const {
  struct stat st;
  return lstat(at(absolute).c_str(), &st) == 0;
}

void RootTree::symlink(std::string_view target, std::string_view absolute) const {
  const std::string full = at(absolute);
  Check(::symlink(std::string(target).c_str(), full.c_str()) == 0, "symlink " + full);
}

std::string RootTree::readLink(std::string_view absolute) const {
  char target[4096];
  const ssize_t n = readlink(at(absolute).c_str(), target, sizeof target);
  return n < 0 ? std::string() : std::string(target, static_cast<size_t>(n));
}

std::vector<std::string> RootTree::list(std::string_view absolute) const {
  std::vector<std::string> out;
  ListInto(at(absolute), "", &out);
  return out;
}

void RootTree::installLaunchdModel() const {
  makeDirs("/bin");
  makeDirs("/var/launchctl");
  std::ifstream in(LAUNCHD_MODEL_PATH, std::ios::binary);
  std::stringstream program;
  program << in.rdbuf();
  writeFile("/bin/launchctl", program.str(), 0755);
}

void RootTree::setLaunchctlAnswer(const std::string& subcommand, int exitCode,
                                  const std::string& text, int delayMs) const {
  std::ofstream config(at("/var/launchctl/config"), std::ios::app);
  config << subcommand << '\t' << exitCode << '\t' << delayMs << '\t' << Escape(text) << '\n';
}

void RootTree::clearLaunchctlAnswers() const { unlink(at("/var/launchctl/config").c_str()); }

std::vector<std::vector<std::string>> RootTree::launchctlCalls() const {
  std::vector<std::vector<std::string>> calls;
  std::istringstream lines(readFile("/var/launchctl/calls"));
  std::string line;
  while (std::getline(lines, line)) calls.push_back(DecodeLaunchctlCall(line));
  return calls;
}

void RootTree::clearLaunchctlCalls() const { unlink(at("/var/launchctl/calls").c_str()); }

void RootTree::pauseLaunchctl(const std::string& subcommand) const {
  writeFile("/var/launchctl/pause-" + subcommand, "");
}

void RootTree::resumeLaunchctl(const std::string& subcommand) const {
  unlink(at("/var/launchctl/pause-" + subcommand).c_str());
}

std::vector<int> RootTree::pausedLaunchctls() const {
  std::vector<int> pids;
  DIR* dir = opendir(at("/var/launchctl").c_str());
  if (dir == nullptr) return pids;
  while (dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.rfind("paused-", 0) == 0) pids.push_back(std::atoi(name.c_str() + 7));
  }
  closedir(dir);
  return pids;
}

void RootTree::writeUsers(const std::vector<TestUser>& users) const {
  std::string passwd = "root:x:0:0:root:/root:/bin/sh\n";
  std::string group = "root:x:0:\n";
  for (const TestUser& user : users) {
    passwd += user.name + ":x:" + std::to_string(user.uid) + ":" + std::to_string(user.gid) +
              "::" + user.home + ":" + user.shell + "\n";
    group += user.name + ":x:" + std::to_string(user.gid) + ":\n";
  }
  writeFile("/etc/passwd", passwd);
  writeFile("/etc/group", group);
  writeFile("/etc/login.defs", "UID_MIN\t\t\t 1000\nUID_MAX\t\t\t60000\n");
  // Everyone is logged in graphically unless a test says otherwise.
  std::string sessions;
  for (const TestUser& user : users) sessions += std::to_string(user.uid) + "\n";
  makeDirs("/var/launchctl");
  writeFile("/var/launchctl/sessions", sessions);
}

void RemoveTree(const std::string& path) {
  if (path.size() < 6 || path.rfind("/tmp/", 0) != 0) return;  // never anything else
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    if (DIR* dir = opendir(path.c_str())) {
      std::vector<std::string> names;
      while (dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
      }
      closedir(dir);
      chmod(path.c_str(), 0700);
      for (const auto& name : names) RemoveTree(path + "/" + name);
    }
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

}  // namespace vq::testing
