#pragma once

#include <functional>

#include "kit/common/log.h"
#include "platform/login_item_service.h"

namespace tillerpad::host {

// The application's launch-at-login registration, as the system reports it.
class LoginItem {
 public:
  using Status = platform::LoginItemService::Status;

  LoginItem(platform::LoginItemService& service, kit::Logger log);

  Status status() const { return status_; }
  bool isEnabled() const { return status_ == Status::enabled; }
  // Registers or unregisters; a refusal is logged and the real state kept.
  void setEnabled(bool enabled);

  // Called when the status really changes.
  std::function<void(Status)> onStatusChange = [](Status) {};

 private:
  platform::LoginItemService& service_;
  kit::Logger log_;
  Status status_;
};

}  // namespace tillerpad::host
