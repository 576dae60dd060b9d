#include "kestrun/main.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Mode = KestrunCommand::Mode;

KestrunCommand Parse(std::vector<std::string> words) {
  static std::vector<std::string> storage;
  storage = std::move(words);
  storage.insert(storage.begin(), "kestrun");
  static std::vector<char*> argv;
  argv.clear();
  for (auto& word : storage) argv.push_back(word.data());
  argv.push_back(nullptr);
  return ParseCommandLine(static_cast<int>(storage.size()), argv.data());
}

TEST(CommandLine, ModesAndTheirArguments) {
  EXPECT_EQ(Parse({}).mode, Mode::kServiceLoop);
  EXPECT_EQ(Parse({"create", "x", "y"}).mode, Mode::kCreate);
  const KestrunCommand install = Parse({"install", "/src", "/ignored"});
  EXPECT_EQ(install.mode, Mode::kInstall);
  EXPECT_STREQ(install.source, "/src");
  EXPECT_STREQ(Parse({"install"}).error, "Error: source path must be specified\n");
  for (const char* word : {"", "INSTALL", "Create", "uninstal", "install "}) {
    const KestrunCommand command = Parse({word});
    EXPECT_EQ(command.mode, Mode::kInvalid) << word;
    EXPECT_STREQ(command.error, "Error: invalid argument\n");
  }
}

TEST(CommandLine, UninstallOptionsStopAtTheFirstWord) {
  struct Case {
    std::vector<std::string> words;
    bool update;
  };
  for (const Case& c : std::vector<Case>{{{"uninstall"}, false},
                                         {{"uninstall", "-u"}, true},
                                         {{"uninstall", "-uu"}, true},
                                         {{"uninstall", "-u", "-u"}, true},
                                         {{"uninstall", "word", "-u"}, false},
                                         {{"uninstall", "--", "-u"}, false},
                                         {{"uninstall", "-u", "word", "-x"}, true}}) {
    const KestrunCommand command = Parse(c.words);
    EXPECT_EQ(command.mode, Mode::kUninstall);
    EXPECT_EQ(command.update, c.update) << c.words.size();
  }
  testing::internal::CaptureStderr();
  const KestrunCommand bad = Parse({"uninstall", "-u", "-x"});
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "uninstall: invalid option -- 'x'\n");
  EXPECT_EQ(bad.mode, Mode::kInvalid);
  EXPECT_STREQ(bad.error, "Error: invalid argument\n");
}

}  // namespace
