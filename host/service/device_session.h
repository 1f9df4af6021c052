#pragma once

#include <asio/awaitable.hpp>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include "host/app/mac_settings.h"
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
class DeviceSession {
 public:
  static constexpr std::chrono::seconds receiveTimeout{10};
  // Clipboard sharing comes with a later release; until then its sharing
  // flag says it is off and its requests are refused.
  static constexpr bool offersScreen = true;
  static constexpr bool offersClipboard = false;

  struct Services {
    InputInjector& input;
    SystemCommands& commands;
    std::shared_ptr<kit::FastChannelListener> fastListener;  // null: no fast channel
    PermissionSource permissions;
    MacSettings& settings;
    std::shared_ptr<ScreenStreamer> screen;  // this session's own
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

  const kit::PairedDevice& device() const { return device_; }
  std::chrono::system_clock::time_point connectedAt() const { return connectedAt_; }
  const std::shared_ptr<kit::MessageChannel>& channel() const { return channel_; }
  const ScreenStreamer& screen() const { return *services_.screen; }

 private:
  // False when the loop is to end.
  bool dispatch(const kit::Message& message);
  void dispatchService(const kit::Message& message);
  void releaseInput();
  void stopScreen();
  void teardown();

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
};

}  // namespace tillerpad::host
