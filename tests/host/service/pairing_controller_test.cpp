#include "host/service/pairing_controller.h"

#include <gtest/gtest.h>

#include <asio/post.hpp>

#include <algorithm>

#include "kit/pairing/handshake.h"
#include "kit/pairing/pairing_flow.h"
#include "kit/transport/memory_connection.h"
#include "kit/transport/message_channel.h"
#include "tests/support/desktop_harness.h"

namespace tillerpad::host {
namespace {

using namespace std::chrono_literals;
using kit::testing::spawn;
using Phase = PairingController::Phase;

const kit::DeviceInfo kPhone{"Ada's phone", "Phone 15", "18.1", "2.0"};

class PairingControllerTest : public ::testing::Test, public test::Desktop {
 protected:
  void SetUp() override {
    controller_->onKeysChanged = [this] { ++keyChanges_; };
    controller_->onPhaseChange = [this](const Phase& p) { phases_.push_back(p); };
  }

  // A phone that scanned the current code, connected and proved it: runs the
  // desktop's handshake with the controller's claim, then its pairing.
  void phoneArrives() {
    auto pair = kit::MemoryConnection::pair();
    deskScript_ = pair.scriptB;
    phone_ = kit::MessageChannel::create(io.get_executor(), std::move(pair.a), "app.tillerpad.channel", clock);
    desk_ = kit::MessageChannel::create(io.get_executor(), std::move(pair.b), "app.tillerpad.channel", clock);
    spawn(io, phone_->open(10s));
    spawn(io, desk_->open(10s));
    phoneSide_ = spawn(io, kit::PairingFlow::pair(phone_, *controller_->payload(), kPhone));
    auto hello = spawn(io, kit::Handshake::accept(desk_, {kit::ProtocolVersion::current, model->identity.id, "Desk", "1", std::nullopt},
                                                  [this](const kit::PeerIdentity& id) { return controller_->claim(id.id()); }));
    drain();
    ASSERT_TRUE(hello->done && !hello->error);
    deskSide_ = spawn(io, controller_->pair(desk_, *hello->value));
    drain();
  }

  bool isAwaitingApproval() const { return std::holds_alternative<PairingController::AwaitingApproval>(controller_->phase()); }

