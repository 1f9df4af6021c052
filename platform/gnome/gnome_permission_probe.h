#pragma once

#include <memory>

#include "platform/gnome/mutter_remote_desktop.h"
#include "platform/permission_probe.h"

namespace tillerpad::platform::gnome {

// GNOME asks no consent of a client of Mutter's own interfaces: input is
// permitted while the remote-desktop session runs, the screen while its
// screen-cast streams (made with it, one per monitor) have started.
class GnomePermissionProbe : public PermissionProbe {
 public:
  explicit GnomePermissionProbe(std::shared_ptr<MutterRemoteDesktop> desktop) : desktop_(std::move(desktop)) {}
  bool canSynthesizeInput() override { return desktop_->running(); }
  bool canCaptureScreen() override { return desktop_->running() && !desktop_->inputStreams().empty(); }

 private:
  std::shared_ptr<MutterRemoteDesktop> desktop_;
};

}  // namespace tillerpad::platform::gnome
