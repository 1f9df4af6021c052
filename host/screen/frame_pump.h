#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "host/input/serial_queue.h"
#include "host/screen/jpeg_encoder.h"
#include "kit/common/log.h"
#include "kit/screen/screen_quality_controller.h"
#include "kit/wire/message.h"
#include "platform/screen_capture.h"

namespace tillerpad::host {

// Between one capture and the phone: encodes each frame, sends it, and paces
// the flow by the phone's acknowledgements (two frames unacknowledged at
// most; meanwhile only the newest frame waits). Acknowledgement delays and
// dropped frames feed the quality controller, whose changes go back to the
// streamer. All frame and acknowledgement work runs on the pump's own queue,
// never on the service thread.
class FramePump : public std::enable_shared_from_this<FramePump> {
 public:
  static constexpr const char* queueLabel = "app.tillerpad.screen";
  static constexpr std::size_t maxInFlight = 2;
  static constexpr double expiry = 3.0;  // seconds until an unacknowledged frame stops taking a slot
  // Frames and acknowledgements waiting for the queue; beyond this they are dropped.
  static constexpr std::size_t queueCapacity = 64;

  using Send = std::function<void(kit::Message)>;
  struct Callbacks {
    Send send;  // called on the pump's queue
    std::function<void(kit::StreamSettings)> reconfigure;
    std::function<void(platform::CaptureStop)> stopped;  // any thread
  };

  // `uptime`: seconds of a monotonic clock, read on the pump's queue.
  FramePump(std::uint32_t epoch, std::uint32_t displayID, kit::ScreenQualityController quality,
            std::unique_ptr<JpegEncoder> encoder, std::function<double()> uptime, Callbacks callbacks,
            kit::Logger log);
  // Work still queued is dropped; waits only for the task that runs now.
  ~FramePump();
  FramePump(const FramePump&) = delete;
  FramePump& operator=(const FramePump&) = delete;

  // What the capture calls; they hold the pump weakly.
  platform::CaptureHandlers handlers();
  // Any thread.
  void frame(platform::FrameRef frame);
  void ack(std::uint64_t frameID);
  void platformStopped(platform::CaptureStop stop) { callbacks_.stopped(std::move(stop)); }

  std::uint32_t epoch() const { return epoch_; }
  std::uint32_t displayID() const { return displayID_; }
  // True once everything posted before the call was handled (tests, benches).
  bool waitIdle(std::chrono::milliseconds limit) { return queue_.waitIdle(limit); }
  // The state on the queue, copied there (tests).
  struct Snapshot {
    std::uint32_t sequence = 0;
    std::vector<std::uint64_t> inFlight;
    bool pending = false;
    int level = 0;
    int skipped = 0;
    std::vector<double> roundTrips;
  };
  std::optional<Snapshot> snapshot(std::chrono::milliseconds limit);

 private:
  void handleFrame(platform::FrameRef frame);
  void handleAck(std::uint64_t frameID);
  void encodeAndSend(const platform::CapturedFrame& frame, double now);
  void evaluateQuality(double now);

  const std::uint32_t epoch_;
  const std::uint32_t displayID_;
  Callbacks callbacks_;
  kit::Logger log_;
  std::function<double()> uptime_;
  std::unique_ptr<JpegEncoder> encoder_;
  // Queue state.
  kit::ScreenQualityController quality_;
  std::uint32_t sequence_ = 0;
  std::map<std::uint64_t, double> inFlight_;  // frame id -> send time
  platform::FrameRef pending_;                 // holds a capture buffer until a slot frees
  std::vector<std::uint8_t> jpeg_;
  std::atomic<bool> closed_ = false;
  SerialQueue queue_;  // last: its worker stops before the rest goes
};

}  // namespace tillerpad::host
