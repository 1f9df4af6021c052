#include "tests/support/desktop_harness.h"

#include <csignal>

#include "kit/pairing/handshake.h"
#include "kit/pairing/key_derivation.h"
#include "kit/pairing/keychain_error.h"
#include "kit/pairing/pairing_flow.h"
#include "kit/pairing/pairing_payload.h"
#include "kit/transport/fast_channel.h"
#include "kit/transport/tls_connection.h"

namespace tillerpad::test {

std::map<std::string, kit::Bytes> GatedStore::all() {
  if (std::lock_guard lock(mutex_); failingReads_) throw kit::KeychainError(kit::KeychainError::Status::locked, "the keyring stayed locked");
  return InMemoryCredentialStore::all();
}
void GatedStore::set(bool& flag, bool value) {
  {
    std::lock_guard lock(mutex_);
    flag = value;
  }
  changed_.notify_all();
}
void GatedStore::pass() {
  std::unique_lock lock(mutex_);
  if (failing_) throw kit::KeychainError(kit::KeychainError::Status::locked, "the keyring stayed locked");
  ++waiting_;
  changed_.wait_for(lock, std::chrono::seconds(5), [this] { return !holding_; });
  --waiting_;
}

bool runUntil(asio::io_context& io, const std::function<bool()>& done, std::chrono::milliseconds limit) {
  for (auto deadline = std::chrono::steady_clock::now() + limit; !done() && std::chrono::steady_clock::now() < deadline;) {
    io.restart();
    io.run_for(2ms);
  }
  return done();
}

asio::awaitable<void> collect(std::shared_ptr<kit::MessageChannel> channel, std::shared_ptr<Inbox> inbox) {
  for (;;) {
    auto receiving = channel->receive();
    auto message = co_await std::move(receiving);
    if (!message) break;
    inbox->messages.push_back(std::move(*message));
  }
  inbox->ended = true;
}

Desktop::Desktop(DesktopOptions options) {
  // As the service's main: a phone that hangs up is an error on its socket, not the end of the process.
  std::signal(SIGPIPE, SIG_IGN);
  if (options.realTime) clock = std::make_shared<kit::SteadyClock>();
  else clock = manualClock = std::make_shared<kit::ManualClock>();
  input.setCursor(platform::Point{100, 100});
  input.setDisplays({{1, {0, 0, 1280, 800}, "A", true}});
  screenCapture.setDisplays({{1, "A", 1280, 800, 1280, true, 0}});
  probe.input = true;
  host::ListenerFactory listen = host::tlsListenerFactory(io.get_executor());
  if (!options.tls) {
    listen = [this](kit::TransportParameters p) -> std::unique_ptr<host::ConnectionListener> {
      ++listenersCreated;
      if (failListenerCreation) throw std::runtime_error("no sockets left");
      return std::make_unique<ScriptedListener>(io.get_executor(), p.tlsOptions.psks.size() - 1, listeners);
    };
  }
  if (options.ownThread) {
    work_.emplace(io.get_executor());
    thread_ = std::thread([this] { io.run(); });
  }
  auto& events = options.events ? *options.events : static_cast<platform::InputEventSink&>(input);
  auto& displays = options.displays ? *options.displays : static_cast<platform::DisplayQuery&>(input);
  call([&] {
    model = std::make_unique<host::AppModel>(host::AppPlatform{
        io, clock, [this] { return now; }, log, defaults, system, loginItems,
        [this](const std::string& service) {
          services.push_back(service);
          return store;
        },
        probe, events, displays, displays.doubleClickInterval(), nullptr, commands, commands,
        options.advertiser ? *options.advertiser : advertiser, listen,
        interfaces_, screenCapture, fakeEncoders(encoders), pasteboard, appWorkspace});
    model->server->onStatusChange = [this](const host::Server::Status& s) { statuses.push_back(s); };
  });
}

Desktop::~Desktop() {
  if (!model) return;
  call([this] {
    model->pairing->stop();  // ends an exchange still waiting for the user
    model->server->disconnect();
    if (auto& session = model->server->session()) session->channel()->cancel();
  });
  if (thread_.joinable()) {
    work_.reset();
    io.stop();
    thread_.join();
  } else {
    drain();
  }
  model->input.waitIdle(2s);
  // Scripted listeners go with the server, which the model owns.
  model.reset();
  drain();
}

bool Desktop::runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  if (!thread_.joinable()) return test::runUntil(io, done, limit);
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!call(done) && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
  return call(done);
}

void Desktop::advance(kit::Clock::Duration by) {
  if (thread_.joinable()) {
    call([&] {
      now += std::chrono::duration_cast<std::chrono::system_clock::duration>(by);
      manualClock->advance(by);
    });
    call([] {});  // the timers that fell due were posted before this
    return;
  }
  now += std::chrono::duration_cast<std::chrono::system_clock::duration>(by);
  manualClock->advance(by);
  drain();
}

