// Network-borne input (text, key names, fast-channel numbers, clicks,
// settings) driven through the injector into a recording sink: nothing may
// crash, hang or stop the queue.
#include <chrono>
#include <cstring>
#include <string>

#include "host/input/input_injector.h"
#include "platform/fake/recording_input.h"

namespace {

using namespace tillerpad;

class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool empty() const { return pos_ >= size_; }
  std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  template <class T>
  T value() {
    T v{};
    std::size_t n = std::min(sizeof(T), size_ - std::min(pos_, size_));
    std::memcpy(&v, data_ + pos_, n);
    pos_ += n;
    return v;
  }
  std::string text() {
    std::size_t n = std::min<std::size_t>(byte(), size_ - std::min(pos_, size_));
    std::string s(reinterpret_cast<const char*>(data_ + pos_), n);
    pos_ += n;
    return s;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  platform::fake::RecordingInput input;
  input.setCursor(platform::Point{10, 10});
  input.setDisplays({{1, {0, 0, 1280, 800}, "A", true}, {2, {1280, -200, 1920, 1080}, "B", false}});
  double now = 0;
  host::InputInjector injector(input, input, 0.5, kit::Logger(), [&now] { return now; });
  host::KeyboardLayoutMap layout;
  layout.entries["a"] = {0, false};
  layout.entries["A"] = {0, true};
  layout.entries["\xC3\xA9"] = {14, false};
  injector.updateLayout(layout);

  Reader r(data, size);
  while (!r.empty()) {
    switch (r.byte() % 8) {
      case 0: injector.typeText(r.text()); break;
      case 1: injector.pressKey(kit::Key(r.text()), kit::Modifiers{r.value<std::int64_t>()}); break;
      case 2: {
        std::vector<kit::FastEvent> events;
        for (int n = r.byte() % 8; n > 0; --n) {
          auto kind = r.byte() % 2 ? kit::FastEvent::Kind::scroll : kit::FastEvent::Kind::pointerMove;
          events.push_back({kind, r.value<float>(), r.value<float>()});
        }
        injector.applyFastEvents(std::move(events));
        break;
      }
      case 3:
        injector.handleButton({static_cast<kit::MouseButton>(r.byte() % 3),
                               static_cast<kit::MouseButtonEvent::Action>(r.byte() % 3)});
        break;
      case 4:
        injector.clickAt(r.byte() % 3, r.value<double>(), r.value<double>(), static_cast<kit::MouseButton>(r.byte() % 3));
        break;
      case 5:
        injector.applySettings({r.value<double>(), r.value<double>(), r.value<double>(), r.byte() % 2 == 0});
        break;
      case 6: injector.releaseAll(); break;
      case 7: injector.pressKeyCode(r.value<std::uint16_t>(), kit::Modifiers{r.value<std::int64_t>()}); break;
    }
    // The clock is read on the queue: let it catch up before moving it on.
    if (!injector.waitIdle(std::chrono::seconds(10))) __builtin_trap();
    now += r.byte() / 100.0;
  }
  return 0;
}
