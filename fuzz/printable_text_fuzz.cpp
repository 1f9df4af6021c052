// Names from phones go through withoutControlCharacters before they reach a
// terminal or a log: whatever comes in, nothing a terminal treats as a
// control may come out, and the result is well-formed UTF-8.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "kit/common/text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string out = tillerpad::kit::withoutControlCharacters({reinterpret_cast<const char*>(data), size});
  if (out.size() > size) std::abort();
  for (std::size_t i = 0; i < out.size();) {
    auto c = static_cast<unsigned char>(out[i]);
    if (c < 0x20 || c == 0x7F) std::abort();
    std::size_t length = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
    if (c >= 0x80 && (c < 0xC2 || c > 0xF4)) std::abort();
    if (length > 1 && i + 1 < out.size()) {
      auto second = static_cast<unsigned char>(out[i + 1]);
      if ((c == 0xE0 && second < 0xA0) || (c == 0xED && second > 0x9F) || (c == 0xF0 && second < 0x90) ||
          (c == 0xF4 && second > 0x8F)) {
        std::abort();
      }
    }
    if (i + length > out.size()) std::abort();
    for (std::size_t k = 1; k < length; ++k) {
      if ((static_cast<unsigned char>(out[i + k]) & 0xC0) != 0x80) std::abort();
    }
    if (c == 0xC2 && static_cast<unsigned char>(out[i + 1]) <= 0x9F) std::abort();
    i += length;
  }
  return 0;
}
