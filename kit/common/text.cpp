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
    std::size_t length = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
    bool whole = length > 0 && i + length <= text.size();
    for (std::size_t k = 1; whole && k < length; ++k) {
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
