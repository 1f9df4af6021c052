#include "kit/screen/screen_quality_controller.h"

#include <algorithm>
#include <limits>
#include <numeric>

namespace tillerpad::kit {

ScreenQualityController::ScreenQualityController(std::int64_t maxPixelWidth, std::int64_t maxFramesPerSecond,
                                                 double now)
    : maxPixelWidth_(std::max(maxPixelWidth, leastWidth)),
      maxFramesPerSecond_(std::max(maxFramesPerSecond, leastFramesPerSecond)),
      windowStart_(now) {}

StreamSettings ScreenQualityController::effective(int level) const {
  const auto& step = ladder[static_cast<std::size_t>(level)];
  return {std::min(maxPixelWidth_, step.maxPixelWidth), std::min(maxFramesPerSecond_, step.framesPerSecond),
          step.jpegQuality};
}

void ScreenQualityController::startWindow(double now) {
  windowStart_ = now;
  roundTrips_.clear();
  skipped_ = 0;
}

std::optional<StreamSettings> ScreenQualityController::evaluate(double now) {
  if (now - windowStart_ < window) return std::nullopt;
  auto n = static_cast<std::int64_t>(roundTrips_.size());
  if (n == 0 && skipped_ == 0) {
    // Nothing was sent: no evidence either way.
    startWindow(now);
    return std::nullopt;
  }
  double average = n > 0 ? std::accumulate(roundTrips_.begin(), roundTrips_.end(), 0.0) / static_cast<double>(n)
                         : std::numeric_limits<double>::infinity();
  auto old = current();
  if (n == 0 || average > slowAverage || skipped_ > n) {
    healthyStreak_ = 0;
    level_ = std::max(level_ - 1, 0);
  } else if (average < fastAverage && skipped_ == 0) {
    ++healthyStreak_;
    if (level_ < topLevel && healthyStreak_ >= 2) {
      healthyStreak_ = 0;
      ++level_;
    }
  } else {
    healthyStreak_ = 0;
  }
  startWindow(now);
  auto updated = current();
  if (updated == old) return std::nullopt;
  return updated;
}

}  // namespace tillerpad::kit
