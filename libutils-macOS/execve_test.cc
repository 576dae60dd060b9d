#include "libutils-macOS/execve.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/scoped_fd.h"
#include "tests/support/capture_logger.h"

namespace {

using vq::LogRecord;
using vq::LogType;

struct RunCase {
  friend void PrintTo(const RunCase& row, std::ostream* out) { *out << row.name; }
  const char* name;
  std::vector<std::string> commands;  // for the test child
  bool result;
  std::vector<LogRecord> log;  // "@" stands for the program path
  const char* program = TEST_CHILD_PATH;
};

bool RunChild(vq::CaptureLogger& log, std::vector<std::string> commands,
              const vq::ChildOptions& options = {}, const char* program = TEST_CHILD_PATH) {
  commands.insert(commands.begin(), "test_child");
  std::vector<char*> argv;
  for (auto& word : commands) argv.push_back(word.data());
  argv.push_back(nullptr);
  return vq::RunChildProcess(log, program, argv.data(), options);
}

class RunnerTable : public ::testing::TestWithParam<RunCase> {};

TEST_P(RunnerTable, ResultAndLog) {
  const RunCase& c = GetParam();
  vq::CaptureLogger log;
  EXPECT_EQ(RunChild(log, c.commands, {}, c.program), c.result);
  std::vector<LogRecord> expected = c.log;
  for (LogRecord& record : expected) {
    if (record.text[0] == '@') record.text.replace(0, 1, c.program);
  }
  EXPECT_EQ(log.records, expected) << log.dump();
}

const LogType D = LogType::kDebug;
// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, RunnerTable, ::testing::Values(
  RunCase{"ExitFiveWithLine", {"out", "one line\\n", "exit", "5"}, false, {{D, "@ exited with 5"}, {D, "output: one line"}}},
  RunCase{"SilentSuccess", {"exit", "0"}, true, {}},
  RunCase{"LastByteDropped", {"out", "abc"}, true, {{D, "output: ab"}}},
  RunCase{"AtMost2047Bytes", {"bytes", "3000"}, true, {{D, "output: " + std::string(2047, 'x')}}},
  RunCase{"StandardErrorCaptured", {"err", "oops\\n", "exit", "3"}, false, {{D, "@ exited with 3"}, {D, "output: oops"}}},
  RunCase{"ExitCodeAbove127", {"exit", "200"}, false, {{D, "@ exited with 200"}}},
  RunCase{"OnlyBits8To15Count", {"exit", "256"}, true, {}},
  RunCase{"SignalIsExitCodeZero", {"kill", "9"}, true, {}},
  RunCase{"OneReadOnly", {"out", "first", "sleep", "100", "out", "second\\n"}, true, {{D, "output: firs"}}},
  // Read to the end: more output after the first read does not end the child with SIGPIPE.
  RunCase{"LaterOutputIsDrained", {"out", "first", "sleep", "100", "bytes", "200000", "exit", "4"}, false, {{D, "@ exited with 4"}, {D, "output: firs"}}},
  RunCase{"EmptyEnvironment", {"env", "exit", "1"}, false, {{D, "@ exited with 1"}}},
  RunCase{"NoSignalBlocked", {"blocked"}, true, {{D, "output: blocked:"}}},
  RunCase{"ClosedOutputStillWaited", {"close-output", "sleep", "50", "exit", "7"}, false, {{D, "@ exited with 7"}}},
  RunCase{"MissingProgramIsAnExecFailureWithItsErrno", {}, false, {{LogType::kError, "cannot execute process"}, {D, "@ exited with 2"}}, "/nonexistent/program"}),
  [](const auto& row) { return std::string(row.param.name); });
// clang-format on

TEST(Runner, ChildGetsOnlyTheInheritedDescriptorAtThree) {
  vq::ScopedFd held(open("/dev/null", O_RDONLY | O_CLOEXEC));
  vq::ScopedFd stray(open("/dev/null", O_RDONLY));  // not close-on-exec
  ASSERT_TRUE(held.valid() && stray.valid());
  vq::ChildOptions options;
  options.inheritedDescriptor = held.get();
  options.resultType = LogType::kInfo;
  vq::CaptureLogger log;
  EXPECT_TRUE(RunChild(log, {"fds"}, options));
  EXPECT_TRUE(RunChild(log, {"session"}, options));
  options.inheritedDescriptor = -1;
  options.newSession = true;
  EXPECT_TRUE(RunChild(log, {"fds"}, options));
  EXPECT_TRUE(RunChild(log, {"session"}, options));
  EXPECT_EQ(log.dump(), "output: open: 3\noutput: member\noutput: open:\noutput: leader\n");
}

}  // namespace
