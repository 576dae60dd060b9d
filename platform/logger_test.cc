#include "platform/logger.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/capture_logger.h"

namespace vq {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// --- Rendering os_log formats ----------------------------------------------------

class LogFormattedTest : public ::testing::Test {
 protected:
  std::string only() const {
    const std::vector<std::string> texts = log.texts();
    EXPECT_EQ(texts.size(), 1u) << log.dump();
    return texts.empty() ? std::string() : texts.back();
  }

  CaptureLogger log;
};

TEST_F(LogFormattedTest, PrivacyAnnotationsAreStripped) {
  LogFormatted(log, LogType::kInfo, "copy %{public}s to %{private}s", "/a b", "/c");
  EXPECT_EQ(only(), "copy /a b to /c");
}

TEST_F(LogFormattedTest, AnyAnnotationBeforeAConversionIsStripped) {
  LogFormatted(log, LogType::kInfo, "[%{public}u|%{private}d|%{bool}d|%{errno}d]", 8u, -3, 1, 2);
  EXPECT_EQ(only(), "[8|-3|1|2]");
}

TEST_F(LogFormattedTest, DoublePercentStaysALiteralPercent) {
  LogFormatted(log, LogType::kInfo, "100%% done, %%{public}s and %%%{public}s", "x");
  EXPECT_EQ(only(), "100% done, %{public}s and %x");
}

TEST_F(LogFormattedTest, IntegerConversionsWork) {
  LogFormatted(log, LogType::kDefault, "installed version: %u, my version: %u, delta %d",
               4294967295u, 8u, -1);
  EXPECT_EQ(only(), "installed version: 4294967295, my version: 8, delta -1");
}

TEST_F(LogFormattedTest, FormatWithoutConversionsIsWrittenAsItStands) {
  LogFormatted(log, LogType::kError, "cannot compose domain-target");
  EXPECT_THAT(log.records(),
              ElementsAre(LogRecord{LogType::kError, "cannot compose domain-target"}));
}

TEST_F(LogFormattedTest, LongMessagesAreRenderedWhole) {
  for (size_t length : {1022u, 1023u, 1024u, 1025u, 5000u}) {
    log.clear();
    const std::string value(length - 8, 'v');
    LogFormatted(log, LogType::kDebug, "output: %{public}s", value.c_str());
    EXPECT_EQ(only(), "output: " + value) << "length " << length;
  }
}

TEST_F(LogFormattedTest, TheMacrosWriteTheirTypes) {
  VQ_LOG_DEFAULT(log, "d %d", 0);
  VQ_LOG_INFO(log, "i %d", 1);
  VQ_LOG_DEBUG(log, "g %d", 2);
  VQ_LOG_ERROR(log, "e");
  EXPECT_THAT(log.records(),
              ElementsAre(LogRecord{LogType::kDefault, "d 0"}, LogRecord{LogType::kInfo, "i 1"},
                          LogRecord{LogType::kDebug, "g 2"}, LogRecord{LogType::kError, "e"}));
}

// A handle with debug messages switched off, as the unified log may have them.
class NoDebugLogger final : public Logger {
 public:
  bool isEnabled(LogType type) const override { return type != LogType::kDebug; }
  void write(LogType, std::string_view text) override { written.emplace_back(text); }
  std::vector<std::string> written;
};

TEST(LogFormattedEnabledTest, DisabledTypesAreNotWritten) {
  NoDebugLogger log;
  LogFormatted(log, LogType::kDebug, "hidden %d", 1);
  LogFormatted(log, LogType::kInfo, "shown %d", 2);
  EXPECT_THAT(log.written, ElementsAre("shown 2"));
}

// --- The capture sink -------------------------------------------------------------

TEST(CaptureLoggerTest, RecordsKeepNewlinesAndBytesInside) {
  CaptureLogger log;
  const std::string binary("nul\0inside", 10);
  log.write(LogType::kInfo, "first line\nsecond line\n");
  log.write(LogType::kError, "");
  log.write(LogType::kDebug, binary);
  EXPECT_THAT(log.records(),
              ElementsAre(LogRecord{LogType::kInfo, "first line\nsecond line\n"},
                          LogRecord{LogType::kError, ""}, LogRecord{LogType::kDebug, binary}));
}

TEST(CaptureLoggerTest, DumpShowsTypeAndTextPerRecordAndClearEmpties) {
  CaptureLogger log;
  log.write(LogType::kDefault, "a");
  log.write(LogType::kInfo, "b");
  log.write(LogType::kDebug, "c");
  log.write(LogType::kError, "d");
  EXPECT_EQ(log.dump(), "default: a\ninfo: b\ndebug: c\nerror: d\n");
  log.clear();
  EXPECT_THAT(log.records(), IsEmpty());
  log.write(LogType::kInfo, "after");
  EXPECT_THAT(log.texts(), ElementsAre("after"));
}

TEST(CaptureLoggerTest, AForkedChildsMessagesAreCaptured) {
  CaptureLogger log;
  log.write(LogType::kInfo, "before");
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    VQ_LOG_ERROR(log, "cannot execute process");
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  log.write(LogType::kInfo, "after");
  EXPECT_THAT(log.records(), ElementsAre(LogRecord{LogType::kInfo, "before"},
                                         LogRecord{LogType::kError, "cannot execute process"},
                                         LogRecord{LogType::kInfo, "after"}));
}

TEST(CaptureLoggerTest, RecordsStayWholeWhenParentAndChildWriteAtOnce) {
  CaptureLogger log;
  constexpr int kEach = 300;
  // Records of many lengths, some larger than a pipe's atomic size.
  const auto text = [](char who, int i) { return std::string(1 + (i * 37) % 9000, who); };
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    for (int i = 0; i < kEach; ++i) log.write(LogType::kDebug, text('c', i));
    _exit(0);
  }
  for (int i = 0; i < kEach; ++i) log.write(LogType::kInfo, text('p', i));
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);

  std::vector<std::string> parent, child;
  for (const LogRecord& record : log.records()) {
    (record.type == LogType::kInfo ? parent : child).push_back(record.text);
  }
  ASSERT_EQ(parent.size(), static_cast<size_t>(kEach));
  ASSERT_EQ(child.size(), static_cast<size_t>(kEach));
  for (int i = 0; i < kEach; ++i) {
    ASSERT_EQ(parent[i], text('p', i)) << "parent record " << i;
    ASSERT_EQ(child[i], text('c', i)) << "child record " << i;
  }
}

}  // namespace
}  // namespace vq
