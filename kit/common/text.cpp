#include "kit/common/text.h"

namespace tillerpad::kit {

std::string withoutControlCharacters(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      if (c >= 0x20 && c != 0x7F) out.push_back(static_cast<char>(c));
      ++i;
      continue;
    }
    // Well-formed sequences only (lead byte and the range of the second byte
    // as Unicode defines them): no overlong forms, surrogates or code points
    // beyond U+10FFFF.
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      length = 3;
      if (c == 0xE0) low = 0xA0;
      if (c == 0xED) high = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      length = 4;
      if (c == 0xF0) low = 0x90;
      if (c == 0xF4) high = 0x8F;
    }
    bool whole = length > 0 && i + length <= text.size();
    if (whole) {
      auto second = static_cast<unsigned char>(text[i + 1]);
      whole = second >= low && second <= high;
    }
    for (std::size_t k = 2; whole && k < length; ++k) {
      whole = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
    }
    // Stray and broken bytes go: an 8-bit terminal reads a lone 0x9B as CSI.
    if (!whole) {
      ++i;
      continue;
    }
    // U+0080..U+009F, the C1 controls, are C2 80..C2 9F.
    bool c1 = c == 0xC2 && static_cast<unsigned char>(text[i + 1]) <= 0x9F;
    if (!c1) out.append(text.substr(i, length));
    i += length;
  }
  return out;
}

}  // namespace tillerpad::kit
