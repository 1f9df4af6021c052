#pragma once

#include <ostream>

#include "platform/fake/recording_input.h"

// Readable failure messages for recorded events.
namespace tillerpad::platform {

inline std::ostream& operator<<(std::ostream& os, const MouseEvent& e) {
  return os << "mouse{type " << static_cast<int>(e.type) << ", button " << e.button << ", at " << e.location.x << ","
            << e.location.y << ", click " << e.clickState << ", delta " << e.deltaX << "," << e.deltaY << "}";
}
inline std::ostream& operator<<(std::ostream& os, const ScrollEvent& e) {
  return os << "scroll{" << e.vertical << ", " << e.horizontal << "}";
}
inline std::ostream& operator<<(std::ostream& os, const KeyEvent& e) {
  return os << "key{" << e.keyCode << (e.down ? " down" : " up") << ", flags 0x" << std::hex << e.flags << std::dec
            << "}";
}
inline std::ostream& operator<<(std::ostream& os, const TextEvent& e) {
  return os << "text{" << (e.down ? "down" : "up") << ", " << e.text.size() << " units}";
}

// Found by argument-dependent lookup through the variant's alternatives.
inline void PrintTo(const fake::RecordedInput& e, std::ostream* os) {
  std::visit([os](const auto& v) { *os << v; }, e);
}

}  // namespace tillerpad::platform
