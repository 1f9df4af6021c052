#include "host/service/server.h"

#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <asio/post.hpp>

#include "host/input/input_injector.h"
#include "host/input/system_commands.h"
#include "kit/pairing/credential_store.h"
#include "kit/pairing/handshake.h"
#include "kit/pairing/key_derivation.h"
#include "kit/transport/fast_channel.h"
#include "kit/transport/memory_connection.h"
#include "kit/transport/message_channel.h"
#include "kit/wire/framing.h"
#include "kit/wire/message_codec.h"
#include "platform/fake/fake_system_commands.h"
#include "platform/fake/in_memory_user_defaults.h"
#include "platform/fake/recording_advertiser.h"
#include "platform/fake/recording_input.h"
#include "tests/host/service/gated_store.h"
#include "tests/kit/transport/async_test.h"

namespace tillerpad::host {
namespace {

using namespace std::chrono_literals;
using kit::Message;
using kit::MessageType;
using kit::testing::drain;
using kit::testing::spawn;
using Action = kit::MouseButtonEvent::Action;

// Listeners the server made, in order; each reports only what the test says.
struct ListenerHub;
class FakeListener final : public ConnectionListener {
 public:
  FakeListener(ListenerHub& hub, asio::any_io_executor executor, std::size_t keyCount)
      : keys(keyCount), hub_(hub), executor_(std::move(executor)) {}
  ~FakeListener() override;
  void start(Handlers h) override { handlers = std::move(h); }
  void cancel() override {
    ++cancels;
    post(State::cancelled, 0, {});
  }
  void ready(std::uint16_t port) { post(State::ready, port, {}); }
  void fail(std::string error) { post(State::failed, 0, std::move(error)); }
  void connect(std::unique_ptr<kit::Connection> c) { handlers.onConnection(std::move(c)); }

  Handlers handlers;
  std::size_t keys;
  int cancels = 0;

 private:
  void post(State s, std::uint16_t port, std::string error) {
    asio::post(executor_, [h = handlers, s, port, error] { h.onState(s, port, error); });
  }
  ListenerHub& hub_;
  asio::any_io_executor executor_;
};

struct ListenerHub {
  std::vector<FakeListener*> live;
  int created = 0;
  bool failCreation = false;
  FakeListener& current() { return *live.back(); }
};

FakeListener::~FakeListener() { std::erase(hub_.live, this); }

// Every message a phone receives until its channel ends.
struct Inbox {
  std::vector<Message> messages;
  bool ended = false;
  std::size_t count(MessageType type) const {
    return std::count_if(messages.begin(), messages.end(), [type](const Message& m) { return m.is(type); });
  }
};

asio::awaitable<void> collect(std::shared_ptr<kit::MessageChannel> channel, std::shared_ptr<Inbox> inbox) {
  for (;;) {
    auto receiving = channel->receive();
    auto message = co_await std::move(receiving);
    if (!message) break;
    inbox->messages.push_back(std::move(*message));
  }
  inbox->ended = true;
}

struct Phone {
  std::shared_ptr<kit::MessageChannel> channel;
  std::shared_ptr<kit::MemoryScript> script, deskScript;
  std::shared_ptr<kit::testing::Outcome<kit::Welcome>> welcome;
  std::shared_ptr<Inbox> inbox = std::make_shared<Inbox>();
};

class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fast_ = kit::FastChannelListener::create(io_, [](const auto&) { return true; }, logger("fast"));
    registry_.onChange = [this] { server_->keysChanged(); };
    pairing_ = PairingController::create(io_.get_executor(), clock_, [] { return std::chrono::system_clock::now(); },
                                          identity_, registry_, logger("pairing"));
    pairing_->onKeysChanged = [this] { server_->keysChanged(); };
    server_ = Server::create(Server::Dependencies{
        io_.get_executor(), clock_, [] { return std::chrono::system_clock::now(); }, identity_, registry_, pairing_,
        [] { return kit::PermissionStatus{true, false}; }, injector_, commands_, fast_, settings_, advertiser_,
        [this](kit::TransportParameters p) -> std::unique_ptr<ConnectionListener> {
          ++hub_.created;
          if (hub_.failCreation) throw std::runtime_error("no sockets left");
          auto l = std::make_unique<FakeListener>(hub_, io_.get_executor(), p.tlsOptions.psks.size() - 1);
          hub_.live.push_back(l.get());
          return l;
        },
        [](const kit::Endpoint& e) { return e.host != "203.0.113.7"; }, logger("server"), logger("session")});
    server_->onStatusChange = [this](const Server::Status& s) { statuses_.push_back(s); };
  }

