#pragma once

#include <mutex>
#include <optional>
#include <variant>
#include <vector>

#include "platform/display_query.h"
#include "platform/input_event_sink.h"

namespace tillerpad::platform::fake {

using RecordedInput = std::variant<MouseEvent, ScrollEvent, KeyEvent, TextEvent>;

// Records every posted event in order; the cursor, the displays and the
// double-click interval are whatever the test sets.
class RecordingInput : public InputEventSink, public DisplayQuery {
 public:
  bool postMouse(const MouseEvent& event) override { return record(event); }
  bool postScroll(const ScrollEvent& event) override { return record(event); }
  bool postKey(const KeyEvent& event) override { return record(event); }
  bool postText(const TextEvent& event) override { return record(event); }
  std::optional<Point> cursorLocation() override;
  std::vector<DisplayInfo> activeDisplays() override;
  double doubleClickInterval() override;

  std::vector<RecordedInput> events() const;
  std::vector<RecordedInput> takeEvents();
  std::size_t displayQueries() const;

  void setCursor(std::optional<Point> location);
  void setDisplays(std::vector<DisplayInfo> displays);
  void setDoubleClickInterval(double seconds);
  // While set, every post fails and records nothing.
  void setFailing(bool failing);

 private:
  bool record(RecordedInput event);

  mutable std::mutex mutex_;
  std::vector<RecordedInput> events_;
  std::optional<Point> cursor_;
  std::vector<DisplayInfo> displays_;
  std::size_t displayQueries_ = 0;
  double doubleClickInterval_ = 0.5;
  bool failing_ = false;
};

}  // namespace tillerpad::platform::fake
