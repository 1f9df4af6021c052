#include "host/app/permission_monitor.h"

#include "platform/permission_probe.h"

namespace tillerpad::host {

PermissionMonitor::PermissionMonitor(platform::PermissionProbe& probe, asio::any_io_executor executor,
                                     std::shared_ptr<kit::Clock> clock)
    : probe_(probe), executor_(std::move(executor)), clock_(std::move(clock)) {
  status_.accessibility = probe_.canSynthesizeInput();
  status_.screenRecording = probe_.canCaptureScreen();
  schedule();
}

// The timer is owned here: destroying the monitor cancels the next read.
PermissionMonitor::~PermissionMonitor() = default;

void PermissionMonitor::refresh() {
  kit::PermissionStatus now{probe_.canSynthesizeInput(), probe_.canCaptureScreen()};
  if (now == status_) return;
  status_ = now;
  onChange(status_);
}

void PermissionMonitor::schedule() {
  poll_ = clock_->schedule(executor_, std::chrono::duration_cast<kit::Clock::Duration>(pollInterval), [this] {
    refresh();
    schedule();
  });
}

}  // namespace tillerpad::host
