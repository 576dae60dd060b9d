// Splits the input at NUL bytes into the words after the program name and
// hands them to the command-line parser, which must never crash, never
// reorder or change the words, and answer exactly what the rules of the
// command line say: the first word picks the mode, "install" needs a source,
// and after "uninstall" only clusters of -u count as options, up to the first
// word that is not one or a "--".
#include <getopt.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "kestrun/main.h"

namespace {

using Mode = KestrunCommand::Mode;

constexpr char kNoSource[] = "Error: source path must be specified\n";
constexpr char kInvalidArgument[] = "Error: invalid argument\n";

struct Expectation {
  Mode mode = Mode::kInvalid;
  bool update = false;
  const char* error = kInvalidArgument;
};

// The options after "uninstall", read the way a non-permuting getopt with
// the option string "u" reads them.
Expectation ExpectedUninstall(const std::vector<std::string>& words) {
  Expectation expected;
  for (size_t i = 2; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (word == "--") break;
    if (word.size() < 2 || word[0] != '-') break;
    for (size_t c = 1; c < word.size(); ++c) {
      if (word[c] != 'u') return expected;
    }
    expected.update = true;
  }
  expected.mode = Mode::kUninstall;
  expected.error = nullptr;
  return expected;
}

Expectation Expected(const std::vector<std::string>& words) {
  Expectation expected;
  if (words.size() < 2) {
    expected.mode = Mode::kServiceLoop;
    expected.error = nullptr;
  } else if (words[1] == "install") {
    if (words.size() < 3) {
      expected.error = kNoSource;
    } else {
      expected.mode = Mode::kInstall;
      expected.error = nullptr;
    }
  } else if (words[1] == "uninstall") {
    expected = ExpectedUninstall(words);
  } else if (words[1] == "create") {
    expected.mode = Mode::kCreate;
    expected.error = nullptr;
  }
  return expected;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // getopt's diagnostic for an unknown option would flood the fuzzer's own
  // output; the parser's answer does not depend on it.
  opterr = 0;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  const std::string_view data(reinterpret_cast<const char*>(bytes), size);
  // Each word ends at a NUL or at the end of the input, so "" is no word at
  // all and "\0" one empty word.
  std::vector<std::string> words = {"kestrun"};
  for (size_t start = 0; start < data.size();) {
    size_t end = data.find('\0', start);
    if (end == std::string_view::npos) end = data.size();
    words.emplace_back(data.substr(start, end - start));
    start = end + 1;
  }

  // Each word in a buffer of its own, so that ASan sees any read past its end.
  std::vector<std::vector<char>> storage;
  std::vector<char*> argv;
  for (const std::string& word : words) {
    storage.emplace_back(word.begin(), word.end());
    storage.back().push_back('\0');
  }
  for (std::vector<char>& word : storage) argv.push_back(word.data());
  argv.push_back(nullptr);
  const std::vector<char*> pointers = argv;
  const int argc = static_cast<int>(words.size());

  const Expectation expected = Expected(words);
  for (int round = 0; round < 2; ++round) {
    // Twice: what getopt keeps between calls must not leak into the next parse.
    const KestrunCommand command = ParseCommandLine(argc, argv.data());
    FUZZ_CHECK(command.mode == expected.mode);
    if (expected.error == nullptr) {
      FUZZ_CHECK(command.error == nullptr);
    } else {
      FUZZ_CHECK(command.error != nullptr && std::strcmp(command.error, expected.error) == 0);
    }
    if (expected.mode == Mode::kUninstall) FUZZ_CHECK(command.update == expected.update);
    if (expected.mode == Mode::kInstall) {
      FUZZ_CHECK(command.source == argv[2]);
    } else {
      FUZZ_CHECK(command.source == nullptr);
    }
    // Never reordered, never changed.
    FUZZ_CHECK(argv == pointers);
    for (size_t i = 0; i < words.size(); ++i) FUZZ_CHECK(words[i] == argv[i]);
  }
  return 0;
}