  void TearDown() override {
    pairing_->stop();  // ends an exchange still waiting for the user
    if (server_->session()) server_->session()->channel()->cancel();
    drain(io_);
    fast_->stop();
    injector_.waitIdle(1s);
  }

  kit::Logger logger(std::string category) { return kit::Logger(log_, "app.tillerpad.Tillerpad", std::move(category)); }

  kit::PairedDevice addPhone(std::string name) { return addPhones({std::move(name)})[0]; }
  // Stores the phones, then has the registry announce them back to back, as
  // a burst of changes. Expects nothing else queued on the service thread.
  std::vector<kit::PairedDevice> addPhones(std::vector<std::string> names) {
    std::vector<kit::PairedDevice> added;
    for (auto& name : names) {
      added.push_back({kit::Uuid::random(), std::move(name), "Phone", {}, kit::SymmetricKey::random()});
      registry_.add(added.back(), [](std::exception_ptr e) { EXPECT_FALSE(e); });
    }
    EXPECT_TRUE(registry_.waitUntilStored(5s));
    for (std::size_t i = 0; i < added.size(); ++i) {
      io_.restart();
      io_.poll_one();
    }
    return added;
  }
  // The keyring's work done and its results handled.
  void settle() {
    EXPECT_TRUE(registry_.waitUntilStored(5s));
    drain(io_);
  }

  void startListening() {
    server_->start();
    hub_.current().ready(4000);
    drain(io_);
  }

  // A phone that connects over an in-memory pair and proves `key` for `identity`.
  Phone connect(const kit::PeerIdentity& identity, const kit::SymmetricKey& key, const std::string& name = "Phone") {
    auto pair = kit::MemoryConnection::pair();
    Phone phone;
    phone.script = pair.scriptA;
    phone.deskScript = pair.scriptB;
    phone.channel = kit::MessageChannel::create(io_.get_executor(), std::move(pair.a), "phone", clock_);
    hub_.current().connect(std::move(pair.b));
    spawn(io_, phone.channel->open(10s));
    phone.welcome = spawn(io_, kit::Handshake::connect(phone.channel, identity, key, {name, "Phone", "18", "2"}));
    drain(io_);
    if (phone.welcome->done && !phone.welcome->error) {
      spawn(io_, collect(phone.channel, phone.inbox));
      drain(io_);
    }
    return phone;
  }
  Phone connect(const kit::PairedDevice& d) { return connect(kit::PeerIdentity::device(d.id), d.keyData, d.name); }

  std::vector<std::string> listenerStarts() const {
    std::vector<std::string> out;
    for (const auto& r : log_->records()) {
      if (r.text.starts_with("Listener starting with")) out.push_back(r.text);
    }
    return out;
  }
  std::size_t indexOf(const std::string& text) const {
    auto records = log_->records();
    for (std::size_t i = 0; i < records.size(); ++i) {
      if (records[i].text == text) return i;
    }
    return records.size();
  }
  std::size_t fastSessions() {
    auto snapshot = fast_->snapshot();
    drain(io_);
    return snapshot.get().sessions;
  }

  asio::io_context io_;
  std::shared_ptr<kit::ManualClock> clock_ = std::make_shared<kit::ManualClock>();
  std::shared_ptr<kit::RecordingLogSink> log_ = std::make_shared<kit::RecordingLogSink>();
  MacIdentity identity_{*kit::Uuid::parse("6F9619FF-8B86-D011-B42D-00C04FC964FF"), "Desk"};
  std::shared_ptr<test::GatedStore> store_ = std::make_shared<test::GatedStore>();
  DeviceRegistry registry_{io_.get_executor(), kit::RecordStore<kit::PairedDevice>(store_), logger("registry")};
  platform::fake::RecordingInput input_;
  InputInjector injector_{input_, input_, 0.5, logger("input"), [] { return 100.0; }};
  platform::fake::FakeSystemCommands system_;
  SystemCommands commands_{system_, system_, logger("commands")};
  platform::fake::InMemoryUserDefaults defaults_;
  MacSettings settings_{defaults_};
  platform::fake::RecordingAdvertiser advertiser_;
  ListenerHub hub_;
  std::shared_ptr<kit::FastChannelListener> fast_;
  std::shared_ptr<PairingController> pairing_;
  std::shared_ptr<Server> server_;
  std::vector<Server::Status> statuses_;
};