  std::shared_ptr<PairingController> controller_ = model->pairing;
  int keyChanges_ = 0;
  std::vector<Phase> phases_;
  std::shared_ptr<kit::MessageChannel> phone_, desk_;
  std::shared_ptr<kit::MemoryScript> deskScript_;
  std::shared_ptr<kit::testing::Outcome<kit::PairedMac>> phoneSide_;
  std::shared_ptr<kit::testing::Outcome<kit::testing::Unit>> deskSide_;
};

// Only the current code opens a pairing, and only once.
TEST_F(PairingControllerTest, ACodeIsClaimedOnceAndOthersAreDroppedSilently) {
  controller_->start();
  kit::Uuid id = controller_->payload()->pairingID;
  EXPECT_FALSE(controller_->claim(kit::Uuid::random()));
  EXPECT_TRUE(controller_->claim(id));
  EXPECT_FALSE(controller_->claim(id));
  EXPECT_FALSE(controller_->pendingKey());
  EXPECT_EQ(keyChanges_, 1);  // claiming is no key change

  auto [connection, script] = kit::MemoryConnection::make({});
  auto channel = kit::MessageChannel::create(io.get_executor(), std::move(connection), "app.tillerpad.channel", clock);
  kit::Hello stranger{kit::ProtocolVersion::current, kit::PeerIdentity::pairing(kit::Uuid::random()), {}, kPhone};
  auto done = spawn(io, controller_->pair(channel, stranger));
  drain();
  EXPECT_TRUE(done->done);
  EXPECT_TRUE(script->isCancelled());
  EXPECT_TRUE(phases_.empty());
  controller_->start();  // a new code is offered again
  EXPECT_TRUE(controller_->pendingKey());
}

// The keyring may take its time: the service thread goes on meanwhile, and
// the phone is paired once its record is stored.
TEST_F(PairingControllerTest, AllowedPhoneIsStoredAndTheConnectionEndsWithinFiveSeconds) {
  controller_->start();
  advance(250s);
  phoneArrives();
  ASSERT_TRUE(isAwaitingApproval());
  advance(100s);  // past the code's expiry, within the phone's patience
  EXPECT_TRUE(isAwaitingApproval());

  store->hold();
  controller_->resolve(true);
  ASSERT_TRUE(runUntil([&] { return store->isHolding(); }));
  int ran = 0;
  asio::post(io, [&] { ++ran; });
  auto timer = clock->schedule(io.get_executor(), 1s, [&] { ++ran; });
  advance(1s);
  EXPECT_EQ(ran, 2);
  EXPECT_TRUE(isAwaitingApproval());
  EXPECT_FALSE(phoneSide_->done);

  store->release();
  ASSERT_TRUE(runUntil([&] { return phoneSide_->done && !isAwaitingApproval(); }));
  ASSERT_FALSE(phoneSide_->error);
  EXPECT_EQ(controller_->phase(), Phase(PairingController::Paired{"Ada's phone"}));
  ASSERT_EQ(model->registry.devices().size(), 1u);
  EXPECT_EQ(model->registry.devices()[0].keyData, phoneSide_->value->keyData);
  drain();  // the linger's time-out starts on the channel's strand
  EXPECT_FALSE(deskSide_->done);  // lingers for the phone to close
  advance(5s);
  EXPECT_TRUE(deskSide_->done);
  EXPECT_TRUE(deskScript_->isCancelled());
}

// However an asked pairing ends without a yes, the phone hears why at once
// and nothing is stored. (Denying from the terminal: tests/host/app/headless_test.cpp.)
TEST_F(PairingControllerTest, AQuestionEndedOtherwiseStoresNothingAndSaysWhy) {
  using Failure = PairingController::Failure;
  // What the phone hears (none: it left) and the error line (none: no line).
  struct Case { const char* name; std::function<void()> end; Failure failure;
                std::optional<kit::PairingRejection> phoneHears; const char* logged; };
  const Case cases[] = {
      {"the window closes", [this] { controller_->stop(); }, Failure::denied, kit::PairingRejection::denied, nullptr},
      {"the phone leaves", [this] { phone_->cancel(); }, Failure::interrupted, std::nullopt, "Pairing failed: "},
      {"the keyring fails", [this] { store->failChanges(true); controller_->resolve(true); }, Failure::interrupted,
       kit::PairingRejection::failed, "Pairing failed: Keychain error -2: the keyring stayed locked"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    controller_->start();
    phoneArrives();
    ASSERT_TRUE(isAwaitingApproval());
    c.end();
    ASSERT_TRUE(runUntil([&] { return deskSide_->done && (!c.phoneHears || phoneSide_->done); }));
    EXPECT_EQ(controller_->phase(), Phase(PairingController::Failed{c.failure}));
    if (c.phoneHears) EXPECT_EQ(phoneSide_->errorAs<kit::PairingError>(), kit::PairingError::rejected(*c.phoneHears));
    EXPECT_EQ(log->contains(c.logged ? c.logged : "Pairing failed"), c.logged != nullptr);
    controller_->resolve(true);  // too late: nothing is asked any more
    drain();
    EXPECT_TRUE(model->registry.devices().empty());
  }
}

TEST_F(PairingControllerTest, ANewCodeDuringTheQuestionStaysShownAndExpiresOnTime) {
  controller_->start();
  phoneArrives();
  ASSERT_TRUE(isAwaitingApproval());
  auto old = controller_->payload()->pairingID;

  controller_->start();  // e.g. "pair" typed again
  drain();
  ASSERT_TRUE(phoneSide_->done);  // the old attempt is denied...
  EXPECT_EQ(phoneSide_->errorAs<kit::PairingError>(), kit::PairingError::rejected(kit::PairingRejection::denied));
  ASSERT_TRUE(deskSide_->done);
  // ...without its outcome showing over the new code
  EXPECT_EQ(controller_->phase(), Phase(PairingController::ShowingCode{}));
  ASSERT_TRUE(controller_->payload());
  EXPECT_NE(controller_->payload()->pairingID, old);
  EXPECT_TRUE(controller_->pendingKey());
  EXPECT_FALSE(std::count(phases_.begin(), phases_.end(), Phase(PairingController::Failed{PairingController::Failure::denied})));

  advance(300s);
  EXPECT_EQ(controller_->phase(), Phase(PairingController::Failed{PairingController::Failure::expired}));
  EXPECT_FALSE(controller_->pendingKey());
}

}  // namespace
}  // namespace tillerpad::host
