#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "kit/wire/blob.h"
#include "kit/wire/input_messages.h"

namespace tillerpad::kit {

struct DisplayInfo {
  std::uint32_t id = 0;
  std::string name;
  std::int64_t pointWidth = 0;
  std::int64_t pointHeight = 0;
  bool isMain = false;
  friend bool operator==(const DisplayInfo&, const DisplayInfo&) = default;
};

struct ScreenStart {
  std::optional<std::uint32_t> displayID;  // absent: the desktop chooses
  std::int64_t maxPixelWidth = 0;
  std::int64_t maxFramesPerSecond = 0;
  friend bool operator==(const ScreenStart&, const ScreenStart&) = default;
};

struct ScreenStop {
  friend bool operator==(const ScreenStop&, const ScreenStop&) = default;
};

struct ScreenInfo {
  std::vector<DisplayInfo> displays;
  std::uint32_t displayID = 0;
  friend bool operator==(const ScreenInfo&, const ScreenInfo&) = default;
};

// frameID: the stream's epoch in the upper 32 bits, the sequence within it
// (from 1) in the lower 32 bits.
struct ScreenFrame {
  std::uint64_t frameID = 0;
  std::uint32_t displayID = 0;
  std::int64_t pixelWidth = 0;
  std::int64_t pixelHeight = 0;
  Blob jpeg;

  static constexpr std::uint64_t makeFrameID(std::uint32_t epoch, std::uint32_t sequence) {
    return (std::uint64_t{epoch} << 32) | sequence;
  }
  friend bool operator==(const ScreenFrame&, const ScreenFrame&) = default;
};

struct ScreenFrameAck {
  std::uint64_t frameID = 0;
  friend bool operator==(const ScreenFrameAck&, const ScreenFrameAck&) = default;
};

// A click at a point given as fractions of the display's width and height.
struct ClickAt {
  std::uint32_t displayID = 0;
  double x = 0;
  double y = 0;
  MouseButton button = MouseButton::left;
  friend bool operator==(const ClickAt&, const ClickAt&) = default;
};

}  // namespace tillerpad::kit
