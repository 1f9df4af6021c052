#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>

#include <atomic>
#include <list>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include "host/app/mac_settings.h"
#include "host/apps/app_catalog.h"
#include "host/clipboard/clipboard_sync.h"
#include "host/screen/screen_streamer.h"
#include "kit/common/log.h"
#include "kit/pairing/paired_records.h"
#include "kit/transport/fast_packet.h"
#include "kit/wire/input_messages.h"
#include "kit/wire/session_messages.h"

namespace tillerpad::kit {
class MessageChannel;
class FastChannelListener;
class Message;
}  // namespace tillerpad::kit

namespace tillerpad::host {

class InputInjector;
class SystemCommands;

// The permission flags as they are now (input synthesis, screen capture).
using PermissionSource = std::function<kit::PermissionStatus()>;

// The life of one authenticated, paired phone: its fast-channel keys, the
// first state pushes, the receive loop and the release of what it held.
// Service thread only.
class DeviceSession : public std::enable_shared_from_this<DeviceSession> {
 public:
  static constexpr std::chrono::seconds receiveTimeout{10};
  static constexpr bool offersScreen = true;
  static constexpr bool offersClipboard = true;
  // Between writing the phone's content and pasting it: the clipboard's new
  // owner must be in place before the application asks for it.
  static constexpr std::chrono::milliseconds pasteDelay{80};
  // The receive loop waits this long at most for the application list it
  // owes the phone; a list that comes later is still sent.
  static constexpr std::chrono::seconds appListLimit{10};

  struct Services {
    InputInjector& input;
    SystemCommands& commands;
    std::shared_ptr<kit::FastChannelListener> fastListener;  // null: no fast channel
    PermissionSource permissions;
    MacSettings& settings;
    std::shared_ptr<ScreenStreamer> screen;  // this session's own
    std::shared_ptr<ClipboardSync> clipboard;  // the server's, shared by every session
    std::shared_ptr<AppCatalog> catalog;       // the server's, shared by every session
    asio::any_io_executor executor;
    std::shared_ptr<kit::Clock> clock;
  };

  DeviceSession(kit::PairedDevice device, std::chrono::system_clock::time_point connectedAt,
                std::shared_ptr<kit::MessageChannel> channel, Services services, kit::Logger log);
  ~DeviceSession();

  // The whole life of the session; returns after the teardown.
  asio::awaitable<void> run();
  // The desktop ended the session (replaced, disconnected, revoked): from
  // now on nothing the phone sends reaches the desktop, its fast-channel keys
  // are gone and its buttons let go, whether or not a bye still gets out.
  void stop();
  // stop(), then bye with `reason` (at most MessageChannel::closeLimit), then
  // the connection ends; the loop ends on its own.
  asio::awaitable<void> close(kit::ByeReason reason);

  // Pushes the sharing flags again (the user changed them).
  void settingsChanged();
  void sendPermissions(const kit::PermissionStatus& status);
  // Sends the current application list; returns once it went out (or after
  // appListLimit).
  asio::awaitable<void> sendAppList();

  const kit::PairedDevice& device() const { return device_; }
  std::chrono::system_clock::time_point connectedAt() const { return connectedAt_; }
  const std::shared_ptr<kit::MessageChannel>& channel() const { return channel_; }
  const ScreenStreamer& screen() const { return *services_.screen; }
  bool wantsClipboard() const { return wantsClipboard_; }
  // The phone asked for the application list: catalog changes are pushed.
  bool wantsAppUpdates() const { return wantsAppUpdates_; }

 private:
  // False when the loop is to end.
  bool dispatch(const kit::Message& message);
  void dispatchService(const kit::Message& message);
  void releaseInput();
  void stopScreen();
  void receiveClipboard(kit::ClipboardContent content);
  void updateClipboardWatch();
  void stopClipboardWatch();
  void teardown();

  // A paste waiting for its delay; pressed when the delay ends, or at once
  // when the wait ends early.
  struct PendingPaste;

  kit::PairedDevice device_;
  std::chrono::system_clock::time_point connectedAt_;
  std::shared_ptr<kit::MessageChannel> channel_;
  Services services_;
  kit::Logger log_;
  std::optional<kit::FastChannelKeys> fastKeys_;
  // Read by the fast listener's handler on its strand: datagrams already
  // on their way when the session stops are dropped too.
  std::shared_ptr<std::atomic<bool>> fastEnabled_ = std::make_shared<std::atomic<bool>>(true);
  bool stopped_ = false;
  bool wantsClipboard_ = false;
  bool wantsAppUpdates_ = false;
  bool owesAppList_ = false;  // sent before the next message is handled
  std::list<std::shared_ptr<PendingPaste>> pastes_;
};

}  // namespace tillerpad::host
