#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "host/service/connection_listener.h"
#include "host/service/device_registry.h"
#include "host/service/device_session.h"
#include "host/service/mac_identity.h"
#include "host/service/pairing_controller.h"
#include "kit/common/bytes.h"
#include "kit/common/log.h"
#include "kit/transport/clock.h"
#include "kit/transport/endpoint.h"
#include "kit/transport/pre_shared_key.h"

namespace tillerpad::platform {
class ServiceAdvertiser;
}

namespace tillerpad::host {

// The desktop's network front door: the fast listener, the TLS listener with
// one key per paired phone plus the pending pairing key, the DNS-SD
// advertisement, the handshake of every connection and the one live session.
// Service thread only; callbacks hold the server weakly.
class Server : public std::enable_shared_from_this<Server> {
 public:
  struct Starting {
    friend bool operator==(const Starting&, const Starting&) = default;
  };
  struct Listening {
    std::uint16_t port = 0;
    friend bool operator==(const Listening&, const Listening&) = default;
  };
  struct Failed {
    std::string description;
    friend bool operator==(const Failed&, const Failed&) = default;
  };
  using Status = std::variant<Starting, Listening, Failed>;

  static constexpr std::chrono::seconds tlsTimeout{10};
  static constexpr std::chrono::milliseconds retryDelay{3000};
  // Connections still in TLS or hello: beyond these, the oldest of that peer
  // address (or of all) is closed to make room for the newcomer.
  static constexpr std::size_t maxPendingPerHost = 4;
  static constexpr std::size_t maxPending = 32;
  // Bytes a connection may send before its hello proved a key (a hello is
  // well under 1 KiB).
  static constexpr std::size_t preAuthenticationBytes = 65'536;
  static constexpr const char* activityReason = "An iPhone is controlling this Mac";

  struct Dependencies {
    asio::any_io_executor executor;
    std::shared_ptr<kit::Clock> clock;
    std::function<std::chrono::system_clock::time_point()> wallClock;
    MacIdentity identity;
    DeviceRegistry& registry;
    std::shared_ptr<PairingController> pairing;
    PermissionSource permissions;
    InputInjector& input;
    SystemCommands& commands;
    std::shared_ptr<kit::FastChannelListener> fastListener;  // null: no fast channel
    MacSettings& settings;
    platform::ServiceAdvertiser& advertiser;
    ListenerFactory makeListener;
    // The local-network check of a peer.
    std::function<bool(const kit::Endpoint&)> isLocal;
    // Loggers of category "server" and "session".
    kit::Logger log;
    kit::Logger sessionLog;
    // Every session gets a screen streamer of its own over these.
    ScreenStreamer::Environment screen;
    // The one clipboard sync; a session subscribes to it and becomes its owner.
    std::shared_ptr<ClipboardSync> clipboard;
    // The one application catalog; a session asks it and pushes its changes.
    std::shared_ptr<AppCatalog> catalog;
  };

  static std::shared_ptr<Server> create(Dependencies dependencies);

  // Starts the fast listener, then the TCP listener.
  void start();
  // The key set changed: restart the listener.
  void keysChanged();
  void disconnect();
  void revoke(const kit::Uuid& deviceID);
  void permissionsChanged(const kit::PermissionStatus& status);
  void settingsChanged();
  // The catalog's applications changed: a session that asked for the list
  // gets a fresh one.
  void appsChanged();
  // Quitting: the listener, the connections in set-up and the session end at
  // once, without a bye. Their tasks then finish on the service thread;
  // isIdle() says when they have.
  void shutdown();
  bool isIdle() const { return pending_.empty() && !session_; }

  const Status& status() const { return status_; }
  const std::shared_ptr<DeviceSession>& session() const { return session_; }
  std::optional<std::uint16_t> fastPort() const { return fastPort_; }
  bool holdsActivity() const { return hasActivity_; }
  std::size_t pendingConnections() const { return pending_.size(); }

  // Called only when the value really changes.
  std::function<void(const Status&)> onStatusChange = [](const Status&) {};
  std::function<void()> onSessionChange = [] {};
  // The current session's phone started or stopped viewing the screen.
  std::function<void()> onScreenViewingChange = [] {};

 private:
  explicit Server(Dependencies dependencies);

  std::vector<kit::PreSharedKey> currentKeys() const;
  static kit::Bytes keysDigest(std::vector<kit::PreSharedKey> psks);
  void startListener();
  void listenerStateChanged(ConnectionListener* listener, ConnectionListener::State state, std::uint16_t port,
                            const std::string& error);
  void accept(std::unique_ptr<kit::Connection> connection);
  static asio::awaitable<void> establish(std::weak_ptr<Server> weak, std::shared_ptr<kit::MessageChannel> channel,
                                         std::shared_ptr<ReadBudget> budget, std::uint64_t pendingID);
  static asio::awaitable<void> runSession(std::weak_ptr<Server> weak, std::shared_ptr<DeviceSession> session);
  static asio::awaitable<void> pushAppList(std::shared_ptr<DeviceSession> session);
  static asio::awaitable<void> closeSession(std::shared_ptr<DeviceSession> session, kit::ByeReason reason);
  std::optional<kit::SymmetricKey> key(const kit::PeerIdentity& identity);
  void begin(std::shared_ptr<DeviceSession> session);
  void sessionEnded(const std::shared_ptr<DeviceSession>& session);
  // Stops the current session now and closes it in the background (bye `reason`).
  void endCurrentSession(kit::ByeReason reason);
  void evictOldestPending(const std::string* host);  // null: of any host
  void endPending(std::uint64_t id);
  void setStatus(Status status);
  void setSession(std::shared_ptr<DeviceSession> session);
  void screenStreamingChanged(const ScreenStreamer& streamer);

  Dependencies d_;
  Status status_ = Starting{};
  std::shared_ptr<DeviceSession> session_;
  std::optional<std::uint16_t> fastPort_;
  bool hasActivity_ = false;
  std::unique_ptr<ConnectionListener> listener_;
  bool restartPending_ = false;
  bool isListenerCancelled_ = false;  // the current listener was told to cancel
  kit::Bytes listenerKeys_;           // keysDigest of what the current listener offers
  std::unique_ptr<kit::Clock::Timer> retryTimer_;
  struct PendingConnection {
    std::uint64_t id;
    std::string host;
    std::weak_ptr<kit::MessageChannel> channel;
  };
  std::list<PendingConnection> pending_;  // oldest first
  std::map<std::string, std::size_t> pendingPerHost_;
  std::uint64_t lastPendingID_ = 0;
};

}  // namespace tillerpad::host
