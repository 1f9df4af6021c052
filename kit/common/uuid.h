#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "kit/common/bytes.h"

namespace tillerpad::kit {

// A 128-bit identifier. Text is 36 characters, upper-case hexadecimal in groups
// of 8-4-4-4-12; parsing accepts either case. Bytes are in RFC 4122 order.
class Uuid {
 public:
  using Storage = std::array<std::uint8_t, 16>;

  constexpr Uuid() = default;
  constexpr explicit Uuid(const Storage& bytes) : bytes_(bytes) {}

  // A random version-4 identifier from the cryptographic random source.
  static Uuid random();
  static std::optional<Uuid> parse(std::string_view text);
  // The first 16 bytes of `bytes`; nothing when fewer are given.
  static std::optional<Uuid> fromBytes(ByteView bytes);

  std::string text() const;
  const Storage& bytes() const { return bytes_; }

  friend constexpr bool operator==(const Uuid&, const Uuid&) = default;
  friend constexpr auto operator<=>(const Uuid&, const Uuid&) = default;

 private:
  Storage bytes_{};
};

}  // namespace tillerpad::kit

template <>
struct std::hash<tillerpad::kit::Uuid> {
  std::size_t operator()(const tillerpad::kit::Uuid& id) const noexcept {
    std::size_t h = 0;
    for (auto b : id.bytes()) h = h * 131 + b;
    return h;
  }
};
