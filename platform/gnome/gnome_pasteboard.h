#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "kit/common/log.h"
#include "platform/gnome/mutter_remote_desktop.h"
#include "platform/pasteboard.h"

namespace tillerpad::platform::gnome {

// Mime types of the Wayland clipboard and the host's type identifiers.
std::vector<std::string> hostTypesForMimeTypes(const std::vector<std::string>& mimeTypes);
// The mime types to ask for, best first, for content of `hostType`.
std::vector<std::string> mimeTypesForReading(const std::string& hostType);
// The mime types (with their bytes) under which content written as
// `hostType` is offered.
std::vector<std::pair<std::string, Pasteboard::Bytes>> offersForWriting(const std::string& hostType, const Pasteboard::Bytes& bytes);

// The desktop's clipboard through the remote-desktop session's selection
// calls: Mutter tells of each new owner (SelectionOwnerChanged), hands its
// content over a pipe (SelectionRead) and asks for ours the same way
// (SelectionTransfer, answered with SelectionWrite/SelectionWriteDone on a
// thread per transfer). Reads run on a worker of their own, bounded in time
// and size; completions come from it.
class GnomePasteboard final : public Pasteboard {
 public:
  struct Options {
    // One transfer in either direction.
    std::chrono::milliseconds transferLimit{3000};
    // What the paste route keeps of the user's clipboard, all types together.
    std::size_t keepLimit = 16 * 1024 * 1024;
  };

  GnomePasteboard(std::shared_ptr<MutterRemoteDesktop> desktop, kit::Logger log);
  GnomePasteboard(std::shared_ptr<MutterRemoteDesktop> desktop, kit::Logger log, Options options);
  ~GnomePasteboard() override;
  GnomePasteboard(const GnomePasteboard&) = delete;
  GnomePasteboard& operator=(const GnomePasteboard&) = delete;

  std::int64_t changeCount() override;
  void types(std::function<void(std::vector<std::string>)> done) override;
  void data(const std::string& type, std::size_t limit, std::function<void(Data)> done) override;
  void write(std::vector<std::pair<std::string, Bytes>> representations,
             std::function<void(std::optional<std::int64_t>)> done) override;

  // Text that no key types: the clipboard is set to `utf8`, `pressPaste`
  // sends the paste keys, and once the application has read it (or after a
  // short wait) the previous content is put back. The change count does not
  // move for any of it. Blocks the caller (bounded). False when the text
  // could not be put on the clipboard.
  bool pasteText(const std::string& utf8, const std::function<void()>& pressPaste);

  struct State;

 private:
  std::shared_ptr<MutterRemoteDesktop> desktop_;
  std::shared_ptr<State> state_;
  int subscription_ = 0;
};

}  // namespace tillerpad::platform::gnome
