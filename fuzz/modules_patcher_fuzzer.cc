// Feeds arbitrary bytes to the Citrix module file patcher as a module file and
// checks the edit against an independent description of it: the first CR
// after the first "VirtualDriver=" becomes ", vq\rvq=On\r" unless "vq"
// already stands in that list as a whole entry, every other byte is kept, and
// a patched file is never patched again.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "kestrun/ModInstaller.h"

namespace {

constexpr std::string_view kKey = "VirtualDriver=";
constexpr std::string_view kInsertion = ", vq\rvq=On\r";

// Whether "vq" is an entry of the list that runs from listStart up to the CR
// at lineEnd: preceded by the '=', a space or a tab, followed by a comma or
// that CR.
bool ListsVq(std::string_view data, size_t listStart, size_t lineEnd) {
  for (size_t at = data.find("vq", listStart); at != std::string_view::npos && at + 2 <= lineEnd;
       at = data.find("vq", at + 1)) {
    const bool startsEntry = at == listStart || data[at - 1] == ' ' || data[at - 1] == '\t';
    const bool endsEntry = data[at + 2] == ',' || at + 2 == lineEnd;
    if (startsEntry && endsEntry) return true;
  }
  return false;
}

// What the patcher must answer for these bytes.
std::optional<std::string> Expected(std::string_view data) {
  const size_t key = data.find(kKey);
  if (key == std::string_view::npos) return std::nullopt;
  const size_t listStart = key + kKey.size();
  const size_t lineEnd = data.find('\r', listStart);
  if (lineEnd == std::string_view::npos || ListsVq(data, listStart, lineEnd)) return std::nullopt;
  return std::string(data.substr(0, lineEnd)) + std::string(kInsertion) +
         std::string(data.substr(lineEnd + 1));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  const std::string_view data(reinterpret_cast<const char*>(bytes), size);
  const std::optional<std::string> patched = VQKS2ModInstaller::patchedModulesData(data);
  const std::optional<std::string> expected = Expected(data);
  FUZZ_CHECK(patched.has_value() == expected.has_value());
  if (!patched) return 0;
  FUZZ_CHECK(*patched == *expected);
  FUZZ_CHECK(patched->size() == data.size() + kInsertion.size() - 1);
  // The program's own entry is recognised on every later pass.
  FUZZ_CHECK(!VQKS2ModInstaller::patchedModulesData(*patched).has_value());
  return 0;
}
