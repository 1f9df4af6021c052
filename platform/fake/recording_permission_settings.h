#pragma once

#include <mutex>
#include <vector>

#include "platform/permission_settings.h"

namespace tillerpad::platform::fake {

// Records what was asked to be opened.
class RecordingPermissionSettings : public PermissionSettings {
 public:
  void open(SystemPermission permission) override {
    std::lock_guard lock(mutex_);
    opened_.push_back(permission);
  }
  std::vector<SystemPermission> opened() const {
    std::lock_guard lock(mutex_);
    return opened_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<SystemPermission> opened_;
};

}  // namespace tillerpad::platform::fake
