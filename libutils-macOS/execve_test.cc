#include "libutils-macOS/execve.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/capture_logger.h"
#include "platform/install_lock.h"
#include "tests/support/captured_output.h"
#include "tests/support/temp_root.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using vq::CaptureLogger;
using vq::LogRecord;
using vq::LogType;

// Runs the test child with the given commands through vq_execve.
class ExecveTest : public ::testing::Test {
 protected:
  bool run(std::vector<std::string> commands, bool newSession = false) {
    commands.insert(commands.begin(), "test_child");
    std::vector<char*> argv;
    for (auto& word : commands) argv.push_back(word.data());
    argv.push_back(nullptr);
    return vq_execve(log, TEST_CHILD_PATH, argv.data(), newSession);
  }

  const std::string program = TEST_CHILD_PATH;
  CaptureLogger log;
};

TEST_F(ExecveTest, NonZeroExitLogsCodeThenOutputWithoutTheNewline) {
  EXPECT_FALSE(run({"out", "one line\\n", "exit", "5"}));
  EXPECT_THAT(log.records(), ElementsAre(LogRecord{LogType::kDebug, program + " exited with 5"},
                                         LogRecord{LogType::kDebug, "output: one line"}));
}

TEST_F(ExecveTest, SilentSuccessLogsNothing) {
  EXPECT_TRUE(run({"exit", "0"}));
  EXPECT_THAT(log.records(), IsEmpty());
}

TEST_F(ExecveTest, LastByteOfTheOutputIsAlwaysDropped) {
  EXPECT_TRUE(run({"out", "abc"}));
  EXPECT_THAT(log.records(), ElementsAre(LogRecord{LogType::kDebug, "output: ab"}));
}

TEST_F(ExecveTest, OnlyOneReadOfAtMost2048BytesIsCaptured) {
  EXPECT_TRUE(run({"bytes", "3000"}));
  const auto records = log.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].text, "output: " + std::string(2047, 'x'));
}

TEST_F(ExecveTest, StandardErrorIsCapturedToo) {
  EXPECT_FALSE(run({"err", "Bootstrap failed: 5: Input/output error\\n", "exit", "5"}));
  EXPECT_THAT(log.texts(), ElementsAre(program + " exited with 5",
                                       "output: Bootstrap failed: 5: Input/output error"));
}

TEST_F(ExecveTest, MissingProgramIsReportedByTheChildThenByItsExitCode) {
  char* argv[] = {const_cast<char*>("missing"), nullptr};
  EXPECT_FALSE(vq_execve(log, "/nonexistent/program", argv, false));
  EXPECT_THAT(log.records(),
              ElementsAre(LogRecord{LogType::kError, "cannot execute process"},
                          LogRecord{LogType::kDebug, "/nonexistent/program exited with 2"}));
}

TEST_F(ExecveTest, ChildKilledBySignalCountsAsSuccess) {
  EXPECT_TRUE(run({"kill", std::to_string(SIGKILL)}));
  EXPECT_THAT(log.records(), IsEmpty());
}

TEST_F(ExecveTest, ChildGetsAnEmptyEnvironment) {
  setenv("KESTRUN_TEST_SECRET", "leak", 1);
  EXPECT_FALSE(run({"env", "out", "END\\n", "exit", "3"}));
  unsetenv("KESTRUN_TEST_SECRET");
  EXPECT_THAT(log.texts(), ElementsAre(program + " exited with 3", "output: END"));
}

// Descriptors above 2 that this process would pass to any child: those it
// inherited from whoever started the tests without close-on-exec.
std::string InheritableDescriptors() {
  std::string list;
  for (int fd = 3; fd < 1024; ++fd) {
    const int flags = fcntl(fd, F_GETFD);
    if (flags >= 0 && (flags & FD_CLOEXEC) == 0) list += " " + std::to_string(fd);
  }
  return list;
}

TEST_F(ExecveTest, NoDescriptorOfOursLeaksIntoTheChild) {
  vq::testing::TempRoot root;
  const int lock = vq::platform::OpenExclusivelyLocked(root.at("/lock").c_str(), 0600);
  ASSERT_GE(lock, 0);
  const std::string expected = "output: open:" + InheritableDescriptors();
  EXPECT_FALSE(run({"fds", "exit", "1"}));
  close(lock);
  // The lock, the log's file and the runner's own pipe ends stay behind.
  EXPECT_THAT(log.texts(), ElementsAre(program + " exited with 1", expected));
}

TEST_F(ExecveTest, NewSessionMakesTheChildASessionLeader) {
  EXPECT_FALSE(run({"session", "exit", "1"}, true));
  EXPECT_THAT(log.texts(), ElementsAre(program + " exited with 1", "output: leader"));
  log.clear();
  EXPECT_FALSE(run({"session", "exit", "1"}, false));
  EXPECT_THAT(log.texts(), ElementsAre(program + " exited with 1", "output: member"));
}

void IgnoreAlarm(int) {}

TEST_F(ExecveTest, WaitInterruptedBySignalIsRepeated) {
  struct sigaction action = {};
  action.sa_handler = IgnoreAlarm;  // no SA_RESTART: waitpid fails with EINTR
  struct sigaction previous;
  sigaction(SIGALRM, &action, &previous);
  itimerval timer = {};
  timer.it_value.tv_usec = 50 * 1000;
  setitimer(ITIMER_REAL, &timer, nullptr);

  // The child closes its output at once, so the parent is in the wait when
  // the alarm comes.
  EXPECT_TRUE(run({"close-output", "sleep", "300", "exit", "0"}));
  EXPECT_THAT(log.records(), IsEmpty());
  sigaction(SIGALRM, &previous, nullptr);
}

TEST_F(ExecveTest, WithoutAPipeTheChildWritesToOurOwnStreams) {
  std::string words[] = {"test_child", "out", "straight through\\n"};
  char* argv[] = {words[0].data(), words[1].data(), words[2].data(), nullptr};
  std::vector<int> hogs;
  bool succeeded = false;
  vq::Logger& logger = log;
  // Only plain calls while descriptors are short: sanitizer checks and test
  // assertions may need one themselves.
  const std::string output = vq::testing::CapturedOutput(STDOUT_FILENO, [&] {
    // Use up every descriptor but one: pipe() needs two. The hogs close on
    // exec, so the child starts with plenty.
    for (;;) {
      const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
      if (fd < 0) break;
      hogs.push_back(fd);
    }
    close(hogs.back());
    hogs.pop_back();
    succeeded = vq_execve(logger, TEST_CHILD_PATH, argv, false);
    for (int fd : hogs) close(fd);
  });
  EXPECT_TRUE(succeeded);
  EXPECT_EQ(output, "straight through\n");
  EXPECT_THAT(log.records(), IsEmpty());
}

}  // namespace
