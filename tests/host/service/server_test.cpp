// The server over scripted listeners and in-memory phones. Pairing, a
// session's input and a revoked phone's refusal over real TLS are in
// tests/e2e/headless_test.sh; floods of connections in tests/e2e/robustness_test.sh.
#include "host/service/server.h"

#include <gtest/gtest.h>

#include "kit/pairing/key_derivation.h"
#include "kit/wire/framing.h"
#include "kit/wire/message_codec.h"
#include "tests/support/desktop_harness.h"
#include "tests/support/test_bytes.h"

namespace tillerpad::host {
namespace {

using namespace std::chrono_literals;
using kit::Message, kit::MessageType;
using Action = kit::MouseButtonEvent::Action;
using T = platform::MouseEventType;

class ServerTest : public ::testing::Test, public test::Desktop {
 protected:
  // The mouse events the injector has applied since the last call.
  std::vector<T> takeMouseEvents() {
    std::vector<T> out;
    for (const auto& e : input.takeEvents()) {
      if (auto m = std::get_if<platform::MouseEvent>(&e)) out.push_back(m->type);
    }
    return out;
  }
  test::ScriptedListener& listener() { return *listeners.back(); }
  PairingController& pairing() { return *model->pairing; }
};

TEST_F(ServerTest, KeySetFollowsPhonesAndTheCodeWithOneCancelPerBurst) {
  startListening();
  EXPECT_TRUE(server().fastPort());
  ASSERT_TRUE(advertiser.current);
  EXPECT_EQ(advertiser.current->port, 4000);

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
  advance(13s);
  EXPECT_EQ(listenersCreated, 3);
  failListenerCreation = false;
  addPhone("A");
  EXPECT_EQ(listenersCreated, 4);
  EXPECT_EQ(listener().keys, 1u);
}

// The keyring may take long, or fail: the revoked phone's session ends at
// once either way, and a failed removal is reported.
TEST_F(ServerTest, RevokeEndsOnlyThatPhonesSessionAtOnceAndDropsItsKey) {
  startListening();
  auto a = addPhone("Ada");
  auto b = addPhone("Bob");
  drain();
  auto phoneA = connect(a);
  server().revoke(b.id);  // not connected: only the key set changes
  settle();
  EXPECT_EQ(server().session()->device().name, "Ada");
  EXPECT_EQ(listener().keys, 1u);

  store->hold();
  server().revoke(a.id);
  drain();
  EXPECT_FALSE(server().session());
  EXPECT_EQ(phoneA.inbox->messages.back(), Message::bye({kit::ByeReason::revoked}));
  // The removal is still with the keyring (it reaches the gate on the keyring's own thread).
  EXPECT_TRUE(runUntil([this] { return store->isHolding(); }, 5s));
  store->release();
  settle();
  EXPECT_EQ(listener().keys, 0u);

  auto phoneC = connect(addPhone("Cy"));
  store->failChanges(true);
  server().revoke(model->registry.devices()[0].id);
  drain();
  EXPECT_FALSE(server().session());
  settle();
  EXPECT_EQ(log->count("Could not remove device: Keychain error -2: the keyring stayed locked"), 1u);
  EXPECT_EQ(model->registry.devices().size(), 1u);
}

// (The pong: tests/e2e/headless_test.sh; the clipboard's refusal: ClipboardSessionTest.)
TEST_F(ServerTest, SessionAnswersRefusalsAndSkipsWhatItDoesNotKnow) {
  startListening();
  auto phone = connect(addPhone("Ada"));
  phone.channel->sendWithoutWaiting(Message::welcome({}));
  drain();
  // A type this desktop does not know, as a newer phone would send it.
  phone.deskScript->deliver(kit::Framing::frame(kit::testing::payload(R"({"type":"teleport"})")));
  phone.channel->sendWithoutWaiting(Message::missionControl({kit::MissionControlAction("nonsense")}));
  drain();
  EXPECT_EQ(phone.inbox->messages.back(), Message::error({kit::ErrorCode::shortcutDisabled, std::string("nonsense")}));
  EXPECT_EQ(log->count("Unexpected message welcome in session"), 1u);
  EXPECT_EQ(log->count("Ignoring unknown message type teleport"), 1u);
  EXPECT_TRUE(server().session());  // none of this ended the session
}

// However a session ends by itself, everything it held goes with it: the
// pressed button, its fast keys, the activity.
TEST_F(ServerTest, EveryWayASessionEndsReleasesWhatItHeld) {
  const struct {
    const char* name;
    std::function<void(test::Phone&)> end;
    const char* logged;
  } cases[] = {
      {"a failing handler",
       [this](test::Phone& p) {
         commands.shortcutFailure = "settings daemon gone";
         p.channel->sendWithoutWaiting(Message::missionControl({kit::MissionControlAction("showDesktop")}));
         drain();
       },
       "Session closed after a failure handling missionControl: settings daemon gone"},
      {"ten silent seconds",
       [this](test::Phone& p) {
         advance(9s);
         p.channel->sendWithoutWaiting(Message::ping({1, 0}));
         drain();
         advance(9s);
         EXPECT_TRUE(server().session());  // the ping started a new ten seconds
         advance(1s);
       },
       "Session closed: "},
      {"the phone's bye", [](test::Phone& p) { p.channel->sendWithoutWaiting(Message::bye({kit::ByeReason::backgrounded})); },
       "iPhone ended the session: backgrounded"},
  };
  startListening();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto phone = connect(addPhone(c.name));
    phone.channel->sendWithoutWaiting(Message::mouseButton({kit::MouseButton::left, Action::down}));
    drain();
    c.end(phone);
    drain();
    ASSERT_TRUE(model->input.waitIdle(2s));
    EXPECT_FALSE(server().session());
    EXPECT_FALSE(server().holdsActivity());
    EXPECT_TRUE(log->contains(c.logged));
    EXPECT_EQ(log->count("Session ended with " + std::string(c.name)), 1u);
    EXPECT_EQ(fastSessions(), 0u);
    EXPECT_EQ(takeMouseEvents(), (std::vector{T::leftDown, T::leftUp}));
  }
}

TEST_F(ServerTest, PairingIdentityGoesToThePairingControllerWithoutTouchingTheSession) {
  startListening();
  auto phoneA = connect(addPhone("Ada"));
  pairing().start();
  drain();
  auto newcomer = connect(kit::PeerIdentity::pairing(pairing().payload()->pairingID),
                          kit::KeyDerivation::pairingPSK(*pairing().payload()), "Newcomer");
  ASSERT_TRUE(newcomer.welcomed());
  EXPECT_EQ(server().session()->device().name, "Ada");
  EXPECT_EQ(phoneA.inbox->count(MessageType::bye), 0u);
  newcomer.channel->cancel();  // the phone walks away; the exchange ends
  drain();
}

TEST_F(ServerTest, UnauthenticatedPeersAreBoundedInNumberTimeAndBytes) {
  startListening();
  listener().connect(kit::MemoryConnection::make({.remote = kit::Endpoint::hostPort("203.0.113.7", 1)}).first);
  EXPECT_EQ(log->count("Rejected connection from outside the local network: 203.0.113.7:1"), 1u);

  // Stalled in TLS: four from one address are kept; the fifth pushes out the oldest.
  auto stall = [&](std::string host) {
    auto [connection, script] = kit::MemoryConnection::make({.readyOnStart = false, .remote = kit::Endpoint::hostPort(host, 9)});
    listener().connect(std::move(connection));
    return script;
  };
  std::vector<std::shared_ptr<kit::MemoryScript>> stalled, others;
  for (int i = 0; i < 5; ++i) stalled.push_back(stall("127.0.0.1"));
  drain();
  EXPECT_EQ(server().pendingConnections(), 4u);
  EXPECT_TRUE(stalled[0]->isCancelled());
  EXPECT_FALSE(stalled[1]->isCancelled());

  // Another address has places of its own; in all, the oldest of any address makes way.
  for (std::size_t i = 0; i < Server::maxPending; ++i) others.push_back(stall("127.0.0." + std::to_string(2 + i)));
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
  auto [flooder, flood] =
      kit::MemoryConnection::make({.exporter = [](auto, std::size_t n) { return std::optional(kit::Bytes(n, 1)); }});
  listener().connect(std::move(flooder));
  drain();
  flood->deliver({0x00, 0x0F, 0x42, 0x40});  // a frame of 1,000,000 bytes
  for (int i = 0; i < 20 && !flood->isCancelled(); ++i) {
    flood->deliver(kit::Bytes(16'384, 0));
    drain();
  }
  EXPECT_TRUE(flood->isCancelled());
  EXPECT_TRUE(log->contains("Connection rejected: Too much data before authentication"));
  EXPECT_LE(flood->largestReadRequest(), Server::preAuthenticationBytes);
}

// A phone that sends but never reads is let go of at once when the desktop
// ends its session: its input stops, its fast keys go, and the connection
// ends within the bye's time limit even though the bye never leaves.
TEST_F(ServerTest, APhoneThatNeverReadsLosesControlAtOnceWhenRevokedOrReplaced) {
  for (int replaced = 0; replaced < 2; ++replaced) {
    SCOPED_TRACE(replaced ? "replaced" : "revoked");
    startListening();
    auto a = addPhone("Ada");
    auto phone = connect(a);
    ASSERT_TRUE(phone.welcomed());
    EXPECT_EQ(phone.welcome->value->fastPort, server().fastPort());
    ASSERT_EQ(fastSessions(), 1u);
    // The welcome waited for the opening messages: all three came in one write.
    EXPECT_EQ(phone.deskScript->writes().size(), 1u);
    EXPECT_EQ(phone.inbox->count(kit::MessageType::permissionStatus), 1u);
    EXPECT_EQ(phone.inbox->count(kit::MessageType::sharingSettings), 1u);
    phone.channel->sendWithoutWaiting(Message::mouseButton({kit::MouseButton::left, Action::down}));
    drain();
    phone.deskScript->stallWrites();  // the desktop's sends now never complete
    std::optional<test::Phone> newcomer;
    if (replaced) newcomer = connect(addPhone("Bob"));
    if (!replaced) server().revoke(a.id);
    // Decided: the fast keys and the held button go before any bye is out.
    EXPECT_EQ(fastSessions(), replaced ? 1u : 0u);
    EXPECT_EQ(server().holdsActivity(), replaced == 1);
    phone.channel->sendWithoutWaiting(Message::mouseButton({kit::MouseButton::right, Action::click}));
    drain();
    ASSERT_TRUE(model->input.waitIdle(2s));
    EXPECT_EQ(takeMouseEvents(), (std::vector{T::leftDown, T::leftUp}));  // the right click came too late
    EXPECT_FALSE(phone.script->isCancelled());
    advance(kit::MessageChannel::closeLimit);
    EXPECT_TRUE(phone.deskScript->isCancelled());
    EXPECT_EQ(log->count("Session ended with Ada"), static_cast<std::size_t>(replaced + 1));
    if (newcomer) {
      EXPECT_EQ(server().session()->device().name, "Bob");
      newcomer->channel->cancel();
      drain();
    }
    settle();
  }
}

}  // namespace
}  // namespace tillerpad::host
