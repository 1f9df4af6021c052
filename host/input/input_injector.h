#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/input/keyboard_layout_map.h"
#include "host/input/serial_queue.h"
#include "kit/common/log.h"
#include "kit/transport/fast_event.h"
#include "kit/wire/input_messages.h"

namespace tillerpad::platform {
class InputEventSink;
class DisplayQuery;
}  // namespace tillerpad::platform

namespace tillerpad::host {

// Seconds of monotonic uptime; tests pass a settable one.
using UptimeClock = std::function<double()>;
UptimeClock systemUptime();

// Synthesises the phone's pointer and keyboard input. Every operation hops
// to the injector's serial queue ("app.tillerpad.input") and returns at
// once; all state lives on that queue.
class InputInjector {
 public:
  static constexpr const char* queueLabel = "app.tillerpad.input";
  static constexpr std::size_t queueCapacity = 4096;
  // With this much work waiting, fast-channel events are summed into one
  // pending move and one pending scroll instead of queued one by one.
  static constexpr std::size_t coalesceAbove = 256;

  // `events` and `displays` must outlive the injector.
  InputInjector(platform::InputEventSink& events, platform::DisplayQuery& displays, double doubleClickInterval,
                kit::Logger log, UptimeClock now = systemUptime());
  ~InputInjector();
  InputInjector(const InputInjector&) = delete;
  InputInjector& operator=(const InputInjector&) = delete;

  void updateLayout(KeyboardLayoutMap map);
  void applyFastEvents(std::vector<kit::FastEvent> events);
  void handleButton(kit::MouseButtonEvent event);
  void pressKey(kit::Key key, kit::Modifiers modifiers);
  void pressKeyCode(std::uint16_t code, kit::Modifiers modifiers);
  void typeText(std::string text);
  void applySettings(kit::InputSettings settings);
  // x and y are fractions of the display's width and height.
  void clickAt(std::uint32_t displayID, double x, double y, kit::MouseButton button);
  void releaseAll();

  // Runs `task` on the queue after what was posted before it.
  void post(std::function<void()> task);
  // True once everything posted so far has run; for shutdown and tests.
  bool waitIdle(std::chrono::milliseconds limit);
  // Work waiting on the queue; for diagnostics and tests.
  std::size_t queuedTasks() { return queue_.size(); }

  // Event flags every event of a key code carries whatever the modifiers.
  static std::uint64_t keySpecificFlags(std::uint16_t code);
  // Named keys and "f1" to "f12" → virtual key code.
  static std::optional<std::uint16_t> namedKeyCode(std::string_view rawValue);

 private:
  struct State;
  struct PendingFast;
  // Droppable work; closes the pending fast events so nothing overtakes it.
  void postOrdered(std::function<void()> task);
  void postEssential(int key, std::function<void()> task);

  std::unique_ptr<State> state_;
  // Fast events summed while the queue is long. Shared by whoever posts and
  // the queue's thread; guarded by its own lock, never held during work.
  std::mutex pendingMutex_;
  std::shared_ptr<PendingFast> pendingFast_;
  SerialQueue queue_;  // declared last: stops before the state goes away
};

}  // namespace tillerpad::host