TEST_F(ServerTest, KeySetFollowsPhonesAndTheCodeWithOneCancelPerBurst) {
  startListening();
  EXPECT_TRUE(server_->fastPort());
  EXPECT_EQ(log_->count("Fast channel on UDP port " + std::to_string(*server_->fastPort())), 1u);
  EXPECT_EQ(server_->status(), Server::Status(Server::Listening{4000}));
  ASSERT_TRUE(advertiser_.current);
  EXPECT_EQ(advertiser_.current->port, 4000);
  EXPECT_EQ(advertiser_.current->txt, kit::Bonjour::txtRecord(identity_.id));

  FakeListener* first = &hub_.current();
  addPhones({"A", "B"});  // a burst: the first listener is cancelled once
  EXPECT_EQ(first->cancels, 1);
  EXPECT_EQ(hub_.created, 1);  // nothing new before the cancelled state arrives
  drain(io_);
  ASSERT_EQ(hub_.created, 2);
  EXPECT_EQ(hub_.current().keys, 2u);

  pairing_->start();
  drain(io_);
  EXPECT_EQ(hub_.current().keys, 3u);
  pairing_->stop();
  drain(io_);
  EXPECT_EQ(hub_.current().keys, 2u);
  EXPECT_EQ(listenerStarts(), (std::vector<std::string>{"Listener starting with 0 key(s)", "Listener starting with 2 key(s)",
                                                        "Listener starting with 3 key(s)", "Listener starting with 2 key(s)"}));
  for (auto* l : hub_.live) EXPECT_EQ(l->cancels, 0);

  // A claimed code's phone is stored: one restart with its key; withdrawing
  // the spent code then leaves the listener (and its port) as it is.
  pairing_->start();
  drain(io_);
  ASSERT_TRUE(pairing_->claim(pairing_->payload()->pairingID));
  addPhone("C");
  drain(io_);
  EXPECT_EQ(hub_.current().keys, 3u);
  int created = hub_.created;
  pairing_->stop();
  drain(io_);
  EXPECT_EQ(hub_.created, created);
  EXPECT_EQ(hub_.current().cancels, 0);
}

TEST_F(ServerTest, ListenerFailureRetriesAfterThreeSecondsAndStatusNotifiesOnlyOnChange) {
  startListening();
  hub_.current().ready(4000);  // the same status again: no notification
  drain(io_);
  FakeListener* first = &hub_.current();
  first->fail("Address in use");
  drain(io_);
  EXPECT_EQ(server_->status(), Server::Status(Server::Failed{"Address in use"}));
  EXPECT_EQ(log_->count("Listener failed: Address in use"), 1u);
  EXPECT_FALSE(advertiser_.current);
  clock_->advance(2900ms);
  drain(io_);
  EXPECT_EQ(first->cancels, 0);
  clock_->advance(100ms);
  drain(io_);
  ASSERT_EQ(hub_.created, 2);
  hub_.current().ready(4001);
  drain(io_);
  EXPECT_EQ(statuses_, (std::vector<Server::Status>{Server::Listening{4000}, Server::Failed{"Address in use"},
                                                    Server::Listening{4001}}));
  EXPECT_EQ(advertiser_.current->port, 4001);

  // A listener that cannot be made waits for the next key change, which starts one at once.
  hub_.failCreation = true;
  hub_.current().fail("down");
  drain(io_);
  clock_->advance(3s);
  drain(io_);
  EXPECT_EQ(log_->count("Could not create listener: no sockets left"), 1u);
  clock_->advance(10s);
  drain(io_);
  EXPECT_EQ(hub_.created, 3);
  hub_.failCreation = false;
  addPhone("A");
  EXPECT_EQ(hub_.created, 4);
  EXPECT_EQ(hub_.current().keys, 1u);
}

