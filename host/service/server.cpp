#include "host/service/server.h"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/post.hpp>
#include <openssl/crypto.h>

#include <algorithm>
#include <exception>

#include "kit/pairing/handshake.h"
#include "kit/common/text.h"
#include "kit/pairing/crypto.h"
#include "kit/transport/bonjour.h"
#include "kit/transport/fast_channel.h"
#include "kit/transport/message_channel.h"
#include "platform/service_advertiser.h"

namespace tillerpad::host {
namespace {

// Ends a connection's place among those still in set-up, however establish ends.
class PendingSlot {
 public:
  using Release = void (*)(Server&, std::uint64_t);
  PendingSlot(std::weak_ptr<Server> server, std::uint64_t id, Release release)
      : server_(std::move(server)), id_(id), release_(release) {}
  PendingSlot(const PendingSlot&) = delete;
  PendingSlot& operator=(const PendingSlot&) = delete;
  ~PendingSlot() {
    if (auto s = server_.lock()) release_(*s, id_);
  }

 private:
  std::weak_ptr<Server> server_;
  std::uint64_t id_;
  Release release_;
};

}  // namespace

std::shared_ptr<Server> Server::create(Dependencies dependencies) {
  return std::shared_ptr<Server>(new Server(std::move(dependencies)));
}

Server::Server(Dependencies dependencies) : d_(std::move(dependencies)) {}

void Server::start() {
  if (d_.fastListener) {
    try {
      fastPort_ = d_.fastListener->start();
      d_.log.info("Fast channel on UDP port " + std::to_string(*fastPort_));
    } catch (const std::exception& e) {
      d_.log.error(std::string("Fast channel unavailable: ") + e.what());
    }
  } else {
    d_.log.error("Fast channel unavailable: no fast listener");
  }
  if (!listener_ && !restartPending_) startListener();
}

std::vector<kit::PreSharedKey> Server::currentKeys() const {
  std::vector<kit::PreSharedKey> psks;
  for (const auto& device : d_.registry.devices()) {
    kit::PreSharedKey psk{kit::PeerIdentity::device(device.id), {}};
    auto bytes = device.keyData.bytes();
    std::copy_n(bytes.begin(), std::min(bytes.size(), psk.key.size()), psk.key.begin());
    psks.push_back(psk);
  }
  if (auto pending = d_.pairing ? d_.pairing->pendingKey() : std::nullopt) psks.push_back(*pending);
  return psks;
}

// A keyed digest of identities and keys, so that no copy of the keys is kept
// just to compare them.
kit::Bytes Server::keysDigest(std::vector<kit::PreSharedKey> psks) {
  static const kit::Bytes label{'l', 'i', 's', 't', 'e', 'n', 'e', 'r', ' ', 'k', 'e', 'y', 's'};
  kit::Bytes material;
  for (const auto& psk : psks) {
    auto identity = psk.identity.text();
    material.push_back(static_cast<std::uint8_t>(identity.size()));
    material.insert(material.end(), identity.begin(), identity.end());
    material.insert(material.end(), psk.key.begin(), psk.key.end());
  }
  auto digest = kit::crypto::hmacSha256(label, material);
  OPENSSL_cleanse(material.data(), material.size());
  for (auto& psk : psks) OPENSSL_cleanse(psk.key.data(), psk.key.size());
  return digest;
}

void Server::startListener() {
  std::vector<kit::PreSharedKey> psks = currentKeys();
  listenerKeys_ = keysDigest(psks);
  std::size_t count = psks.size();
  auto parameters = kit::TransportParameters::server(psks);
  for (auto& psk : psks) OPENSSL_cleanse(psk.key.data(), psk.key.size());

  std::unique_ptr<ConnectionListener> listener;
  try {
    listener = d_.makeListener(std::move(parameters));
  } catch (const std::exception& e) {
    setStatus(Failed{e.what()});
    d_.log.error(std::string("Could not create listener: ") + e.what());
    d_.advertiser.withdraw();
    return;
  }
  std::weak_ptr<Server> weak = weak_from_this();
  ConnectionListener* raw = listener.get();
  ConnectionListener::Handlers handlers;
  handlers.onState = [weak, raw](ConnectionListener::State state, std::uint16_t port, const std::string& error) {
    if (auto self = weak.lock()) self->listenerStateChanged(raw, state, port, error);
  };
  handlers.onConnection = [weak](std::unique_ptr<kit::Connection> connection) {
    if (auto self = weak.lock()) self->accept(std::move(connection));
  };
  listener_ = std::move(listener);
  isListenerCancelled_ = false;
  listener_->start(std::move(handlers));
  d_.log.info("Listener starting with " + std::to_string(count) + " key(s)");
}

void Server::keysChanged() {
  // A change that leaves the listener's keys as they are (the claimed code
  // withdrawn after its phone was stored) keeps the listener: a restart
  // would move the port under a phone that is about to connect.
  if (listener_ && !isListenerCancelled_ && !restartPending_ && listenerKeys_ == keysDigest(currentKeys())) return;
  if (listener_) {
    restartPending_ = true;
    // A burst of changes cancels once; the cancelled state starts the next one.
    if (!isListenerCancelled_) {
      isListenerCancelled_ = true;
      listener_->cancel();
    }
  } else if (!restartPending_) {
    startListener();
  }
}

void Server::listenerStateChanged(ConnectionListener* listener, ConnectionListener::State state, std::uint16_t port,
                                  const std::string& error) {
  bool isCurrent = listener == listener_.get();
  switch (state) {
    case ConnectionListener::State::ready:
      if (!isCurrent) return;
      setStatus(Listening{port});
      d_.log.info("Listening on port " + std::to_string(port));
      d_.advertiser.publish(d_.identity.name, port, kit::Bonjour::txtRecord(d_.identity.id));
      return;
    case ConnectionListener::State::failed: {
      if (!isCurrent) return;
      setStatus(Failed{error});
      d_.log.error("Listener failed: " + error);
      d_.advertiser.withdraw();
      restartPending_ = true;
      std::weak_ptr<Server> weak = weak_from_this();
      retryTimer_ = d_.clock->schedule(d_.executor, retryDelay, [weak, listener] {
        auto self = weak.lock();
        if (!self || self->listener_.get() != listener || self->isListenerCancelled_) return;
        self->isListenerCancelled_ = true;
        listener->cancel();
      });
      return;
    }
    case ConnectionListener::State::cancelled:
      if (!isCurrent) return;
      // Not destroyed inside its own callback.
      asio::post(d_.executor, [old = std::move(listener_)] {});
      retryTimer_.reset();
      if (restartPending_) {
        restartPending_ = false;
        startListener();
      }
      return;
  }
}

void Server::accept(std::unique_ptr<kit::Connection> connection) {
  kit::Endpoint remote = connection->remoteEndpoint();
  if (!d_.isLocal(remote)) {
    d_.log.notice("Rejected connection from outside the local network: " + remote.text());
    connection->cancel();
    return;
  }
  // Set-up slots are never refused to a newcomer: the oldest connection
  // still in set-up (from the same host first) makes way. Stalled
  // handshakes then cannot keep a phone out, whose own set-up takes a
  // millisecond; they only push each other out.
  if (auto it = pendingPerHost_.find(remote.host); it != pendingPerHost_.end() && it->second >= maxPendingPerHost) {
    evictOldestPending(&remote.host);
  }
  if (pending_.size() >= maxPending) evictOldestPending(nullptr);

  auto [budgeted, budget] = withReadBudget(std::move(connection), preAuthenticationBytes);
  auto channel = kit::MessageChannel::create(d_.executor, std::move(budgeted), "app.tillerpad.channel", d_.clock);
  std::uint64_t id = ++lastPendingID_;
  pending_.push_back(PendingConnection{id, remote.host, channel});
  ++pendingPerHost_[remote.host];
  asio::co_spawn(d_.executor, establish(weak_from_this(), std::move(channel), std::move(budget), id), asio::detached);
}

void Server::evictOldestPending(const std::string* host) {
  auto victim = std::find_if(pending_.begin(), pending_.end(),
                             [host](const PendingConnection& p) { return !host || p.host == *host; });
  if (victim == pending_.end()) return;
  d_.log.debug("Too many connections in set-up; closed the oldest, from " + victim->host);
  if (auto channel = victim->channel.lock()) channel->cancel();
  endPending(victim->id);
}

void Server::endPending(std::uint64_t id) {
  auto it = std::find_if(pending_.begin(), pending_.end(), [id](const PendingConnection& p) { return p.id == id; });
  if (it == pending_.end()) return;  // evicted before
  auto host = pendingPerHost_.find(it->host);
  if (host != pendingPerHost_.end() && --host->second == 0) pendingPerHost_.erase(host);
  pending_.erase(it);
}

asio::awaitable<void> Server::establish(std::weak_ptr<Server> weak, std::shared_ptr<kit::MessageChannel> channel,
                                        std::shared_ptr<ReadBudget> budget, std::uint64_t pendingID) {
  auto slot = std::make_unique<PendingSlot>(weak, pendingID, [](Server& s, std::uint64_t id) { s.endPending(id); });
  try {
    auto opening =
        channel->open(std::chrono::duration_cast<kit::Clock::Duration>(tlsTimeout), kit::Handshake::keyingMaterial());
    co_await std::move(opening);
  } catch (const std::exception& e) {
    if (auto self = weak.lock()) self->d_.log.debug(std::string("TLS not established: ") + e.what());
    channel->cancel();
    co_return;
  }

  kit::Welcome welcome;
  {
    auto self = weak.lock();
    if (!self) co_return;
    welcome = kit::Welcome{kit::ProtocolVersion::current, self->d_.identity.id, self->d_.identity.name,
                           MacIdentity::shortVersion(), self->fastPort_};
  }
  kit::Handshake::KeyForIdentity keyFor = [weak](const kit::PeerIdentity& identity) -> std::optional<kit::SymmetricKey> {
    if (auto self = weak.lock()) return self->key(identity);
    return std::nullopt;
  };
  std::optional<kit::Hello> hello;
  try {
    // The welcome waits for the session's opening messages: the phone gets
    // all of them in one write.
    auto accepting =
        kit::Handshake::accept(channel, welcome, keyFor, kit::Handshake::WelcomeSending::heldWithWhatFollows);
    hello = co_await std::move(accepting);
  } catch (const std::exception& e) {
    if (auto self = weak.lock()) self->d_.log.info(std::string("Connection rejected: ") + e.what());
    channel->cancel();
    co_return;
  }
  budget->release();
  slot.reset();

  auto self = weak.lock();
  if (!self) {
    channel->cancel();
    co_return;
  }
  if (hello->identity.isPairing()) {
    if (!self->d_.pairing) {
      channel->cancel();
      co_return;
    }
    auto pairing = self->d_.pairing;
    self.reset();
    channel->releaseWrites();
    try {
      auto exchange = pairing->pair(channel, std::move(*hello));
      co_await std::move(exchange);
    } catch (const std::exception&) {
      channel->cancel();  // the controller reports its own failures
    }
    co_return;
  }
  auto device = self->d_.registry.device(hello->identity.id());
  if (!device) {
    channel->cancel();
    co_return;
  }
  // The pump sends from its own queue: the channel takes messages from any
  // thread (it encodes there and posts to its strand).
  auto screen = ScreenStreamer::create(self->d_.screen, [weak = std::weak_ptr<kit::MessageChannel>(channel)](kit::Message m) {
    if (auto c = weak.lock()) c->sendWithoutWaiting(m);
  });
  screen->onStreamingChange = [weak, streamer = screen.get()] {
    if (auto server = weak.lock()) server->screenStreamingChanged(*streamer);
  };
  auto session = std::make_shared<DeviceSession>(
      std::move(*device), self->d_.wallClock(), channel,
      DeviceSession::Services{self->d_.input, self->d_.commands, self->d_.fastListener, self->d_.permissions,
                              self->d_.settings, std::move(screen), self->d_.clipboard, self->d_.catalog,
                              self->d_.executor, self->d_.clock},
      self->d_.sessionLog);
  self->begin(std::move(session));
}

std::optional<kit::SymmetricKey> Server::key(const kit::PeerIdentity& identity) {
  if (identity.isPairing()) return d_.pairing ? d_.pairing->claim(identity.id()) : std::nullopt;
  if (auto device = d_.registry.device(identity.id())) return device->keyData;
  return std::nullopt;
}

void Server::begin(std::shared_ptr<DeviceSession> session) {
  if (session_) {
    session_->stop();
    asio::co_spawn(d_.executor, closeSession(session_, kit::ByeReason::replaced), asio::detached);
  }
  setSession(session);
  d_.log.notice("Session started with " + kit::withoutControlCharacters(session->device().name));
  if (!hasActivity_) {
    hasActivity_ = true;
    d_.log.debug(std::string("Process activity begun: ") + activityReason);
  }
  asio::co_spawn(d_.executor, runSession(weak_from_this(), std::move(session)), asio::detached);
}

asio::awaitable<void> Server::runSession(std::weak_ptr<Server> weak, std::shared_ptr<DeviceSession> session) {
  try {
    auto running = session->run();
    co_await std::move(running);
  } catch (const std::exception& e) {
    // run() ends its own failures; this only keeps the server's books right.
    session->channel()->cancel();
    if (auto self = weak.lock()) self->d_.log.error(std::string("Session failed: ") + e.what());
  }
  if (auto self = weak.lock()) self->sessionEnded(session);
}

asio::awaitable<void> Server::closeSession(std::shared_ptr<DeviceSession> session, kit::ByeReason reason) {
  auto closing = session->close(std::move(reason));
  co_await std::move(closing);
}

void Server::sessionEnded(const std::shared_ptr<DeviceSession>& session) {
  if (session == session_) {
    setSession(nullptr);
    if (hasActivity_) {
      hasActivity_ = false;
      d_.log.debug("Process activity ended");
    }
  }
  d_.log.notice("Session ended with " + kit::withoutControlCharacters(session->device().name));
}

void Server::disconnect() {
  if (session_) endCurrentSession(kit::ByeReason::userDisconnected);
}

void Server::endCurrentSession(kit::ByeReason reason) {
  auto former = session_;
  former->stop();
  setSession(nullptr);
  // Nobody is connected any more: the activity goes now, not with a later session.
  if (hasActivity_) {
    hasActivity_ = false;
    d_.log.debug("Process activity ended");
  }
  asio::co_spawn(d_.executor, closeSession(std::move(former), std::move(reason)), asio::detached);
}

void Server::revoke(const kit::Uuid& deviceID) {
  // The keyring may take its time; the session ends now, not after it.
  d_.registry.remove(deviceID, [log = d_.log](std::exception_ptr error) {
    if (!error) return;
    try {
      std::rethrow_exception(error);
    } catch (const std::exception& e) {
      log.error(std::string("Could not remove device: ") + e.what());
    } catch (...) {
      log.error("Could not remove device: unknown error");
    }
  });
  if (session_ && session_->device().id == deviceID) endCurrentSession(kit::ByeReason::revoked);
}

void Server::shutdown() {
  restartPending_ = false;
  retryTimer_.reset();
  if (listener_ && !isListenerCancelled_) {
    isListenerCancelled_ = true;
    listener_->cancel();
  }
  for (const auto& pending : pending_) {
    if (auto channel = pending.channel.lock()) channel->cancel();
  }
  if (session_) {
    session_->stop();
    session_->channel()->cancel();
  }
}

void Server::permissionsChanged(const kit::PermissionStatus& status) {
  if (session_) session_->sendPermissions(status);
}

void Server::settingsChanged() {
  if (session_) session_->settingsChanged();
}

void Server::appsChanged() {
  if (session_ && session_->wantsAppUpdates()) asio::co_spawn(d_.executor, pushAppList(session_), asio::detached);
}

asio::awaitable<void> Server::pushAppList(std::shared_ptr<DeviceSession> session) {
  auto sending = session->sendAppList();
  co_await std::move(sending);
}

void Server::setStatus(Status status) {
  if (status == status_) return;
  status_ = std::move(status);
  onStatusChange(status_);
}

void Server::screenStreamingChanged(const ScreenStreamer& streamer) {
  // A replaced session's streamer may still be stopping: only the current one counts.
  if (session_ && &session_->screen() == &streamer) onScreenViewingChange();
}

void Server::setSession(std::shared_ptr<DeviceSession> session) {
  if (session == session_) return;
  session_ = std::move(session);
  onSessionChange();
}

}  // namespace tillerpad::host
