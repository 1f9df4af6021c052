#include "host/service/server.h"

#include <gtest/gtest.h>

#include "kit/pairing/key_derivation.h"
#include "kit/wire/framing.h"
#include "kit/wire/message_codec.h"
#include "tests/support/desktop_harness.h"

namespace tillerpad::host {
namespace {

using namespace std::chrono_literals;
using kit::Message;
using kit::MessageType;
using Action = kit::MouseButtonEvent::Action;

class ServerTest : public ::testing::Test, public test::Desktop {
 protected:
  std::vector<std::string> listenerStarts() const {
    std::vector<std::string> out;
    for (const auto& r : log->records()) {
      if (r.text.starts_with("Listener starting with")) out.push_back(r.text);
    }
    return out;
  }
  std::size_t mouseEvents(const std::vector<platform::fake::RecordedInput>& events, platform::MouseEventType type) {
    return std::count_if(events.begin(), events.end(), [type](const auto& e) {
      auto m = std::get_if<platform::MouseEvent>(&e);
      return m && m->type == type;
    });
  }
  test::ScriptedListener& listener() { return *listeners.back(); }
  PairingController& pairing() { return *model->pairing; }
};

TEST_F(ServerTest, KeySetFollowsPhonesAndTheCodeWithOneCancelPerBurst) {
  startListening();
  EXPECT_TRUE(server().fastPort());
  EXPECT_EQ(log->count("Fast channel on UDP port " + std::to_string(*server().fastPort())), 1u);
  EXPECT_EQ(server().status(), Server::Status(Server::Listening{4000}));
  ASSERT_TRUE(advertiser.current);
  EXPECT_EQ(advertiser.current->port, 4000);
  EXPECT_EQ(advertiser.current->txt, kit::Bonjour::txtRecord(model->identity.id));

  auto* first = &listener();
  addPhones({"A", "B"});  // a burst: the first listener is cancelled once
  EXPECT_EQ(first->cancels, 1);
  EXPECT_EQ(listenersCreated, 1);  // nothing new before the cancelled state arrives
  drain();
  ASSERT_EQ(listenersCreated, 2);
  EXPECT_EQ(listener().keys, 2u);

  pairing().start();
  drain();
  EXPECT_EQ(listener().keys, 3u);
  pairing().stop();
  drain();
  EXPECT_EQ(listener().keys, 2u);
  EXPECT_EQ(listenerStarts(), (std::vector<std::string>{"Listener starting with 0 key(s)", "Listener starting with 2 key(s)",
                                                        "Listener starting with 3 key(s)", "Listener starting with 2 key(s)"}));
  for (auto* l : listeners) EXPECT_EQ(l->cancels, 0);

  // A claimed code's phone is stored: one restart with its key; withdrawing
  // the spent code then leaves the listener (and its port) as it is.
  pairing().start();
  drain();
  ASSERT_TRUE(pairing().claim(pairing().payload()->pairingID));
  addPhone("C");
  drain();
  EXPECT_EQ(listener().keys, 3u);
  int created = listenersCreated;
  pairing().stop();
  drain();
  EXPECT_EQ(listenersCreated, created);
  EXPECT_EQ(listener().cancels, 0);
}

TEST_F(ServerTest, ListenerFailureRetriesAfterThreeSecondsAndStatusNotifiesOnlyOnChange) {
  startListening();
  listener().ready(4000);  // the same status again: no notification
  drain();
  auto* first = &listener();
  first->fail("Address in use");
  drain();
  EXPECT_EQ(server().status(), Server::Status(Server::Failed{"Address in use"}));
  EXPECT_EQ(log->count("Listener failed: Address in use"), 1u);
  EXPECT_FALSE(advertiser.current);
  advance(2900ms);
  EXPECT_EQ(first->cancels, 0);
  advance(100ms);
  ASSERT_EQ(listenersCreated, 2);
  listener().ready(4001);
  drain();
  EXPECT_EQ(statuses, (std::vector<Server::Status>{Server::Listening{4000}, Server::Failed{"Address in use"},
                                                   Server::Listening{4001}}));
  EXPECT_EQ(advertiser.current->port, 4001);

  // A listener that cannot be made waits for the next key change, which starts one at once.
  failListenerCreation = true;
  listener().fail("down");
  drain();
  advance(3s);
  EXPECT_EQ(log->count("Could not create listener: no sockets left"), 1u);
  advance(10s);
  EXPECT_EQ(listenersCreated, 3);
  failListenerCreation = false;
  addPhone("A");
  EXPECT_EQ(listenersCreated, 4);
  EXPECT_EQ(listener().keys, 1u);
}

TEST_F(ServerTest, ANewPhoneReplacesTheSessionAndTheActivityStaysHeld) {
  startListening();
  auto a = addPhone("Ada");
  auto b = addPhone("Bob");
  drain();
  auto phoneA = connect(a);
  ASSERT_TRUE(phoneA.welcomed());
  EXPECT_EQ(phoneA.welcome->value->fastPort, server().fastPort());
  ASSERT_TRUE(server().session());
  EXPECT_TRUE(server().holdsActivity());
  EXPECT_EQ(fastSessions(), 1u);
  EXPECT_EQ(phoneA.inbox->messages.at(0), Message::permissionStatus({true, false}));
  EXPECT_EQ(phoneA.inbox->messages.at(1), Message::sharingSettings({true, true}));

  auto phoneB = connect(b);
  drain();
  EXPECT_EQ(server().session()->device().name, "Bob");
  EXPECT_EQ(phoneA.inbox->messages.back(), Message::bye({kit::ByeReason::replaced}));
  EXPECT_TRUE(phoneA.inbox->ended);
  EXPECT_LT(indexOf("Session started with Bob"), indexOf("Session ended with Ada"));
  EXPECT_TRUE(server().holdsActivity());
  EXPECT_EQ(fastSessions(), 1u);  // A's keys are gone, B's are in

  server().disconnect();
  drain();
  EXPECT_FALSE(server().session());
  EXPECT_FALSE(server().holdsActivity());
  EXPECT_EQ(phoneB.inbox->messages.back(), Message::bye({kit::ByeReason::userDisconnected}));
  EXPECT_EQ(log->count("Session ended with Bob"), 1u);
  EXPECT_EQ(fastSessions(), 0u);
}

// The keyring may take long, or fail: the revoked phone's session ends at
// once either way, and a failed removal is reported.
TEST_F(ServerTest, RevokeEndsOnlyThatPhonesSessionAtOnceAndDropsItsKey) {
  startListening();
  auto a = addPhone("Ada");
  auto b = addPhone("Bob");
  drain();
  auto phoneA = connect(a);
  ASSERT_TRUE(server().session());

  server().revoke(b.id);  // not connected: only the key set changes
  settle();
  EXPECT_EQ(server().session()->device().name, "Ada");
  EXPECT_EQ(listener().keys, 1u);

  store->hold();
  server().revoke(a.id);
  drain();
  EXPECT_FALSE(server().session());
  EXPECT_EQ(phoneA.inbox->messages.back(), Message::bye({kit::ByeReason::revoked}));
  EXPECT_TRUE(store->isHolding());  // the removal is still with the keyring
  store->release();
  settle();
  EXPECT_TRUE(model->registry.devices().empty());
  EXPECT_EQ(listener().keys, 0u);
  auto again = connect(a);  // the revoked key no longer opens a session
  EXPECT_FALSE(again.welcomed());
  EXPECT_FALSE(server().session());

  auto c = addPhone("Cy");
  drain();
  auto phoneC = connect(c);
  ASSERT_TRUE(server().session());
  store->failChanges(true);
  server().revoke(c.id);
  drain();
  EXPECT_FALSE(server().session());
  settle();
  EXPECT_EQ(log->count("Could not remove device: Keychain error -2: the keyring stayed locked"), 1u);
  EXPECT_EQ(model->registry.devices().size(), 1u);
}

TEST_F(ServerTest, SessionDispatchesInOrderAndAnswersPings) {
  startListening();
  auto phone = connect(addPhone("Ada"));
  ASSERT_TRUE(server().session());
  model->settings.setAllowScreenViewing(false);
  model->settings.setShareClipboard(false);
  phone.channel->sendWithoutWaiting(Message::ping({7, 12.5}));
  phone.channel->sendWithoutWaiting(Message::keyPress({kit::Key::returnKey, kit::Modifiers::none()}));
  phone.channel->sendWithoutWaiting(Message::typeText({"hi"}));
  phone.channel->sendWithoutWaiting(Message::welcome({}));
  {
    // A type this desktop does not know, as a newer phone would send it.
    // The payload is the JSON part's 32-bit length (under 256 here), the JSON, then the attachments.
    auto payload = kit::MessageCodec::encode(Message::ping({0, 0}));
    std::string text(payload.begin(), payload.end());
    text.replace(text.find("\"ping\""), 6, "\"teleport\"");
    text[3] = static_cast<char>(text[3] + 4);
    kit::Bytes changed(text.begin(), text.end());
    ASSERT_EQ(kit::MessageCodec::decode(changed), Message::unknown("teleport"));
    drain();
    phone.deskScript->deliver(kit::Framing::frame(changed));
  }
  phone.channel->sendWithoutWaiting(Message::media({kit::MediaAction::volumeUp}));
  phone.channel->sendWithoutWaiting(Message::missionControl({kit::MissionControlAction("nonsense")}));
  phone.channel->sendWithoutWaiting(Message::screenStart({}));
  phone.channel->sendWithoutWaiting(Message::clipboard({kit::ClipboardContent{"hi", std::nullopt, false}}));
  drain();
  ASSERT_TRUE(model->input.waitIdle(2s));

  EXPECT_EQ(phone.inbox->count(MessageType::pong), 1u);
  EXPECT_TRUE(phone.inbox->has(Message::pong({7, 12.5})));
  // Refused requests are answered, not ignored.
  auto tail = std::vector<Message>(phone.inbox->messages.end() - 3, phone.inbox->messages.end());
  EXPECT_EQ(tail, (std::vector<Message>{Message::error({kit::ErrorCode::shortcutDisabled, std::string("nonsense")}),
                                        Message::error({kit::ErrorCode::screenViewingDisabled, std::nullopt}),
                                        Message::error({kit::ErrorCode::clipboardSharingDisabled, std::nullopt})}));
  EXPECT_EQ(log->count("Unexpected message welcome in session"), 1u);
  EXPECT_EQ(log->count("Ignoring unknown message type teleport"), 1u);
  EXPECT_EQ(commands.media.size(), 2u);  // press and release

  // The key's down and up come before the text.
  auto events = input.events();
  auto firstText = std::find_if(events.begin(), events.end(),
                                [](const auto& e) { return std::holds_alternative<platform::TextEvent>(e); });
  ASSERT_NE(firstText, events.end());
  ASSERT_NE(firstText, events.begin());
  EXPECT_TRUE(std::holds_alternative<platform::KeyEvent>(*(firstText - 1)));
  ASSERT_TRUE(server().session());  // none of this ended the session

  phone.channel->sendWithoutWaiting(Message::bye({kit::ByeReason::backgrounded}));
  drain();
  EXPECT_EQ(log->count("iPhone ended the session: backgrounded"), 1u);
  EXPECT_FALSE(server().session());
}

TEST_F(ServerTest, TenSilentSecondsEndTheSession) {
  startListening();
  auto phone = connect(addPhone("Ada"));
  ASSERT_TRUE(server().session());
  advance(9s);
  phone.channel->sendWithoutWaiting(Message::ping({1, 0}));
  drain();
  advance(9s);
  EXPECT_TRUE(server().session());  // the ping started a new ten seconds
  advance(1s);
  EXPECT_FALSE(server().session());
  EXPECT_TRUE(log->contains("Session closed: "));
  EXPECT_EQ(log->count("Session ended with Ada"), 1u);
  EXPECT_FALSE(server().holdsActivity());
  EXPECT_EQ(fastSessions(), 0u);
}

TEST_F(ServerTest, PairingIdentityGoesToThePairingControllerWithoutTouchingTheSession) {
  startListening();
  auto phoneA = connect(addPhone("Ada"));
  pairing().start();
  drain();
  auto key = kit::KeyDerivation::pairingPSK(*pairing().payload());
  auto newcomer = connect(kit::PeerIdentity::pairing(pairing().payload()->pairingID), key, "Newcomer");
  ASSERT_TRUE(newcomer.welcomed());
  EXPECT_EQ(server().session()->device().name, "Ada");
  EXPECT_EQ(phoneA.inbox->count(MessageType::bye), 0u);
  newcomer.channel->cancel();  // the phone walks away; the exchange ends
  drain();
}

TEST_F(ServerTest, UnauthenticatedPeersAreBoundedInNumberTimeAndBytes) {
  startListening();
  auto outside = kit::MemoryConnection::make({.remote = kit::Endpoint::hostPort("203.0.113.7", 1)});
  listener().connect(std::move(outside.first));
  EXPECT_EQ(log->count("Rejected connection from outside the local network: 203.0.113.7:1"), 1u);

  // Stalled in TLS: four from one address are kept; the fifth pushes out the oldest.
  std::vector<std::shared_ptr<kit::MemoryScript>> stalled;
  for (int i = 0; i < 5; ++i) {
    auto [connection, script] = kit::MemoryConnection::make({.readyOnStart = false});
    stalled.push_back(script);
    listener().connect(std::move(connection));
  }
  drain();
  EXPECT_EQ(server().pendingConnections(), 4u);
  EXPECT_TRUE(stalled[0]->isCancelled());
  EXPECT_TRUE(stalled[4]->isStarted());
  EXPECT_FALSE(stalled[1]->isCancelled());

  // Another address has places of its own; in all, the oldest of any address makes way.
  std::vector<std::shared_ptr<kit::MemoryScript>> others;
  for (std::size_t i = 0; i < Server::maxPending; ++i) {
    auto [other, script] = kit::MemoryConnection::make(
        {.readyOnStart = false, .remote = kit::Endpoint::hostPort("127.0.0." + std::to_string(2 + i), 9)});
    others.push_back(script);
    listener().connect(std::move(other));
  }
  drain();
  EXPECT_EQ(server().pendingConnections(), Server::maxPending);
  EXPECT_TRUE(stalled[1]->isCancelled());  // the oldest overall
  EXPECT_FALSE(others.front()->isCancelled());

  advance(10s);
  EXPECT_EQ(server().pendingConnections(), 0u);
  EXPECT_EQ(log->count("TLS not established: " + std::string(kit::ChannelError::timedOut().what())), Server::maxPending);
  // The evicted ones ended at once, not with the time limit.
  EXPECT_EQ(log->count("TLS not established: " + std::string(kit::ChannelError::closed().what())), 5u);

  // A peer that never says hello but streams a huge frame is cut off early.
  auto [flooder, flood] = kit::MemoryConnection::make({.exporter = [](std::string_view, std::size_t n) {
    return std::optional<kit::Bytes>(kit::Bytes(n, 1));
  }});
  listener().connect(std::move(flooder));
  drain();
  std::uint8_t header[4];
  kit::Framing::writeHeader(1'000'000, header);
  flood->deliver(kit::Bytes(header, header + 4));
  for (int i = 0; i < 20 && !flood->isCancelled(); ++i) {
    flood->deliver(kit::Bytes(16'384, 0));
    drain();
  }
  EXPECT_TRUE(flood->isCancelled());
  EXPECT_TRUE(log->contains("Connection rejected: Too much data before authentication"));
  EXPECT_LE(flood->largestReadRequest(), Server::preAuthenticationBytes);
}

// Stalled handshakes from the phone's own address (a NAT, a hostile host on
// the LAN) cannot keep the phone out: they push each other out, and the
// phone's quick set-up gets through.
TEST_F(ServerTest, StalledHandshakesFromThePhonesAddressCannotKeepItOut) {
  startListening();
  auto a = addPhone("Ada");
  drain();
  std::vector<std::shared_ptr<kit::MemoryScript>> stalled;
  for (int i = 0; i < 50; ++i) {
    auto [connection, script] = kit::MemoryConnection::make({.readyOnStart = false});
    stalled.push_back(script);
    listener().connect(std::move(connection));
  }
  drain();
  EXPECT_EQ(server().pendingConnections(), Server::maxPendingPerHost);
  ASSERT_TRUE(connect(a).welcomed());
  ASSERT_TRUE(server().session());
  advance(10s);
  EXPECT_EQ(server().pendingConnections(), 0u);
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
    drain();
    auto phone = connect(a);
    ASSERT_TRUE(server().session());
    ASSERT_EQ(fastSessions(), 1u);
    phone.channel->sendWithoutWaiting(Message::mouseButton({kit::MouseButton::left, Action::down}));
    drain();
    phone.deskScript->stallWrites();  // the desktop's sends now never complete
    std::optional<test::Phone> newcomer;
    if (replaced) {
      auto b = addPhone("Bob");
      drain();
      newcomer = connect(b);
    } else {
      server().revoke(a.id);
    }
    // Decided: the fast keys and the held button go before any bye is out.
    EXPECT_EQ(fastSessions(), replaced ? 1u : 0u);
    phone.channel->sendWithoutWaiting(Message::mouseButton({kit::MouseButton::right, Action::click}));
    drain();
    ASSERT_TRUE(model->input.waitIdle(2s));
    auto events = input.takeEvents();
    EXPECT_EQ(mouseEvents(events, platform::MouseEventType::leftUp), 1u);
    EXPECT_EQ(mouseEvents(events, platform::MouseEventType::rightDown), 0u);
    EXPECT_FALSE(phone.script->isCancelled());
    advance(kit::MessageChannel::closeLimit);
    EXPECT_TRUE(phone.deskScript->isCancelled());
    EXPECT_EQ(log->count("Session ended with Ada"), static_cast<std::size_t>(replaced + 1));
    if (newcomer) {
      EXPECT_EQ(server().session()->device().name, "Bob");
      newcomer->channel->cancel();
      drain();
    }
    for (const auto& d : std::vector<kit::PairedDevice>(model->registry.devices())) {
      model->registry.remove(d.id, [](std::exception_ptr e) { EXPECT_FALSE(e); });
    }
    settle();
  }
}

// A failure inside the handling of a message ends the session the ordinary
// way: logged, torn down, and reported to the server.
TEST_F(ServerTest, AFailingHandlerEndsTheSessionThroughItsTeardown) {
  startListening();
  auto phone = connect(addPhone("Ada"));
  phone.channel->sendWithoutWaiting(Message::mouseButton({kit::MouseButton::left, Action::down}));
  commands.shortcutFailure = "settings daemon gone";
  phone.channel->sendWithoutWaiting(Message::missionControl({kit::MissionControlAction("showDesktop")}));
  drain();
  ASSERT_TRUE(model->input.waitIdle(2s));
  EXPECT_FALSE(server().session());
  EXPECT_FALSE(server().holdsActivity());
  EXPECT_EQ(log->count("Session closed after a failure handling missionControl: settings daemon gone"), 1u);
  EXPECT_EQ(log->count("Session ended with Ada"), 1u);
  EXPECT_EQ(fastSessions(), 0u);
  EXPECT_TRUE(phone.inbox->ended);
  auto events = input.takeEvents();
  ASSERT_FALSE(events.empty());
  auto last = std::get_if<platform::MouseEvent>(&events.back());
  ASSERT_TRUE(last);
  EXPECT_EQ(last->type, platform::MouseEventType::leftUp);
}

}  // namespace
}  // namespace tillerpad::host
