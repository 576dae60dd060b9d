// Splits the input at NUL bytes into the words after the program name and
// hands them to the command-line parser: it must never crash, and its answer
// must follow from the first word alone, as the command line's rules say.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "kestrun/main.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  std::vector<std::string> words = {"kestrun"};
  std::istringstream input(std::string(reinterpret_cast<const char*>(bytes), size));
  for (std::string word; words.size() < 16 && std::getline(input, word, '\0');) {
    words.push_back(word);
  }
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  const std::vector<std::string> before = words;
  using Mode = KestrunCommand::Mode;
  const KestrunCommand command = ParseCommandLine(static_cast<int>(words.size()), argv.data());
  FUZZ_CHECK(words == before);
  const std::string first = words.size() > 1 ? words[1] : "";
  if (words.size() < 2) {
    FUZZ_CHECK(command.mode == Mode::kServiceLoop);
  } else if (first == "install") {
    FUZZ_CHECK(command.mode == (words.size() > 2 ? Mode::kInstall : Mode::kInvalid));
    if (words.size() > 2) FUZZ_CHECK(std::strcmp(command.source, words[2].c_str()) == 0);
  } else if (first == "create") {
    FUZZ_CHECK(command.mode == Mode::kCreate);
  } else if (first == "status") {
    // "--json" is its one word; anything else is an invalid argument.
    const bool valid = words.size() == 2 || (words.size() == 3 && words[2] == "--json");
    FUZZ_CHECK(command.mode == (valid ? Mode::kStatus : Mode::kInvalid));
    FUZZ_CHECK(command.json == (words.size() == 3 && valid));
  } else if (first == "uninstall") {
    FUZZ_CHECK(command.mode == Mode::kUninstall || command.error != nullptr);
  } else {
    FUZZ_CHECK(command.mode == Mode::kInvalid && command.error != nullptr);
  }
  return 0;
}
