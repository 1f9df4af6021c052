#include "platform/fake/recording_input.h"

#include <utility>

namespace tillerpad::platform::fake {

bool RecordingInput::record(RecordedInput event) {
  std::lock_guard lock(mutex_);
  if (failing_) return false;
  events_.push_back(std::move(event));
  return true;
}

std::optional<Point> RecordingInput::cursorLocation() {
  std::lock_guard lock(mutex_);
  return cursor_;
}

std::vector<DisplayInfo> RecordingInput::activeDisplays() {
  std::lock_guard lock(mutex_);
  ++displayQueries_;
  return displays_;
}

double RecordingInput::doubleClickInterval() {
  std::lock_guard lock(mutex_);
  return doubleClickInterval_;
}

std::vector<RecordedInput> RecordingInput::events() const {
  std::lock_guard lock(mutex_);
  return events_;
}

std::vector<RecordedInput> RecordingInput::takeEvents() {
  std::lock_guard lock(mutex_);
  return std::exchange(events_, {});
}

std::size_t RecordingInput::displayQueries() const {
  std::lock_guard lock(mutex_);
  return displayQueries_;
}

void RecordingInput::setCursor(std::optional<Point> location) {
  std::lock_guard lock(mutex_);
  cursor_ = location;
}

void RecordingInput::setDisplays(std::vector<DisplayInfo> displays) {
  std::lock_guard lock(mutex_);
  displays_ = std::move(displays);
}

void RecordingInput::setDoubleClickInterval(double seconds) {
  std::lock_guard lock(mutex_);
  doubleClickInterval_ = seconds;
}

void RecordingInput::setFailing(bool failing) {
  std::lock_guard lock(mutex_);
  failing_ = failing;
}

}  // namespace tillerpad::platform::fake
