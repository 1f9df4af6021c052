#pragma once

namespace tillerpad::platform {

// Whether the system lets this process do what a phone asks of it, read
// without prompting: synthesising input (the phone's "accessibility") and
// capturing the screen (its "screen recording").
class PermissionProbe {
 public:
  virtual ~PermissionProbe() = default;
  virtual bool canSynthesizeInput() = 0;
  virtual bool canCaptureScreen() = 0;
};

}  // namespace tillerpad::platform
