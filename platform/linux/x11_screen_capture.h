#pragma once

#include <memory>
#include <string>

#include "kit/common/log.h"
#include "platform/screen_capture.h"

namespace tillerpad::platform::linux_x11 {

// Screen capture of an X server's RandR monitors. Every capture runs on a
// thread with an X connection of its own (MIT-SHM reads, XDamage to skip
// still ticks, the XFixes cursor drawn in, libyuv scaling); a watcher thread
// with one more connection lists the monitors and follows RandR changes.
// Completions and handlers run on those threads. A lost X server ends the
// running captures through their `stopped` handler, never the process.
class X11ScreenCapture : public ScreenCapture {
 public:
  // `displayName` empty: $DISPLAY.
  X11ScreenCapture(std::string displayName, kit::Logger log);
  ~X11ScreenCapture() override;
  X11ScreenCapture(const X11ScreenCapture&) = delete;
  X11ScreenCapture& operator=(const X11ScreenCapture&) = delete;

  void listDisplays(DisplaysDone done) override;
  void start(const CaptureConfig& config, CaptureHandlers handlers, StartDone done) override;
  void setDisplaysChangedHandler(std::function<void()> changed) override;

  struct Watcher;

 private:
  std::string displayName_;
  kit::Logger log_;
  std::shared_ptr<Watcher> watcher_;
};

}  // namespace tillerpad::platform::linux_x11
