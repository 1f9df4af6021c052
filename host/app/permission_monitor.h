#pragma once

#include <asio/any_io_executor.hpp>

#include <functional>
#include <memory>

#include "kit/transport/clock.h"
#include "kit/wire/input_messages.h"

namespace tillerpad::platform {
class PermissionProbe;
}

namespace tillerpad::host {

// The two permissions the phone cares about, read again every second; a
// change is reported once with both current values. Service thread only.
class PermissionMonitor {
 public:
  static constexpr std::chrono::seconds pollInterval{1};

  // Reads both permissions, then starts the poll.
  PermissionMonitor(platform::PermissionProbe& probe, asio::any_io_executor executor, std::shared_ptr<kit::Clock> clock);
  ~PermissionMonitor();
  PermissionMonitor(const PermissionMonitor&) = delete;
  PermissionMonitor& operator=(const PermissionMonitor&) = delete;

  bool accessibility() const { return status_.accessibility; }
  bool screenRecording() const { return status_.screenRecording; }
  const kit::PermissionStatus& status() const { return status_; }

  // Reads both again; reports only a change.
  void refresh();

  std::function<void(const kit::PermissionStatus&)> onChange = [](const kit::PermissionStatus&) {};

 private:
  void schedule();

  platform::PermissionProbe& probe_;
  asio::any_io_executor executor_;
  std::shared_ptr<kit::Clock> clock_;
  kit::PermissionStatus status_;
  std::unique_ptr<kit::Clock::Timer> poll_;
};

}  // namespace tillerpad::host
