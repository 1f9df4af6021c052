#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace tillerpad::kit {

// One point of the trade-off between picture size, frame rate and JPEG
// quality that the screen stream makes for a link.
struct StreamSettings {
  std::int64_t maxPixelWidth = 0;
  std::int64_t framesPerSecond = 0;
  double jpegQuality = 0;  // in (0, 1]
  friend bool operator==(const StreamSettings&, const StreamSettings&) = default;
};

}  // namespace tillerpad::kit

template <>
struct std::hash<tillerpad::kit::StreamSettings> {
  std::size_t operator()(const tillerpad::kit::StreamSettings& s) const noexcept {
    std::size_t h = std::hash<std::int64_t>()(s.maxPixelWidth);
    h = h * 31 + std::hash<std::int64_t>()(s.framesPerSecond);
    return h * 31 + std::hash<double>()(s.jpegQuality);
  }
};
