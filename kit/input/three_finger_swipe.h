#pragma once

#include <optional>

#include "kit/wire/command_messages.h"

namespace tillerpad::kit {

// Classifies a finished three-finger swipe (screen coordinates, y downward).
namespace ThreeFingerSwipe {

std::optional<MissionControlAction> action(double translationX, double translationY, double velocityX,
                                           double velocityY);

}  // namespace ThreeFingerSwipe
}  // namespace tillerpad::kit
