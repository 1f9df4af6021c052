#pragma once

#include <asio/any_io_executor.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/input/serial_queue.h"
#include "kit/common/log.h"
#include "kit/common/uuid.h"
#include "kit/transport/clock.h"
#include "kit/wire/clipboard_messages.h"
#include "platform/pasteboard.h"

namespace tillerpad::host {

// The desktop's clipboard and the one subscribed phone: polls the change
// count twice a second, reads what changed, lets the clipboard policy decide
// what may go, and hands it to the subscriber; writes what the phone sends.
// It remembers per phone which change that phone has seen, so that nothing
// bounces back to its sender and a phone that was away gets what it missed.
//
// One for the process, on the service thread. The pasteboard answers on any
// thread; every answer is posted back here, and each step then checks
// again what may have changed meanwhile.
class ClipboardSync : public std::enable_shared_from_this<ClipboardSync> {
 public:
  using OnCopy = std::function<void(kit::ClipboardContent)>;
  using Bytes = platform::Pasteboard::Bytes;

  static constexpr std::chrono::milliseconds pollInterval{500};
  // An image offered only as TIFF or BMP is read up to this size: its PNG
  // form may well fit the limit where the uncompressed form does not.
  static constexpr std::size_t convertibleReadLimit = 128u << 20;
  static constexpr const char* bmpType = "com.microsoft.bmp";
  static constexpr const char* workerLabel = "app.tillerpad.clipboard";

  struct Environment {
    asio::any_io_executor executor;
    std::shared_ptr<kit::Clock> clock;
    platform::Pasteboard& pasteboard;
    kit::Logger log;  // category "clipboard"
    // The size limit of shared content; tests lower it.
    std::size_t maxBytes = kit::ClipboardContent::maxBytes;
  };

  static std::shared_ptr<ClipboardSync> create(Environment environment);
  ~ClipboardSync();
  ClipboardSync(const ClipboardSync&) = delete;
  ClipboardSync& operator=(const ClipboardSync&) = delete;

  // Subscribes `device` for `owner`; the same owner and device again keeps
  // the running loop.
  void watch(const kit::Uuid& device, std::weak_ptr<const void> owner, OnCopy onCopy);
  void stop();
  // Puts content from the phone on the clipboard; `done` (on the service
  // thread) says whether the clipboard took it. Not called when the sync is
  // gone before the clipboard answers.
  void write(kit::ClipboardContent content, std::function<void(bool)> done);

  bool isOwner(const void* candidate) const;
  bool isWatching() const { return watchedDevice_.has_value(); }
  const std::optional<kit::Uuid>& watchedDevice() const { return watchedDevice_; }
  std::int64_t lastChangeCount() const { return lastChangeCount_; }
  std::optional<std::int64_t> seenBy(const kit::Uuid& device) const;
  // No read or write waits for the clipboard or the converter.
  bool isIdle() const { return sharesInFlight_ == 0 && writesInFlight_ == 0; }

 private:
  explicit ClipboardSync(Environment environment);

  using Read = std::function<void(std::optional<kit::ClipboardContent>)>;
  void schedulePoll();
  void poll(std::uint64_t generation);
  // Reads the current content and offers it to the watched phone; `then`
  // runs once the attempt is over (delivered or dropped).
  void share(std::function<void()> then);
  void read(Read done);
  // `overLimit`: an earlier form was too large to read.
  void readImage(std::vector<std::string> candidates, Read done, bool overLimit = false);
  void finish(std::optional<kit::ClipboardContent> content, Read done);
  void store(std::vector<std::pair<std::string, Bytes>> representations, std::function<void(bool)> done);
  // Runs `f` on the service thread if the sync is still there then.
  template <class F>
  auto later(F f);

  Environment env_;
  std::weak_ptr<const void> owner_;
  OnCopy onCopy_ = [](kit::ClipboardContent) {};
  std::optional<kit::Uuid> watchedDevice_;
  std::unique_ptr<kit::Clock::Timer> pollTimer_;
  std::uint64_t pollGeneration_ = 0;  // moves on when a loop ends
  std::int64_t lastChangeCount_ = 0;
  std::map<kit::Uuid, std::int64_t> seenByDevice_;
  int writesInFlight_ = 0;
  int sharesInFlight_ = 0;
  SerialQueue converter_;  // image conversion, off the service thread
};

}  // namespace tillerpad::host
