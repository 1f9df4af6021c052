#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "kit/screen/stream_settings.h"

namespace tillerpad::kit {

// Adapts the stream to how fast the phone acknowledges frames: a ladder of
// nine settings, one step down when a measuring window was slow or lost
// frames, one step up after two fast windows in a row. Times are seconds of
// a monotonic clock. Not thread-safe: it lives on the frame pump's queue.
class ScreenQualityController {
 public:
  static constexpr std::array<StreamSettings, 9> ladder{{
      {640, 5, 0.4},
      {800, 8, 0.45},
      {960, 10, 0.5},
      {1280, 10, 0.5},
      {1280, 15, 0.55},
      {1280, 20, 0.6},
      {1600, 20, 0.6},
      {1600, 30, 0.65},
      {1920, 30, 0.7},
  }};
  static constexpr int startLevel = 3;
  static constexpr int topLevel = static_cast<int>(ladder.size()) - 1;
  static constexpr double window = 1.5;
  static constexpr double slowAverage = 0.25;  // above: degrade
  static constexpr double fastAverage = 0.08;  // below, without skips: healthy
  static constexpr std::int64_t leastWidth = 640;
  static constexpr std::int64_t leastFramesPerSecond = 5;

  // The phone's maxima, raised to the least useful values; the ladder caps them.
  ScreenQualityController(std::int64_t maxPixelWidth, std::int64_t maxFramesPerSecond, double now);

  // The settings of the current level within the phone's maxima.
  StreamSettings current() const { return effective(level_); }
  void recordRoundTrip(double seconds) { roundTrips_.push_back(seconds); }
  void recordSkip() { ++skipped_; }
  // Closes the window once it is old enough; the new settings when they differ.
  std::optional<StreamSettings> evaluate(double now);

  int level() const { return level_; }
  int healthyStreak() const { return healthyStreak_; }
  std::int64_t maxPixelWidth() const { return maxPixelWidth_; }
  std::int64_t maxFramesPerSecond() const { return maxFramesPerSecond_; }
  double windowStart() const { return windowStart_; }
  const std::vector<double>& roundTrips() const { return roundTrips_; }
  int skipped() const { return skipped_; }

 private:
  StreamSettings effective(int level) const;
  void startWindow(double now);

  int level_ = startLevel;
  std::int64_t maxPixelWidth_;
  std::int64_t maxFramesPerSecond_;
  double windowStart_;
  std::vector<double> roundTrips_;
  int skipped_ = 0;
  int healthyStreak_ = 0;
};

}  // namespace tillerpad::kit
