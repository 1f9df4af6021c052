#pragma once

namespace tillerpad::platform {

// What the system may withhold from this process.
enum class SystemPermission { synthesizeInput, captureScreen };

// The desktop's own place for granting a permission, opened for the user.
class PermissionSettings {
 public:
  virtual ~PermissionSettings() = default;
  // Starts whatever the desktop offers and returns at once; a desktop that
  // offers nothing is only logged.
  virtual void open(SystemPermission permission) = 0;
};

}  // namespace tillerpad::platform
