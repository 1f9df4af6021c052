#include "kit/common/base64.h"

#include <array>

namespace tillerpad::kit::base64 {
namespace {

constexpr char kStandard[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kUrlSafe[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

using DecodeTable = std::array<std::int8_t, 256>;

constexpr DecodeTable makeTable(const char* alphabet) {
  DecodeTable table{};
  for (auto& v : table) v = -1;
  for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(alphabet[i])] = static_cast<std::int8_t>(i);
  return table;
}

constexpr DecodeTable kStandardTable = makeTable(kStandard);
constexpr DecodeTable kUrlSafeTable = makeTable(kUrlSafe);

}  // namespace

std::string encode(ByteView bytes, Alphabet alphabet, Padding padding) {
  const char* digits = alphabet == Alphabet::standard ? kStandard : kUrlSafe;
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    std::uint32_t v = (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
    out.push_back(digits[(v >> 18) & 63]);
    out.push_back(digits[(v >> 12) & 63]);
    out.push_back(digits[(v >> 6) & 63]);
    out.push_back(digits[v & 63]);
  }
  std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    std::uint32_t v = std::uint32_t{bytes[i]} << 16;
    if (rest == 2) v |= std::uint32_t{bytes[i + 1]} << 8;
    out.push_back(digits[(v >> 18) & 63]);
    out.push_back(digits[(v >> 12) & 63]);
    if (rest == 2) out.push_back(digits[(v >> 6) & 63]);
    if (padding == Padding::required) out.append(rest == 1 ? "==" : "=");
  }
  return out;
}

std::optional<Bytes> decode(std::string_view text, Alphabet alphabet, Padding padding) {
  const DecodeTable& table = alphabet == Alphabet::standard ? kStandardTable : kUrlSafeTable;
  std::size_t padCount = 0;
  if (padding == Padding::required) {
    if (text.size() % 4 != 0) return std::nullopt;
    while (padCount < 2 && padCount < text.size() && text[text.size() - 1 - padCount] == '=') ++padCount;
  }
  std::string_view digits = text.substr(0, text.size() - padCount);
  std::size_t rest = digits.size() % 4;
  if (rest == 1) return std::nullopt;
  if (padding == Padding::required && padCount != 0 && rest != 4 - padCount) return std::nullopt;

  Bytes out;
  out.reserve(digits.size() / 4 * 3 + 2);
  std::uint32_t acc = 0;
  int bits = 0;
  for (char c : digits) {
    std::int8_t v = table[static_cast<unsigned char>(c)];
    if (v < 0) return std::nullopt;
    acc = (acc << 6) | static_cast<std::uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<std::uint8_t>((acc >> bits) & 0xFF));
    }
  }
  // Leftover bits must be zero so that every value has exactly one text.
  if (bits > 0 && (acc & ((1u << bits) - 1)) != 0) return std::nullopt;
  return out;
}

}  // namespace tillerpad::kit::base64
