// The line format shared by the launchctl test double and the tests that
// read what it recorded.
#pragma once

#include <string>
#include <vector>

namespace vq::testing {

// Arguments joined by tabs; tab, newline and backslash escaped.
std::string EncodeLaunchctlCall(int argc, char* const argv[]);
std::vector<std::string> DecodeLaunchctlCall(const std::string& line);
std::string Escape(const std::string& text);
std::string Unescape(const std::string& text);

}  // namespace vq::testing
