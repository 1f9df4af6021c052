#pragma once

#include <cstdint>

namespace tillerpad::kit {

// A pointer move or scroll step carried by the UDP fast channel. The kind's
// value is its type code in a datagram.
struct FastEvent {
  enum class Kind : std::uint8_t { pointerMove = 1, scroll = 2 };

  Kind kind = Kind::pointerMove;
  float dx = 0;
  float dy = 0;

  static constexpr FastEvent pointerMove(float dx, float dy) { return {Kind::pointerMove, dx, dy}; }
  static constexpr FastEvent scroll(float dx, float dy) { return {Kind::scroll, dx, dy}; }

  friend constexpr bool operator==(const FastEvent&, const FastEvent&) = default;
};

}  // namespace tillerpad::kit
