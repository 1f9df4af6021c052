#pragma once

#include <asio/any_io_executor.hpp>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "host/screen/frame_pump.h"
#include "host/screen/jpeg_encoder.h"
#include "kit/common/log.h"
#include "kit/screen/stream_settings.h"
#include "kit/transport/clock.h"
#include "kit/wire/message.h"
#include "platform/screen_capture.h"

namespace tillerpad::host {

// The platform takes one display-change handler; every streamer (a replaced
// session's may still be stopping while the new one starts) subscribes here.
// Service thread only; the platform's calls are posted to it.
class DisplayChanges : public std::enable_shared_from_this<DisplayChanges> {
 public:
  static std::shared_ptr<DisplayChanges> create(platform::ScreenCapture& capture, asio::any_io_executor executor);
  ~DisplayChanges();
  using Token = std::uint64_t;
  Token subscribe(std::function<void()> changed);
  void unsubscribe(Token token);

 private:
  DisplayChanges(platform::ScreenCapture& capture, asio::any_io_executor executor)
      : capture_(capture), executor_(std::move(executor)) {}
  void notify();

  platform::ScreenCapture& capture_;
  asio::any_io_executor executor_;
  std::map<Token, std::function<void()>> subscribers_;
  Token last_ = 0;
};

// Size of the captured display: points, and the pixel width of its mode.
struct DisplayGeometry {
  std::int64_t pointWidth = 1, pointHeight = 1;
  std::int64_t pixelWidth = 2;
  // A pixel width the platform cannot read counts as twice the point width.
  static DisplayGeometry of(const platform::CaptureDisplay& display);
  friend bool operator==(const DisplayGeometry&, const DisplayGeometry&) = default;
};

enum class CaptureError { noDisplay };
std::string describe(CaptureError error);

// The capture configuration for settings and a display: the width within
// the mode's pixels, the height in proportion, both even and at least 2.
platform::CaptureConfig captureConfig(std::uint32_t displayID, const kit::StreamSettings& settings,
                                      const DisplayGeometry& geometry);

// The screen capture of one device session: picks the display, tells the
// phone which exist, runs the capture with a frame pump, applies the pump's
// quality changes, restarts after display changes and reports failures.
// Start, restart and stop are operations that run strictly one after the
// other, each waiting for the platform's completions of the one before.
// Service thread only.
class ScreenStreamer : public std::enable_shared_from_this<ScreenStreamer> {
 public:
  static constexpr std::chrono::milliseconds restartDelay{500};

  // What every streamer of the desktop shares.
  struct Environment {
    asio::any_io_executor executor;
    std::shared_ptr<kit::Clock> clock;  // timers, and the pump's uptime
    platform::ScreenCapture& capture;
    JpegEncoderFactory makeEncoder;
    std::shared_ptr<DisplayChanges> displayChanges;
    kit::Logger log;  // category "screen"
  };

  // `send` may be called from any thread (the pump's queue too).
  static std::shared_ptr<ScreenStreamer> create(Environment environment, FramePump::Send send);
  ~ScreenStreamer();

  // The phone asked for a stream: remembered, then a restart is queued.
  void start(kit::ScreenStart request);
  // Forgets the request and the pending restart, and queues a stop.
  void stop();
  // Queues a stop of the current capture (the request stays).
  void stopCapture();
  void restart();

  const std::optional<kit::ScreenStart>& request() const { return request_; }
  const std::shared_ptr<FramePump>& pump() const { return pump_; }
  bool isStreaming() const { return stream_ != nullptr; }
  std::optional<std::uint32_t> streamedDisplay() const;
  std::uint32_t epoch() const { return epoch_; }
  const std::optional<DisplayGeometry>& geometry() const { return geometry_; }
  // Seconds of the clock, as the pumps and quality controllers see it.
  double uptime() const;

  // Called when isStreaming() turns, on the service thread: the desktop
  // shows that its screen is being watched.
  std::function<void()> onStreamingChange = [] {};

 private:
  using Next = std::function<void()>;
  using Operation = std::function<void(Next)>;

  ScreenStreamer(Environment environment, FramePump::Send send);
  void enqueue(Operation operation);
  void runNext();
  // Posts `f` to the service thread, if the streamer is still there then.
  template <class F>
  auto later(F f);
  void stopThen(Next then);
  void startCapture(Next next);
  void started(std::uint32_t displayID, DisplayGeometry geometry, std::unique_ptr<platform::CaptureStream> stream,
               std::optional<std::string> error, Next next);
  void fail(const std::string& description);
  void reconfigure(std::uint32_t epoch, kit::StreamSettings settings);
  void stoppedByPlatform(std::uint32_t epoch, platform::CaptureStop stop);
  void displaysChanged();

  Environment env_;
  FramePump::Send send_;
  std::optional<kit::ScreenStart> request_;
  std::unique_ptr<platform::CaptureStream> stream_;
  std::shared_ptr<FramePump> pump_;
  std::optional<DisplayGeometry> geometry_;
  std::uint32_t displayID_ = 0;
  std::uint32_t epoch_ = 0;
  std::deque<Operation> operations_;
  bool running_ = false;
  std::unique_ptr<platform::CaptureStream> stopping_;  // kept until its stop completes
  std::optional<DisplayChanges::Token> observer_;
  std::unique_ptr<kit::Clock::Timer> pendingRestart_;
};

}  // namespace tillerpad::host
