#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "kit/common/log.h"
#include "platform/screen_capture.h"
#include "platform/wlroots/wayland_connection.h"

namespace tillerpad::platform::wlroots {

// Screen capture of a wlroots compositor's outputs through screencopy into
// shared-memory buffers. The protocol runs on the connection's thread; each
// capture has a thread of its own that paces the requests, skips frames in
// which nothing changed (the compositor's damage, checked against the
// previous picture) and scales with libyuv. Handlers run on that thread.
// A failed copy, a vanished output or a lost compositor end the capture
// through `stopped`.
class WlrScreenCapture : public ScreenCapture {
 public:
  // The globals this part needs on the shared connection.
  static std::vector<WantedGlobal> wantedGlobals();

  WlrScreenCapture(std::shared_ptr<WaylandConnection> connection, kit::Logger log);
  ~WlrScreenCapture() override;
  WlrScreenCapture(const WlrScreenCapture&) = delete;
  WlrScreenCapture& operator=(const WlrScreenCapture&) = delete;

  void listDisplays(DisplaysDone done) override;
  void start(const CaptureConfig& config, CaptureHandlers handlers, StartDone done) override;
  void setDisplaysChangedHandler(std::function<void()> changed) override;

  // Whether a capture can start: the compositor offers screencopy and one
  // frame of the main output came back. The answer is kept; `refresh` asks
  // the compositor again (one small capture, bounded by `limit`).
  bool capturePermitted(bool refresh = false, std::chrono::milliseconds limit = std::chrono::seconds(3));

 private:
  std::shared_ptr<WaylandConnection> connection_;
  kit::Logger log_;
  int outputsToken_ = 0;
  std::mutex mutex_;
  std::function<void()> changed_;
  std::optional<bool> permitted_;
};

// The capturable displays of a set of outputs, in the order of
// displaysFromOutputs (the main one first).
std::vector<CaptureDisplay> captureDisplaysFromOutputs(const std::vector<OutputInfo>& outputs);

}  // namespace tillerpad::platform::wlroots