TEST_F(ServerTest, ANewPhoneReplacesTheSessionAndTheActivityStaysHeld) {
  startListening();
  auto a = addPhone("Ada");
  auto b = addPhone("Bob");
  drain(io_);
  auto phoneA = connect(a);
  ASSERT_TRUE(phoneA.welcome->done && !phoneA.welcome->error);
  EXPECT_EQ(phoneA.welcome->value->fastPort, server_->fastPort());
  ASSERT_TRUE(server_->session());
  EXPECT_TRUE(server_->holdsActivity());
  EXPECT_EQ(fastSessions(), 1u);
  EXPECT_EQ(phoneA.inbox->messages.at(0), Message::permissionStatus({true, false}));
  // Screen viewing and clipboard sharing are not offered yet, whatever the settings say.
  EXPECT_EQ(phoneA.inbox->messages.at(1), Message::sharingSettings({false, false}));

  auto phoneB = connect(b);
  drain(io_);
  EXPECT_EQ(server_->session()->device().name, "Bob");
  EXPECT_EQ(phoneA.inbox->messages.back(), Message::bye({kit::ByeReason::replaced}));
  EXPECT_TRUE(phoneA.inbox->ended);
  EXPECT_LT(indexOf("Session started with Bob"), indexOf("Session ended with Ada"));
  EXPECT_TRUE(server_->holdsActivity());
  EXPECT_EQ(fastSessions(), 1u);  // A's keys are gone, B's are in

  server_->disconnect();
  drain(io_);
  EXPECT_FALSE(server_->session());
  EXPECT_FALSE(server_->holdsActivity());
  EXPECT_EQ(phoneB.inbox->messages.back(), Message::bye({kit::ByeReason::userDisconnected}));
  EXPECT_EQ(log_->count("Session ended with Bob"), 1u);
  EXPECT_EQ(fastSessions(), 0u);
}

TEST_F(ServerTest, RevokeEndsOnlyThatPhonesSessionAndDropsItsKey) {
  startListening();
  auto a = addPhone("Ada");
  auto b = addPhone("Bob");
  drain(io_);
  auto phoneA = connect(a);
  ASSERT_TRUE(server_->session());

  server_->revoke(b.id);  // not connected: only the key set changes
  settle();
  EXPECT_EQ(server_->session()->device().name, "Ada");
  EXPECT_EQ(hub_.current().keys, 1u);

  server_->revoke(a.id);
  settle();
  EXPECT_FALSE(server_->session());
  EXPECT_EQ(phoneA.inbox->messages.back(), Message::bye({kit::ByeReason::revoked}));
  EXPECT_TRUE(registry_.devices().empty());
  EXPECT_EQ(hub_.current().keys, 0u);

  auto again = connect(a);  // the revoked key no longer opens a session
  drain(io_);
  EXPECT_FALSE(server_->session());
}

// The keyring may take long, or fail: the revoked phone's session ends at
// once either way, and a failed removal is reported.
TEST_F(ServerTest, RevokeEndsTheSessionWithoutWaitingForTheKeyring) {
  startListening();
  auto a = addPhone("Ada");
  drain(io_);
  auto phoneA = connect(a);
  ASSERT_TRUE(server_->session());

  store_->hold();
  server_->revoke(a.id);
  drain(io_);
  EXPECT_FALSE(server_->session());
  EXPECT_EQ(phoneA.inbox->messages.back(), Message::bye({kit::ByeReason::revoked}));
  EXPECT_TRUE(store_->isHolding());  // the removal is still with the keyring
  store_->release();
  settle();
  EXPECT_TRUE(registry_.devices().empty());
  EXPECT_EQ(hub_.current().keys, 0u);

  auto b = addPhone("Bob");
  drain(io_);
  auto phoneB = connect(b);
  ASSERT_TRUE(server_->session());
  store_->failChanges(true);
  server_->revoke(b.id);
  drain(io_);
  EXPECT_FALSE(server_->session());
  settle();
  EXPECT_EQ(log_->count("Could not remove device: Keychain error -2: the keyring stayed locked"), 1u);
  EXPECT_EQ(registry_.devices().size(), 1u);
}

