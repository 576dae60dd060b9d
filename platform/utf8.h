// Whether bytes are well-formed UTF-8: no overlong forms, no surrogates,
// nothing above U+10FFFF. The system's paths and property-list strings are.
#pragma once

#include <string_view>

namespace vq {

bool IsValidUtf8(std::string_view text);

}  // namespace vq
