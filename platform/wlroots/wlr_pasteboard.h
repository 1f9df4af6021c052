#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "kit/common/log.h"
#include "platform/pasteboard.h"
#include "platform/wlroots/wayland_connection.h"

namespace tillerpad::platform::wlroots {

// The seat's clipboard through wlr-data-control: seen and set without a
// focused window. Offers and sources live on the connection's thread; a
// worker of the adapter's own reads what owners send through pipes (bounded
// in size and time, one read at a time), and content we own is written to
// each reader by a thread of its own, so neither a slow owner nor a slow
// reader holds anything else up. Completions run on the worker.
class WlrPasteboard final : public Pasteboard {
 public:
  struct Options {
    // Reading from an owner, in all; a reader of ours that takes nothing
    // for this long is dropped.
    std::chrono::milliseconds transferLimit{3000};
  };

  static std::vector<WantedGlobal> wantedGlobals();

  WlrPasteboard(std::shared_ptr<WaylandConnection> connection, Options options, kit::Logger log);
  ~WlrPasteboard() override;
  WlrPasteboard(const WlrPasteboard&) = delete;
  WlrPasteboard& operator=(const WlrPasteboard&) = delete;

  // Whether the compositor offers data-control and the device still works.
  bool connected() const;

  std::int64_t changeCount() override;
  void types(std::function<void(std::vector<std::string>)> done) override;
  void data(const std::string& type, std::size_t limit, std::function<void(Data)> done) override;
  void write(std::vector<std::pair<std::string, Bytes>> representations,
             std::function<void(std::optional<std::int64_t>)> done) override;

  struct Shared;

 private:
  std::shared_ptr<Shared> shared_;
};

// How MIME types meet the host's types: the host type of an offered MIME
// type (nothing for those that name no content of their own), the MIME
// types to ask an owner for, best first, and those we offer content under.
std::optional<std::string> hostTypeForMime(std::string_view mime);
std::vector<std::string> mimesForReading(std::string_view hostType);
std::vector<std::string> mimesForWriting(std::string_view hostType);

}  // namespace tillerpad::platform::wlroots
