#pragma once

#include <cstddef>

#include "platform/permission_probe.h"

namespace tillerpad::platform::fake {

// Answers what the test set and counts how often it was asked.
class FakePermissionProbe : public PermissionProbe {
 public:
  bool input = false;
  bool screen = false;
  std::size_t reads = 0;

  bool canSynthesizeInput() override {
    ++reads;
    return input;
  }
  bool canCaptureScreen() override { return screen; }
};

}  // namespace tillerpad::platform::fake
