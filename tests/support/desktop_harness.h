#pragma once

// The whole desktop as the product wires it (AppModel: registry, pairing,
// injector, fast channel and the real Server) over fakes of the system: one
// harness for the server, headless, remote-tool and pairing tests and the
// benches. Free of GoogleTest, so that the benches can use it too.
#include <asio/io_context.hpp>
#include <asio/post.hpp>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "host/app/app_model.h"
#include "kit/pairing/credential_store.h"
#include "kit/pairing/paired_records.h"
#include "kit/wire/session_messages.h"
#include "kit/transport/memory_connection.h"
#include "kit/transport/message_channel.h"
#include "platform/fake/fake_app_workspace.h"
#include "platform/fake/fake_pasteboard.h"
#include "platform/fake/fake_permission_probe.h"
#include "platform/fake/fake_screen_capture.h"
#include "platform/fake/fake_system_commands.h"
#include "platform/fake/in_memory_user_defaults.h"
#include "platform/fake/recording_advertiser.h"
#include "platform/fake/recording_input.h"
#include "platform/login_item_service.h"
#include "tests/kit/transport/async_test.h"
#include "tests/support/fake_jpeg_encoder.h"
#include "tests/support/test_bytes.h"

namespace tillerpad::test {

using namespace std::chrono_literals;

inline kit::PreSharedKey pskOf(const kit::PeerIdentity& identity, const kit::SymmetricKey& key) { return kit::testing::pskOf(identity, key); }

// An in-memory keyring whose changes can fail, or be held as a keyring holds
// them behind an unlock prompt: until release(), or for at most 5 s.
class GatedStore : public kit::InMemoryCredentialStore {
 public:
  std::map<std::string, kit::Bytes> all() override;
  void write(kit::ByteView data, const std::string& account) override { pass(), InMemoryCredentialStore::write(data, account); }
  void remove(const std::string& account) override { pass(), InMemoryCredentialStore::remove(account); }
  void hold() { set(holding_, true); }
  void release() { set(holding_, false); }
  void failChanges(bool fail) { set(failing_, fail); }
  void failReads(bool fail) { set(failingReads_, fail); }
  bool isHolding() {  // a change is waiting at the gate now
    std::lock_guard lock(mutex_);
    return waiting_ > 0;
  }

 private:
  void set(bool& flag, bool value);
  void pass();
  std::mutex mutex_;
  std::condition_variable changed_;
  bool holding_ = false, failing_ = false, failingReads_ = false;
  int waiting_ = 0;
};

// Runs `io` until `done` holds, for at most `limit` of real time.
bool runUntil(asio::io_context& io, const std::function<bool()>& done, std::chrono::milliseconds limit = 20s);

// A TCP listener that reports only what the test says; the harness keeps
// every one the server made, in order.
class ScriptedListener final : public host::ConnectionListener {
 public:
  ScriptedListener(asio::any_io_executor executor, std::size_t keys, std::vector<ScriptedListener*>& live)
      : keys(keys), executor_(std::move(executor)), live_(live) {
    live_.push_back(this);
  }
  ~ScriptedListener() override { std::erase(live_, this); }
  void start(Handlers h) override { handlers = std::move(h); }
  void cancel() override { ++cancels, post(State::cancelled, 0, {}); }
  void ready(std::uint16_t port) { post(State::ready, port, {}); }
  void fail(std::string error) { post(State::failed, 0, std::move(error)); }
  void connect(std::unique_ptr<kit::Connection> c) { handlers.onConnection(std::move(c)); }

  Handlers handlers;
  std::size_t keys;  // not counting the placeholder every key set carries
  int cancels = 0;

 private:
  void post(State s, std::uint16_t port, std::string error) {
    asio::post(executor_, [h = handlers, s, port, error] { h.onState(s, port, error); });
  }
  asio::any_io_executor executor_;
  std::vector<ScriptedListener*>& live_;
};

// Every message a phone receives until its channel ends.
struct Inbox {
  std::vector<kit::Message> messages;
  bool ended = false;
  std::size_t count(kit::MessageType type) const {
    return std::count_if(messages.begin(), messages.end(), [type](const kit::Message& m) { return m.is(type); });
  }
  bool has(const kit::Message& m) const { return std::find(messages.begin(), messages.end(), m) != messages.end(); }
};
asio::awaitable<void> collect(std::shared_ptr<kit::MessageChannel> channel, std::shared_ptr<Inbox> inbox);

struct Phone {
  std::shared_ptr<kit::MessageChannel> channel;
  std::shared_ptr<kit::MemoryScript> script, deskScript;  // in-memory phones only
  std::shared_ptr<kit::testing::Outcome<kit::Welcome>> welcome;
  std::shared_ptr<Inbox> inbox = std::make_shared<Inbox>();
  bool welcomed() const { return welcome->done && !welcome->error; }
};

// A phone pairing over TLS with the kit's own pairing client; its outcome is
// written on the service thread (read it there, e.g. in runUntil).
struct PairingPhone {
  std::shared_ptr<kit::MessageChannel> channel;
  std::shared_ptr<kit::testing::Outcome<kit::PairedMac>> outcome;
};

class FakeLoginItems : public platform::LoginItemService {
 public:
  Status status() const override { return status_; }
  void registerApp() override {
    if (refuse) throw std::runtime_error("the session refused the autostart entry");
    status_ = Status::enabled;
  }
  bool refuse = false;  // registering fails and changes nothing
  void unregisterApp() override { status_ = Status::notRegistered; }