void Desktop::startListening() {
  if (!thread_.joinable()) drain();  // the model's posted start
  // The server makes its listeners on the service thread: they are looked at
  // there (behind the posted start when that thread is of its own).
  bool scripted = call([this] {
    if (listeners.empty()) return false;
    listeners.back()->ready(4000);
    return true;
  });
  if (scripted && !thread_.joinable()) drain();
  if (!runUntil([this] { return std::holds_alternative<host::Server::Listening>(server().status()); })) {
    throw std::runtime_error("the server did not start listening");
  }
}

bool Desktop::listenerReady() const {
  bool ready = false;
  for (const auto& r : log->records()) {
    if (r.text.starts_with("Listener starting with")) ready = false;
    if (r.text.starts_with("Listening on port")) ready = true;
  }
  return ready;
}

std::uint16_t Desktop::relisten(const std::function<void()>& change) {
  std::size_t before = lines("Listening on port");
  call(change);
  if (!runUntil([&] { return lines("Listening on port") > before && listenerReady(); })) {
    throw std::runtime_error("the listener did not restart");
  }
  return port();
}

std::vector<kit::PairedDevice> Desktop::addPhones(std::vector<std::string> names) {
  std::vector<kit::PairedDevice> added;
  for (auto& name : names) {
    // Paired "now", so that dates shown in windows and menus look like real ones.
    added.push_back({kit::Uuid::random(), std::move(name), "Phone", std::chrono::time_point_cast<std::chrono::microseconds>(now), kit::SymmetricKey::random()});
    call([&] { model->registry.add(added.back(), [](std::exception_ptr) {}); });
  }
  if (!model->registry.waitUntilStored(5s)) throw std::runtime_error("the keyring did not store the phones");
  for (std::size_t i = 0; i < added.size() && !thread_.joinable(); ++i) {
    io.restart();
    io.poll_one();
  }
  return added;
}

void Desktop::settle() {
  if (!model->registry.waitUntilStored(5s)) throw std::runtime_error("the keyring did not finish");
  drain();
}

Phone Desktop::connect(const kit::PeerIdentity& identity, const kit::SymmetricKey& key, const std::string& name) {
  auto pair = kit::MemoryConnection::pair();
  Phone phone;
  phone.script = pair.scriptA;
  phone.deskScript = pair.scriptB;
  phone.channel = kit::MessageChannel::create(io.get_executor(), std::move(pair.a), "phone", clock);
  listeners.back()->connect(std::move(pair.b));
  kit::testing::spawn(io, phone.channel->open(10s));
  phone.welcome = kit::testing::spawn(io, kit::Handshake::connect(phone.channel, identity, key, {name, "Phone", "18", "2"}));
  drain();
  if (phone.welcomed()) {
    kit::testing::spawn(io, collect(phone.channel, phone.inbox));
    drain();
  }
  return phone;
}

std::shared_ptr<kit::MessageChannel> Desktop::tlsChannel(const kit::PreSharedKey& psk) { return tlsChannel(psk, port()); }

std::shared_ptr<kit::MessageChannel> Desktop::tlsChannel(const kit::PreSharedKey& psk, std::uint16_t port) {
  kit::TlsContext context(kit::TransportParameters::client(psk));
  return kit::MessageChannel::create(
      io.get_executor(), kit::TlsConnection::connect(io.get_executor(), context, kit::Endpoint::hostPort("127.0.0.1", port)),
      "phone", clock);
}

PairingPhone Desktop::pairPhone(const std::string& code, kit::DeviceInfo device) {
  auto payload = kit::PairingPayload::parse(code);
  auto psk = pskOf(kit::PeerIdentity::pairing(payload.pairingID), kit::KeyDerivation::pairingPSK(payload));
  auto listening = port();
  auto run = [](std::shared_ptr<kit::MessageChannel> channel, kit::PairingPayload payload,
                kit::DeviceInfo device) -> asio::awaitable<kit::PairedMac> {
    auto opening = channel->open(10s);
    co_await std::move(opening);
    auto pairing = kit::PairingFlow::pair(channel, payload, device);
    auto record = co_await std::move(pairing);
    channel->cancel();
    co_return record;
  };
  // The channel is made and started where it runs: on the service thread.
  return call([&] {
    PairingPhone phone{tlsChannel(psk, listening), nullptr};
    phone.outcome = kit::testing::spawn(io, run(phone.channel, payload, std::move(device)));
    return phone;
  });
}

std::size_t Desktop::lines(const std::string& prefix) const {
  auto records = log->records();
  return std::count_if(records.begin(), records.end(), [&](const kit::LogRecord& r) { return r.text.starts_with(prefix); });
}

std::size_t Desktop::indexOf(const std::string& text) const {
  auto records = log->records();
  return std::find_if(records.begin(), records.end(), [&](const kit::LogRecord& r) { return r.text == text; }) - records.begin();
}

std::size_t Desktop::fastSessions() {
  auto snapshot = call([this] { return model->fastListener->snapshot(); });
  if (!thread_.joinable()) drain();
  return snapshot.get().sessions;
}

}  // namespace tillerpad::test
