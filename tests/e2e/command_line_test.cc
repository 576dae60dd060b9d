// The command line as the tool's callers see it: exact bytes on standard
// error, nothing on standard output, exit statuses, and the log's category.
#include <gtest/gtest.h>

#include <string>

#include "tests/e2e/e2e_fixture.h"

namespace vq::testing {
namespace {

constexpr char kRoot[] = "Error: must be run as root\n";
constexpr char kSource[] = "Error: source path must be specified\n";
constexpr char kInvalid[] = "Error: invalid argument\n";

// getopt's own complaint about an unknown option letter, which the tool
// prints before its error line; BSD and glibc word it differently.
std::string UnknownOption(char letter) {
#ifdef __APPLE__
  return std::string("uninstall: illegal option -- ") + letter + "\n";
#else
  return std::string("uninstall: invalid option -- '") + letter + "'\n";
#endif
}

struct CommandCase {
  friend void PrintTo(const CommandCase& row, std::ostream* out) { *out << row.name; }
  const char* name;
  std::vector<std::string> args;
  bool asUser;
  int exit;
  std::string err;
  const char* firstLog;  // nullptr: nothing reaches the log
  const char* category;
};

class CommandLine : public E2ETest, public ::testing::WithParamInterface<CommandCase> {};

TEST_P(CommandLine, StatusStreamsAndLog) {
  const CommandCase& c = GetParam();
  const RunResult result = runTool(c.args, c.asUser ? RunOptions{1001, 1001, {}} : RunOptions{});
  EXPECT_EQ(result.exitCode, c.exit);
  EXPECT_EQ(result.err, c.err);
  if (c.args.empty() || c.args[0] != "create") {
    EXPECT_EQ(result.out, "");
  }
  const std::vector<SyslogLine> log = sandbox.syslog();
  if (c.firstLog == nullptr) {
    EXPECT_TRUE(log.empty());
    return;
  }
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.front().text, c.firstLog);
  for (const SyslogLine& line : log) EXPECT_EQ(line.category, c.category) << line.text;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, CommandLine, ::testing::Values(
  CommandCase{"UserInstall", {"install", "/payload"}, true, 1, kRoot, nullptr, ""},
  CommandCase{"UserBadOption", {"uninstall", "-x"}, true, 1, kRoot, nullptr, ""},
  CommandCase{"NoSource", {"install"}, false, 1, kSource, nullptr, ""},
  CommandCase{"UnknownWord", {"bogus"}, false, 1, kInvalid, nullptr, ""},
  CommandCase{"CaseMatters", {"Install", "/payload"}, false, 1, kInvalid, nullptr, ""},
  CommandCase{"EmptyWord", {""}, false, 1, kInvalid, nullptr, ""},
  CommandCase{"BadOption", {"uninstall", "-x"}, false, 1, UnknownOption('x') + kInvalid, nullptr, ""},
  CommandCase{"BadOptionAfterU", {"uninstall", "-u", "-q"}, false, 1, UnknownOption('q') + kInvalid, nullptr, ""},
  CommandCase{"PlainUninstall", {"uninstall"}, false, 1, "", "uninstallation started", "uninstaller"},
  CommandCase{"UpdateMode", {"uninstall", "-u"}, false, 0, "", "uninstallation started", "uninstaller"},
  CommandCase{"UpdateModeTwice", {"uninstall", "-uu"}, false, 0, "", "uninstallation started", "uninstaller"},
  CommandCase{"OptionsStopAtAWord", {"uninstall", "word", "-u"}, false, 1, "", "uninstallation started", "uninstaller"},
  CommandCase{"OptionsStopAtDashes", {"uninstall", "--", "-u"}, false, 1, "", "uninstallation started", "uninstaller"},
  CommandCase{"ExtraWordsAfterSource", {"install", "/payload", "/elsewhere"}, false, 0, "", "installation started", "installer"},
  CommandCase{"NonUtf8Source", {"install", "/pay\xff"}, false, 1, "", "installation started", "installer"},
  CommandCase{"CreateWithWords", {"create", "more"}, false, 0, "", "Kestrun version: payload\n", "all"}),
  [](const auto& row) { return std::string(row.param.name); });
// clang-format on

TEST_F(CommandLine, ClosedStandardStreamsStillReachLaunchctlsChildren) {
  // Started with 0 to 2 closed, the tool opens them on /dev/null: the lock
  // and the database never become a child's standard output.
  const RunResult result =
      sandbox.run({"/bin/sh", "-c", "exec /payload/bin/kestrun install /payload <&- >&- 2>&-"});
  EXPECT_EQ(result.exitCode, 0) << sandbox.syslogDump();
  EXPECT_EQ(machine(), "db=8/1 set daemon agent v1 lock jobs=system:com.quendalore.ks2");
  EXPECT_EQ(sandbox.readFile(kLockFile), "");
}

}  // namespace
}  // namespace vq::testing