 private:
  Status status_ = Status::notRegistered;
};

struct DesktopOptions {
  bool tls = false;        // the real TLS listener on loopback; else scripted listeners
  bool realTime = false;   // a steady clock; else a manual one the test advances
  bool ownThread = false;  // the service thread is a thread of its own; else the test's
  // The injector's sink and displays; default: the recording input.
  platform::InputEventSink* events = nullptr;
  platform::DisplayQuery* displays = nullptr;
  platform::ServiceAdvertiser* advertiser = nullptr;  // default: the recording advertiser
};

class Desktop {
 public:
  explicit Desktop(DesktopOptions options = {});
  ~Desktop();
  Desktop(const Desktop&) = delete;
  Desktop& operator=(const Desktop&) = delete;

  // Runs `f` on the service thread and returns its result.
  template <class F>
  auto call(F f) -> std::invoke_result_t<F> {
    if (!thread_.joinable()) return f();
    auto task = std::make_shared<std::packaged_task<std::invoke_result_t<F>()>>(std::move(f));
    auto future = task->get_future();
    asio::post(io, [task] { (*task)(); });
    if (future.wait_for(20s) != std::future_status::ready) throw std::runtime_error("the service thread did not answer");
    return future.get();
  }
  // What is ready now (the test's thread only).
  void drain() { kit::testing::drain(io); }
  // Polls `done` on the service thread until it holds, for at most `limit`.
  bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 20s);
  // The manual clock and the wall clock move on together; with a service
  // thread of its own, what fell due has run when it returns.
  void advance(kit::Clock::Duration by);

  host::Server& server() { return *model->server; }
  // Starts the server and waits until it listens (a scripted listener on port 4000).
  void startListening();
  std::uint16_t port() { return call([this] { return std::get<host::Server::Listening>(server().status()).port; }); }
  // The newest listener is the one listening.
  bool listenerReady() const;
  // Runs `change` on the service thread and waits until the listener that
  // follows it listens (TLS: a new port); returns that port.
  std::uint16_t relisten(const std::function<void()>& change);

  // Stores the phones, then has the registry announce them back to back, as
  // a burst of changes. Expects nothing else queued on the service thread.
  std::vector<kit::PairedDevice> addPhones(std::vector<std::string> names);
  kit::PairedDevice addPhone(std::string name) { return addPhones({std::move(name)})[0]; }
  // The keyring's work done and its results handled.
  void settle();

  // A phone over an in-memory pair proving `key` for `identity` to the
  // current scripted listener; its inbox fills once welcomed.
  Phone connect(const kit::PeerIdentity& identity, const kit::SymmetricKey& key, const std::string& name = "Phone");
  Phone connect(const kit::PairedDevice& d) { return connect(kit::PeerIdentity::device(d.id), d.keyData, d.name); }
  // An unopened TLS channel to the listener on loopback, on the desktop's io.
  std::shared_ptr<kit::MessageChannel> tlsChannel(const kit::PreSharedKey& psk);
  // A phone that scanned `code` pairs over TLS with the listener on loopback.
  PairingPhone pairPhone(const std::string& code, kit::DeviceInfo device);

  // Log lines that start with `prefix`; the index of the first that is `text`.
  std::size_t lines(const std::string& prefix) const;
  std::size_t indexOf(const std::string& text) const;
  std::size_t fastSessions();
  kit::Logger logger(std::string category) const { return kit::Logger(log, "app.tillerpad.Tillerpad", std::move(category)); }

  asio::io_context io{1};  // one thread runs it, as in the service
  std::shared_ptr<kit::ManualClock> manualClock;  // null with realTime
  std::shared_ptr<kit::Clock> clock;
  std::chrono::system_clock::time_point now = std::chrono::system_clock::now();
  std::shared_ptr<kit::RecordingLogSink> log = std::make_shared<kit::RecordingLogSink>();
  platform::fake::InMemoryUserDefaults defaults;
  platform::fake::FixedSystemInfo system{std::string("Desk"), std::nullopt};
  FakeLoginItems loginItems;
  std::shared_ptr<GatedStore> store = std::make_shared<GatedStore>();
  std::vector<std::string> services;  // asked of the credential store
  platform::fake::FakePermissionProbe probe;
  platform::fake::RecordingInput input;
  platform::fake::FakeSystemCommands commands;
  platform::fake::RecordingAdvertiser advertiser;
  platform::fake::FakeScreenCapture screenCapture;
  platform::fake::FakePasteboard pasteboard;
  platform::fake::FakeAppWorkspace appWorkspace;
  std::shared_ptr<EncoderLog> encoders = std::make_shared<EncoderLog>();
  std::vector<ScriptedListener*> listeners;  // live ones, oldest first
  int listenersCreated = 0;
  bool failListenerCreation = false;
  std::vector<host::Server::Status> statuses;
  std::unique_ptr<host::AppModel> model;

 private:
  struct NoInterfaces : kit::InterfaceSource {
    std::optional<std::vector<kit::InterfaceAddress>> interfaces() const override { return std::vector<kit::InterfaceAddress>{}; }
  } interfaces_;
  std::shared_ptr<kit::MessageChannel> tlsChannel(const kit::PreSharedKey& psk, std::uint16_t port);
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work_;
  std::thread thread_;
};

}  // namespace tillerpad::test
