#include "platform/option_parser.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/captured_output.h"

namespace vq::platform {
namespace {

using ::testing::ElementsAre;

// An argument vector the parser may write through, with a record of the
// pointers it started with.
class Args {
 public:
  Args(std::initializer_list<const char*> words) : words_(words.begin(), words.end()) {
    for (std::string& word : words_) argv_.push_back(word.data());
    original_ = argv_;
    argv_.push_back(nullptr);
  }
  int argc() const { return static_cast<int>(words_.size()); }
  char* const* argv() { return argv_.data(); }
  bool unchanged() const {
    return std::equal(original_.begin(), original_.end(), argv_.begin()) && argv_.back() == nullptr;
  }

 private:
  std::vector<std::string> words_;
  std::vector<char*> argv_;
  std::vector<char*> original_;
};

class OptionParserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetOptionParser();
    opterr = 1;
  }

  // Every answer of the parser up to and including -1.
  std::vector<int> parse(Args& args) {
    std::vector<int> answers;
    for (int i = 0; i < 20; ++i) {
      answers.push_back(NextOption(args.argc(), args.argv(), "u"));
      if (answers.back() == -1) break;
    }
    return answers;
  }

  // What the body wrote to standard error.
  static std::string capturedStderr(const std::function<void()>& body) {
    return vq::testing::CapturedOutput(STDERR_FILENO, body);
  }
};

TEST_F(OptionParserTest, StopsAtTheFirstWordThatIsNoOption) {
  Args args{"kestrun", "-u", "uninstall", "-u"};
  EXPECT_THAT(parse(args), ElementsAre('u', -1));
  EXPECT_EQ(optind, 2);
  EXPECT_TRUE(args.unchanged());
}

TEST_F(OptionParserTest, OptionAfterAnOperandIsNeitherParsedNorMovedForward) {
  Args args{"kestrun", "install", "/payload", "-u"};
  EXPECT_THAT(parse(args), ElementsAre(-1));
  EXPECT_EQ(optind, 1);
  EXPECT_TRUE(args.unchanged());
}

TEST_F(OptionParserTest, DoubleDashEndsTheOptions) {
  Args args{"kestrun", "-u", "--", "-u", "uninstall"};
  EXPECT_THAT(parse(args), ElementsAre('u', -1));
  EXPECT_EQ(optind, 3) << "optind points past the double dash";
  EXPECT_TRUE(args.unchanged());
}

TEST_F(OptionParserTest, ClusteredOptionsComeOneByOne) {
  Args args{"kestrun", "-uu", "uninstall"};
  EXPECT_THAT(parse(args), ElementsAre('u', 'u', -1));
  EXPECT_EQ(optind, 2);
}

TEST_F(OptionParserTest, NoArgumentsAtAll) {
  Args args{"kestrun"};
  EXPECT_THAT(parse(args), ElementsAre(-1));
  EXPECT_EQ(optind, 1);
}

TEST_F(OptionParserTest, UnknownOptionGivesQuestionMarkAndGlibcsDiagnostic) {
  Args args{"kestrun", "-x", "uninstall"};
  std::vector<int> answers;
  const std::string diagnostic = capturedStderr([&] { answers = parse(args); });
  EXPECT_THAT(answers, ElementsAre('?', -1));
  EXPECT_EQ(optopt, 'x');
  EXPECT_EQ(diagnostic, "kestrun: invalid option -- 'x'\n");
  EXPECT_TRUE(args.unchanged());
}

TEST_F(OptionParserTest, ResetStartsAnIndependentParse) {
  // The first parse stops in the middle of a cluster.
  Args first{"kestrun", "-uu"};
  ASSERT_EQ(NextOption(first.argc(), first.argv(), "u"), 'u');

  ResetOptionParser();
  Args second{"other", "-u", "create"};
  EXPECT_THAT(parse(second), ElementsAre('u', -1));
  EXPECT_EQ(optind, 2);

  ResetOptionParser();
  Args third{"other", "create"};
  EXPECT_THAT(parse(third), ElementsAre(-1));
  EXPECT_EQ(optind, 1);
}

}  // namespace
}  // namespace vq::platform
