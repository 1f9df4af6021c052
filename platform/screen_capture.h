#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tillerpad::platform {

// One display that can be captured.
struct CaptureDisplay {
  // Stays the same for the same display while the display server runs.
  std::uint32_t id = 0;
  std::string name;
  // Size in points (on X11 one point is one pixel), each at least 1.
  std::int64_t pointWidth = 1, pointHeight = 1;
  // Width of the display's current mode in pixels; 0 when it cannot be read.
  std::int64_t pixelWidth = 0;
  bool isMain = false;
  std::int64_t left = 0;  // left edge, in points, for ordering
  friend bool operator==(const CaptureDisplay&, const CaptureDisplay&) = default;
};

// What to capture and how: the frames come at `width` × `height` pixels,
// at most one per `minFrameInterval` seconds, with the pointer drawn in.
struct CaptureConfig {
  std::uint32_t displayID = 0;
  int width = 2, height = 2;
  double minFrameInterval = 0.1;
  bool showCursor = true;
  friend bool operator==(const CaptureConfig&, const CaptureConfig&) = default;
};

// A captured picture: 8-bit BGRX, rows of `stride` bytes. Frames are lent by
// the capture from a small pool; releasing the last reference returns the
// buffer, so whoever holds frames bounds the capture's memory.
struct CapturedFrame {
  int width = 0, height = 0;
  int stride = 0;
  std::vector<std::uint8_t> pixels;
};
using FrameRef = std::shared_ptr<const CapturedFrame>;

// Why the platform ended a capture. `byUser` means that the user withdrew
// consent, so the capture must not be restarted on its own.
struct CaptureStop {
  std::string description;
  bool byUser = false;
};

// A running capture. Calls return at once; their completions run later on
// any thread, with an error description on failure.
class CaptureStream {
 public:
  using Done = std::function<void(std::optional<std::string> error)>;
  virtual ~CaptureStream() = default;  // stops without waiting for `stop`
  virtual void update(const CaptureConfig& config, Done done) = 0;
  // After `done` no frame and no stop notice is delivered any more.
  virtual void stop(Done done) = 0;
};

struct CaptureHandlers {
  // Called on the capture's own thread, never on the caller's. When nothing
  // changed on the display since the previous frame, nothing is delivered;
  // the first frame of a capture always is.
  std::function<void(FrameRef)> frame;
  // The platform ended the capture (the display went away, the display
  // server was lost, the user withdrew consent). Any thread, at most once.
  std::function<void(CaptureStop)> stopped;
};

class ScreenCapture {
 public:
  using DisplaysDone = std::function<void(std::vector<CaptureDisplay>)>;
  using StartDone = std::function<void(std::unique_ptr<CaptureStream>, std::optional<std::string> error)>;
  virtual ~ScreenCapture() = default;
  // The displays now, in the platform's order (empty when there are none).
  // `done` runs on any thread.
  virtual void listDisplays(DisplaysDone done) = 0;
  // Starts capturing; `done` runs on any thread with the stream, or with
  // no stream and an error description.
  virtual void start(const CaptureConfig& config, CaptureHandlers handlers, StartDone done) = 0;
  // Called on any thread whenever the display arrangement may have changed;
  // bursts are the caller's to smooth. One handler; an empty one stops it.
  virtual void setDisplaysChangedHandler(std::function<void()> changed) = 0;
};

}  // namespace tillerpad::platform
