#pragma once

#include <string>
#include <string_view>

#include "kit/common/bytes.h"

namespace tillerpad::kit::test {

inline Bytes fromHex(std::string_view hex) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return out;
}

inline std::string toHex(ByteView bytes) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  for (auto b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 0x0F];
  }
  return out;
}

inline Bytes repeated(std::uint8_t value, std::size_t count) { return Bytes(count, value); }

inline Bytes counting(std::uint8_t from, std::size_t count) {
  Bytes out(count);
  for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<std::uint8_t>(from + i);
  return out;
}

}  // namespace tillerpad::kit::test
