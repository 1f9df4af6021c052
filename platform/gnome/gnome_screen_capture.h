#pragma once

#include <functional>
#include <memory>
#include <mutex>

#include "kit/common/log.h"
#include "platform/gnome/mutter_remote_desktop.h"
#include "platform/screen_capture.h"

namespace tillerpad::platform::gnome {

// Screen capture through Mutter's screen cast: each capture is a screen-cast
// session of its own recording one monitor (cursor embedded or hidden), its
// frames read from PipeWire (BGRx/BGRA in shared memory) on a PipeWire thread
// of the capture's own, scaled with libyuv into frames from a small pool.
// Frames without damage, or equal to the last one delivered, are not
// delivered. Mutter closing the session (or leaving the bus) ends the
// capture through `stopped` (not by the user). Set-up and teardown calls run
// on one worker thread, each D-Bus call with a time limit.
class GnomeScreenCapture : public ScreenCapture {
 public:
  GnomeScreenCapture(std::shared_ptr<MutterRemoteDesktop> desktop, kit::Logger log);
  ~GnomeScreenCapture() override;
  GnomeScreenCapture(const GnomeScreenCapture&) = delete;
  GnomeScreenCapture& operator=(const GnomeScreenCapture&) = delete;

  void listDisplays(DisplaysDone done) override;
  void start(const CaptureConfig& config, CaptureHandlers handlers, StartDone done) override;
  void setDisplaysChangedHandler(std::function<void()> changed) override;

  class Worker;

 private:
  std::shared_ptr<MutterRemoteDesktop> desktop_;
  kit::Logger log_;
  std::shared_ptr<Worker> worker_;
  unsigned monitorsSignal_ = 0;
  std::shared_ptr<std::mutex> changedMutex_ = std::make_shared<std::mutex>();
  std::shared_ptr<std::function<void()>> changed_ = std::make_shared<std::function<void()>>();
};

}  // namespace tillerpad::platform::gnome
