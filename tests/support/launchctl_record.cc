#include "tests/support/launchctl_record.h"

namespace vq::testing {

std::string Escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\t') {
      out += "\\t";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\\') {
      out += "\\\\";
    } else {
      out += c;
    }
  }
  return out;
}

std::string Unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    const char next = text[++i];
    out += next == 't' ? '\t' : next == 'n' ? '\n' : next;
  }
  return out;
}

std::string EncodeLaunchctlCall(int argc, char* const argv[]) {
  std::string line;
  for (int i = 0; i < argc; ++i) {
    if (i > 0) line += '\t';
    line += Escape(argv[i]);
  }
  return line;
}

std::vector<std::string> DecodeLaunchctlCall(const std::string& line) {
  std::vector<std::string> args;
  size_t start = 0;
  for (;;) {
    const size_t tab = line.find('\t', start);
    args.push_back(Unescape(line.substr(start, tab - start)));
    if (tab == std::string::npos) break;
    start = tab + 1;
  }
  return args;
}

}  // namespace vq::testing