TEST_F(ServerTest, SessionDispatchesInOrderAndAnswersPings) {
  startListening();
  auto a = addPhone("Ada");
  drain(io_);
  auto phone = connect(a);
  ASSERT_TRUE(server_->session());
  phone.channel->sendWithoutWaiting(Message::ping({7, 12.5}));
  phone.channel->sendWithoutWaiting(Message::keyPress({kit::Key::returnKey, kit::Modifiers::none()}));
  phone.channel->sendWithoutWaiting(Message::typeText({"hi"}));
  phone.channel->sendWithoutWaiting(Message::welcome({}));
  {
    // A type this desktop does not know, as a newer phone would send it.
    // The payload is the JSON part's 32-bit length, the JSON, then the attachments.
    auto payload = kit::MessageCodec::encode(Message::ping({0, 0}));
    std::size_t length = (std::size_t{payload[0]} << 24) | (std::size_t{payload[1]} << 16) |
                         (std::size_t{payload[2]} << 8) | payload[3];
    std::string json(payload.begin() + 4, payload.begin() + 4 + static_cast<std::ptrdiff_t>(length));
    json.replace(json.find("\"ping\""), 6, "\"teleport\"");
    kit::Bytes changed(4, 0);
    for (int i = 0; i < 4; ++i) changed[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(json.size() >> (24 - 8 * i));
    changed.insert(changed.end(), json.begin(), json.end());
    changed.insert(changed.end(), payload.begin() + 4 + static_cast<std::ptrdiff_t>(length), payload.end());
    ASSERT_EQ(kit::MessageCodec::decode(changed), Message::unknown("teleport"));
    drain(io_);
    phone.deskScript->deliver(kit::Framing::frame(changed));
  }
  phone.channel->sendWithoutWaiting(Message::media({kit::MediaAction::volumeUp}));
  phone.channel->sendWithoutWaiting(Message::missionControl({kit::MissionControlAction("nonsense")}));
  phone.channel->sendWithoutWaiting(Message::screenStart({}));
  phone.channel->sendWithoutWaiting(Message::clipboard({kit::ClipboardContent{"hi", std::nullopt, false}}));
  drain(io_);
  ASSERT_TRUE(injector_.waitIdle(2s));

  EXPECT_EQ(phone.inbox->count(MessageType::pong), 1u);
  EXPECT_TRUE(std::find(phone.inbox->messages.begin(), phone.inbox->messages.end(), Message::pong({7, 12.5})) !=
              phone.inbox->messages.end());
  // Services this desktop does not offer yet are refused, not ignored.
  auto tail = std::vector<Message>(phone.inbox->messages.end() - 3, phone.inbox->messages.end());
  EXPECT_EQ(tail, (std::vector<Message>{Message::error({kit::ErrorCode::shortcutDisabled, std::string("nonsense")}),
                                        Message::error({kit::ErrorCode::screenViewingDisabled, std::nullopt}),
                                        Message::error({kit::ErrorCode::clipboardSharingDisabled, std::nullopt})}));
  EXPECT_EQ(log_->count("Unexpected message welcome in session"), 1u);
  EXPECT_EQ(log_->count("Ignoring unknown message type teleport"), 1u);
  EXPECT_EQ(system_.media.size(), 2u);  // press and release

  // The key's down and up come before the text.
  auto events = input_.events();
  auto firstText = std::find_if(events.begin(), events.end(),
                                [](const auto& e) { return std::holds_alternative<platform::TextEvent>(e); });
  ASSERT_NE(firstText, events.end());
  ASSERT_NE(firstText, events.begin());
  EXPECT_TRUE(std::holds_alternative<platform::KeyEvent>(*(firstText - 1)));
  ASSERT_TRUE(server_->session());  // none of this ended the session

  phone.channel->sendWithoutWaiting(Message::bye({kit::ByeReason::backgrounded}));
  drain(io_);
  EXPECT_EQ(log_->count("iPhone ended the session: backgrounded"), 1u);
  EXPECT_FALSE(server_->session());
}

TEST_F(ServerTest, TenSilentSecondsEndTheSession) {
  startListening();
  auto a = addPhone("Ada");
  drain(io_);
  auto phone = connect(a);
  ASSERT_TRUE(server_->session());
  clock_->advance(9s);
  drain(io_);
  phone.channel->sendWithoutWaiting(Message::ping({1, 0}));
  drain(io_);
  clock_->advance(9s);
  drain(io_);
  EXPECT_TRUE(server_->session());  // the ping started a new ten seconds
  clock_->advance(1s);
  drain(io_);
  EXPECT_FALSE(server_->session());
  EXPECT_TRUE(log_->contains("Session closed: "));
  EXPECT_EQ(log_->count("Session ended with Ada"), 1u);
  EXPECT_FALSE(server_->holdsActivity());
  EXPECT_EQ(fastSessions(), 0u);
}

TEST_F(ServerTest, PairingIdentityGoesToThePairingControllerWithoutTouchingTheSession) {
  startListening();
  auto a = addPhone("Ada");
  drain(io_);
  auto phoneA = connect(a);
  pairing_->start();
  drain(io_);
  auto key = kit::KeyDerivation::pairingPSK(*pairing_->payload());
  auto newcomer = connect(kit::PeerIdentity::pairing(pairing_->payload()->pairingID), key, "Newcomer");
  ASSERT_TRUE(newcomer.welcome->done && !newcomer.welcome->error);
  EXPECT_EQ(server_->session()->device().name, "Ada");
  EXPECT_EQ(phoneA.inbox->count(MessageType::bye), 0u);
  newcomer.channel->cancel();  // the phone walks away; the exchange ends
  drain(io_);
}

TEST_F(ServerTest, UnauthenticatedPeersAreBoundedInNumberTimeAndBytes) {
  startListening();
  auto outside = kit::MemoryConnection::make({.remote = kit::Endpoint::hostPort("203.0.113.7", 1)});
  hub_.current().connect(std::move(outside.first));
  EXPECT_EQ(log_->count("Rejected connection from outside the local network: 203.0.113.7:1"), 1u);

  // Stalled in TLS: four from one address are kept; the fifth pushes out the oldest.
  std::vector<std::shared_ptr<kit::MemoryScript>> stalled;
  for (int i = 0; i < 5; ++i) {
    auto [connection, script] = kit::MemoryConnection::make({.readyOnStart = false});
    stalled.push_back(script);
    hub_.current().connect(std::move(connection));
  }
  drain(io_);
  EXPECT_EQ(server_->pendingConnections(), 4u);
  EXPECT_TRUE(stalled[0]->isCancelled());
  EXPECT_TRUE(stalled[4]->isStarted());
  EXPECT_FALSE(stalled[1]->isCancelled());

  // Another address has places of its own; in all, the oldest of any address makes way.
  std::vector<std::shared_ptr<kit::MemoryScript>> others;
  for (std::size_t i = 0; i < Server::maxPending; ++i) {
    auto [other, script] = kit::MemoryConnection::make(
        {.readyOnStart = false, .remote = kit::Endpoint::hostPort("127.0.0." + std::to_string(2 + i), 9)});
    others.push_back(script);
    hub_.current().connect(std::move(other));
  }
  drain(io_);
  EXPECT_EQ(server_->pendingConnections(), Server::maxPending);
  EXPECT_TRUE(stalled[1]->isCancelled());  // the oldest overall
  EXPECT_FALSE(others.front()->isCancelled());

  clock_->advance(10s);
  drain(io_);
  EXPECT_EQ(server_->pendingConnections(), 0u);
  EXPECT_EQ(log_->count("TLS not established: " + std::string(kit::ChannelError::timedOut().what())),
            Server::maxPending);
  // The evicted ones ended at once, not with the time limit.
  EXPECT_EQ(log_->count("TLS not established: " + std::string(kit::ChannelError::closed().what())), 5u);

  // A peer that never says hello but streams a huge frame is cut off early.
  auto [flooder, flood] = kit::MemoryConnection::make({.exporter = [](std::string_view, std::size_t n) {
    return std::optional<kit::Bytes>(kit::Bytes(n, 1));
  }});
  hub_.current().connect(std::move(flooder));
  drain(io_);
  std::uint8_t header[4];
  kit::Framing::writeHeader(1'000'000, header);
  flood->deliver(kit::Bytes(header, header + 4));
  for (int i = 0; i < 20 && !flood->isCancelled(); ++i) {
    flood->deliver(kit::Bytes(16'384, 0));
    drain(io_);
  }
  EXPECT_TRUE(flood->isCancelled());
  EXPECT_TRUE(log_->contains("Connection rejected: Too much data before authentication"));
  EXPECT_LE(flood->largestReadRequest(), Server::preAuthenticationBytes);
}

// Stalled handshakes from the phone's own address (a NAT, a hostile host on
// the LAN) cannot keep the phone out: they push each other out, and the
// phone's quick set-up gets through.
TEST_F(ServerTest, StalledHandshakesFromThePhonesAddressCannotKeepItOut) {
  startListening();
  auto a = addPhone("Ada");
  drain(io_);
  std::vector<std::shared_ptr<kit::MemoryScript>> stalled;
  for (int i = 0; i < 50; ++i) {
    auto [connection, script] = kit::MemoryConnection::make({.readyOnStart = false});
    stalled.push_back(script);
    hub_.current().connect(std::move(connection));
  }
  drain(io_);
  EXPECT_EQ(server_->pendingConnections(), Server::maxPendingPerHost);
  auto phone = connect(a);
  ASSERT_TRUE(phone.welcome->done && !phone.welcome->error);
  ASSERT_TRUE(server_->session());
  clock_->advance(10s);
  drain(io_);
  EXPECT_EQ(server_->pendingConnections(), 0u);
  EXPECT_TRUE(std::all_of(stalled.begin(), stalled.end(), [](const auto& s) { return s->isCancelled(); }));
}

// A phone that sends but never reads is let go of at once when the desktop
// ends its session: its input stops, its fast keys go, and the connection
// ends within the bye's time limit even though the bye never leaves.
TEST_F(ServerTest, APhoneThatNeverReadsLosesControlAtOnceWhenRevokedOrReplaced) {
  for (int replaced = 0; replaced < 2; ++replaced) {
    SCOPED_TRACE(replaced ? "replaced" : "revoked");
    startListening();
    auto a = addPhone("Ada");
    drain(io_);
    auto phone = connect(a);
    ASSERT_TRUE(server_->session());
    ASSERT_EQ(fastSessions(), 1u);
    phone.channel->sendWithoutWaiting(Message::mouseButton({kit::MouseButton::left, Action::down}));
    drain(io_);
    phone.deskScript->stallWrites();  // the desktop's sends now never complete
    std::optional<Phone> newcomer;
    if (replaced) {
      auto b = addPhone("Bob");
      drain(io_);
      newcomer = connect(b);
    } else {
      server_->revoke(a.id);
    }
    // Decided: the fast keys and the held button go before any bye is out.
    EXPECT_EQ(fastSessions(), replaced ? 1u : 0u);
    phone.channel->sendWithoutWaiting(Message::mouseButton({kit::MouseButton::right, Action::click}));
    drain(io_);
    ASSERT_TRUE(injector_.waitIdle(2s));
    auto events = input_.takeEvents();
    auto isMouse = [&](platform::MouseEventType type) {
      return std::count_if(events.begin(), events.end(), [type](const auto& e) {
        auto m = std::get_if<platform::MouseEvent>(&e);
        return m && m->type == type;
      });
    };
    EXPECT_EQ(isMouse(platform::MouseEventType::leftUp), 1);
    EXPECT_EQ(isMouse(platform::MouseEventType::rightDown), 0);
    EXPECT_FALSE(phone.script->isCancelled());
    clock_->advance(kit::MessageChannel::closeLimit);
    drain(io_);
    EXPECT_TRUE(phone.deskScript->isCancelled());
    EXPECT_EQ(log_->count("Session ended with Ada"), static_cast<std::size_t>(replaced + 1));
    if (newcomer) {
      EXPECT_EQ(server_->session()->device().name, "Bob");
      newcomer->channel->cancel();
      drain(io_);
    }
    for (const auto& d : std::vector<kit::PairedDevice>(registry_.devices())) {
      registry_.remove(d.id, [](std::exception_ptr e) { EXPECT_FALSE(e); });
    }
    settle();
  }
}

// A failure inside the handling of a message ends the session the ordinary
// way: logged, torn down, and reported to the server.
TEST_F(ServerTest, AFailingHandlerEndsTheSessionThroughItsTeardown) {
  startListening();
  auto a = addPhone("Ada");
  drain(io_);
  auto phone = connect(a);
  phone.channel->sendWithoutWaiting(Message::mouseButton({kit::MouseButton::left, Action::down}));
  system_.shortcutFailure = "settings daemon gone";
  phone.channel->sendWithoutWaiting(Message::missionControl({kit::MissionControlAction("showDesktop")}));
  drain(io_);
  ASSERT_TRUE(injector_.waitIdle(2s));
  EXPECT_FALSE(server_->session());
  EXPECT_FALSE(server_->holdsActivity());
  EXPECT_EQ(log_->count("Session closed after a failure handling missionControl: settings daemon gone"), 1u);
  EXPECT_EQ(log_->count("Session ended with Ada"), 1u);
  EXPECT_EQ(fastSessions(), 0u);
  EXPECT_TRUE(phone.inbox->ended);
  auto events = input_.takeEvents();
  ASSERT_FALSE(events.empty());
  auto last = std::get_if<platform::MouseEvent>(&events.back());
  ASSERT_TRUE(last);
  EXPECT_EQ(last->type, platform::MouseEventType::leftUp);
}

}  // namespace
}  // namespace tillerpad::host
