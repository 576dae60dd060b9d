// Reading and writing inside a throwaway system root, as the tests see it
// from outside: the launchd model's files, users, plain files.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace vq::testing {

struct TestUser {
  std::string name;
  uint32_t uid;
  uint32_t gid;
  std::string home;  // as the system inside the root sees it
  std::string shell = "/bin/sh";
};

class RootTree {
 public:
  explicit RootTree(std::string path = {}) : path_(std::move(path)) {}

  const std::string& path() const { return path_; }
  // An absolute path inside the root, as seen from outside it.
  std::string at(std::string_view absolute) const { return path_ + std::string(absolute); }

  void makeDirs(std::string_view absolute, mode_t mode = 0755) const;
  void writeFile(std::string_view absolute, std::string_view content, mode_t mode = 0644) const;
  std::string readFile(std::string_view absolute) const;
  bool exists(std::string_view absolute) const;
  void symlink(std::string_view target, std::string_view absolute) const;
  std::string readLink(std::string_view absolute) const;
  // Relative paths of everything below a folder, sorted; links shown with " -> target".
  std::vector<std::string> list(std::string_view absolute) const;

  // The launchd model at /bin/launchctl and its files.
  void installLaunchdModel() const;
  void setLaunchctlAnswer(const std::string& subcommand, int exitCode, const std::string& text = "",
                          int delayMs = 0) const;
  void clearLaunchctlAnswers() const;
  std::vector<std::vector<std::string>> launchctlCalls() const;
  void clearLaunchctlCalls() const;
  void pauseLaunchctl(const std::string& subcommand) const;
  void resumeLaunchctl(const std::string& subcommand) const;
  // Pids of launchctl doubles currently waiting in a pause.
  std::vector<int> pausedLaunchctls() const;

  // /etc/passwd, /etc/group and /etc/login.defs with root and these users.
  void writeUsers(const std::vector<TestUser>& users) const;

 protected:
  std::string path_;
};

// Removes a tree on the host side (test clean-up only).
void RemoveTree(const std::string& path);

}  // namespace vq::testing
