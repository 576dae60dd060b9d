#include "platform/utf8.h"

namespace vq {

bool IsValidUtf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    const unsigned char lead = *p++;
    if (lead < 0x80) continue;
    int more;
    unsigned min;
    unsigned code;
    if ((lead & 0xe0) == 0xc0) {
      more = 1, min = 0x80, code = lead & 0x1f;
    } else if ((lead & 0xf0) == 0xe0) {
      more = 2, min = 0x800, code = lead & 0x0f;
    } else if ((lead & 0xf8) == 0xf0) {
      more = 3, min = 0x10000, code = lead & 0x07;
    } else {
      return false;
    }
    if (end - p < more) return false;
    for (int i = 0; i < more; ++i, ++p) {
      if ((*p & 0xc0) != 0x80) return false;
      code = (code << 6) | (*p & 0x3f);
    }
    if (code < min || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) return false;
  }
  return true;
}

}  // namespace vq
