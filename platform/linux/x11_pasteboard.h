#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "kit/common/log.h"
#include "platform/pasteboard.h"

namespace tillerpad::platform::linux_x11 {

// The CLIPBOARD selection of an X display. A thread of its own with a
// connection of its own does every round trip, so that an owner that is slow
// or never answers costs the caller nothing; completions come from that
// thread. Content we write is served from that thread until another client
// takes the selection over, and handed to a clipboard manager (if one runs)
// when the adapter goes while it still owns the selection.
class X11Pasteboard final : public Pasteboard {
 public:
  struct Options {
    std::string display;  // empty: $DISPLAY
    // One transfer in either direction: reading from an owner, or a
    // requestor reading from us that stops taking chunks for this long.
    std::chrono::milliseconds transferLimit{3000};
    // The clipboard manager's copy of our content when the adapter goes.
    std::chrono::milliseconds handoverLimit{2000};
  };

  X11Pasteboard(Options options, kit::Logger log);
  ~X11Pasteboard() override;
  X11Pasteboard(const X11Pasteboard&) = delete;
  X11Pasteboard& operator=(const X11Pasteboard&) = delete;

  // Whether the display opened and is still there.
  bool connected() const;

  std::int64_t changeCount() override;
  void types(std::function<void(std::vector<std::string>)> done) override;
  void data(const std::string& type, std::size_t limit, std::function<void(Data)> done) override;
  void write(std::vector<std::pair<std::string, Bytes>> representations,
             std::function<void(std::optional<std::int64_t>)> done) override;

  class Worker;

 private:
  std::shared_ptr<Worker> worker_;
};

}  // namespace tillerpad::platform::linux_x11
