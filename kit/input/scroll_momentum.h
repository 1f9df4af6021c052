#pragma once

#include <optional>
#include <utility>

namespace tillerpad::kit {

// Carries a scroll on after the finger lifts, decaying exponentially with a
// time constant of 0.4 s.
struct ScrollMomentum {
  static constexpr double minimumSpeed = 120.0;  // points per second

  double vx = 0;
  double vy = 0;

  // Absent when the release velocity is too slow to coast; faster than 6000
  // points per second is capped, direction kept.
  static std::optional<ScrollMomentum> make(double vx, double vy);

  // The displacement for `dt` seconds, or absent once the momentum is over.
  std::optional<std::pair<double, double>> step(double dt);

 private:
  ScrollMomentum(double vx_, double vy_) : vx(vx_), vy(vy_) {}
};

}  // namespace tillerpad::kit
