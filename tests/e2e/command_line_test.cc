// The command line as the tool's callers see it: exact bytes on standard
// error, nothing on standard output, exit statuses, and what reaches the log.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/e2e/e2e_fixture.h"

namespace vq::testing {
namespace {

using ::testing::Contains;
using ::testing::IsEmpty;

constexpr char kRootError[] = "Error: must be run as root\n";
constexpr char kSourceError[] = "Error: source path must be specified\n";
constexpr char kArgumentError[] = "Error: invalid argument\n";

class CommandLineTest : public E2ETest {};

TEST_F(CommandLineTest, MessagesHaveTheirExactLengths) {
  EXPECT_EQ(std::string(kRootError).size(), 27u);
  EXPECT_EQ(std::string(kSourceError).size(), 37u);
  EXPECT_EQ(std::string(kArgumentError).size(), 24u);
}

TEST_F(CommandLineTest, NonRootGetsOnlyTheRootErrorWhateverTheArguments) {
  RunOptions user;
  user.uid = 1001;
  user.gid = 1001;
  for (const auto& args : std::vector<std::vector<std::string>>{
           {}, {"install"}, {"install", "/payload"}, {"uninstall", "-x"}, {"create"}, {"bogus"}}) {
    RunResult result = runTool(args, user);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, kRootError);
    EXPECT_THAT(result.out, IsEmpty());
  }
  EXPECT_THAT(sandbox.syslog(), IsEmpty());
  EXPECT_FALSE(sandbox.exists("/Library/Application Support/com.quendalore"));
}

TEST_F(CommandLineTest, InstallWithoutSourceFailsBeforeAnyLogHandle) {
  RunResult result = runTool({"install"});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.err, kSourceError);
  EXPECT_THAT(result.out, IsEmpty());
  EXPECT_THAT(sandbox.syslog(), IsEmpty());
}

TEST_F(CommandLineTest, UnknownWordsAreInvalidArguments) {
  for (const char* word : {"bogus", "Install", "UNINSTALL", "Create", ""}) {
    RunResult result = runTool({word});
    EXPECT_EQ(result.exitCode, 1) << word;
    EXPECT_EQ(result.err, kArgumentError) << word;
    EXPECT_THAT(result.out, IsEmpty());
  }
  EXPECT_THAT(sandbox.syslog(), IsEmpty());
}

TEST_F(CommandLineTest, UnknownUninstallOptionPrintsTheParsersDiagnosticFirst) {
  RunResult result = runTool({"uninstall", "-x"});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.err, std::string("uninstall: invalid option -- 'x'\n") + kArgumentError);
  EXPECT_THAT(result.out, IsEmpty());
  EXPECT_THAT(sandbox.syslog(), IsEmpty());

  result = runTool({"uninstall", "-u", "-q"});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.err, std::string("uninstall: invalid option -- 'q'\n") + kArgumentError);
}

TEST_F(CommandLineTest, UninstallOptionsSelectUpdateMode) {
  struct Case {
    std::vector<std::string> args;
    bool update;
  };
  const std::vector<Case> cases = {
      {{"uninstall"}, false},
      {{"uninstall", "-u"}, true},
      {{"uninstall", "-uu"}, true},
      {{"uninstall", "-u", "-u"}, true},
      {{"uninstall", "word", "-u"}, false},
      {{"uninstall", "--", "-u"}, false},
      {{"uninstall", "-u", "word", "-x"}, true},
  };
  for (const Case& c : cases) {
    sandbox.clearSyslog();
    RunResult result = runTool(c.args);
    ASSERT_TRUE(sandbox.waitForSyslog("uninstallation started", 2000));
    const auto texts = sandbox.syslogTexts();
    if (c.update) {
      EXPECT_EQ(result.exitCode, 0);
      EXPECT_THAT(texts, Contains("uninstaller started in update mode"));
    } else {
      // No installation here: a normal uninstall finds no database.
      EXPECT_EQ(result.exitCode, 1);
      EXPECT_THAT(texts, Contains("installation DB not found or access denied"));
    }
    EXPECT_THAT(result.err, IsEmpty());
    EXPECT_THAT(result.out, IsEmpty());
    for (const SyslogLine& line : sandbox.syslog()) EXPECT_EQ(line.category, "uninstaller");
  }
}

TEST_F(CommandLineTest, InstallIgnoresWordsAfterTheSource) {
  RunResult result = runTool({"install", "/payload", "/elsewhere"});
  EXPECT_EQ(result.exitCode, 0) << sandbox.syslogDump();
  EXPECT_THAT(result.err, IsEmpty());
  EXPECT_THAT(result.out, IsEmpty());
  EXPECT_TRUE(sandbox.exists(kInstalledTool));
  for (const SyslogLine& line : sandbox.syslog()) EXPECT_EQ(line.category, "installer");
}

TEST_F(CommandLineTest, CreateIgnoresFurtherWords) {
  // A pass changes the machine, so the two forms run on two fresh machines.
  Sandbox other;
  ASSERT_TRUE(other.ready());
  other.installPayload();
  RunResult plain = runTool({"create"});
  RunResult extra = other.run({kPayloadTool, "create", "more", "words"});
  EXPECT_EQ(plain.exitCode, 0);
  EXPECT_EQ(extra.exitCode, 0);
  EXPECT_EQ(plain.out, extra.out);
  EXPECT_THAT(plain.err, IsEmpty());
  EXPECT_THAT(extra.err, IsEmpty());
  for (const SyslogLine& line : sandbox.syslog()) EXPECT_EQ(line.category, "all");
}

}  // namespace
}  // namespace vq::testing
