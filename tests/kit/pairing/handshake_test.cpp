// Both halves of the handshake and of pairing over in-memory connected pairs
// with time moved by hand; real TLS runs are in tests/host/app/headless_test.cpp.
#include "kit/pairing/handshake.h"

#include <gtest/gtest.h>

#include <asio/experimental/as_tuple.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <map>

#include "kit/pairing/key_derivation.h"
#include "kit/pairing/pairing_flow.h"
#include "kit/transport/channel_error.h"
#include "kit/transport/memory_connection.h"
#include "kit/transport/message_channel.h"
#include "kit/wire/message_codec.h"
#include "tests/kit/transport/async_test.h"

namespace tillerpad::kit {
namespace {

using namespace std::chrono_literals;
using testing::drain;
using testing::spawn;

const Uuid kMacID = *Uuid::parse("6F9619FF-8B86-D011-B42D-00C04FC964FF");
const Uuid kDeviceID = *Uuid::parse("00000000-0000-4000-8000-000000000001");
const DeviceInfo kPhone{"Ada's phone", "Phone 15", "18.1", "2.0"};

SymmetricKey keyOf(std::uint8_t fill) {
  SymmetricKey::Storage bytes;
  bytes.fill(fill);
  return SymmetricKey(bytes);
}

Welcome welcomeFrom(Uuid macID) { return Welcome{ProtocolVersion::current, macID, "Desk", "1.0", 40000}; }

class HandshakeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto pair = MemoryConnection::pair();
    phoneScript_ = pair.scriptA;
    deskScript_ = pair.scriptB;
    phone_ = MessageChannel::create(io_.get_executor(), std::move(pair.a), "app.tillerpad.channel", clock_);
    desk_ = MessageChannel::create(io_.get_executor(), std::move(pair.b), "app.tillerpad.channel", clock_);
    auto a = spawn(io_, phone_->open(10s));
    auto b = spawn(io_, desk_->open(10s));
    drain(io_);
    ASSERT_TRUE(a->done && !a->error && b->done && !b->error);
  }

  // Ends whatever still waits (a phone waiting for its result, say), so that
  // no coroutine outlives the test holding its channel.
  void TearDown() override {
    if (phone_) phone_->cancel();
    if (desk_) desk_->cancel();
    drain(io_);
  }

  // What the phone received, in order, as messages.
  std::vector<Message> receivedByPhone() {
    std::vector<Message> out;
    for (const auto& chunk : deskScript_->writes()) {
      FrameDecoder decoder;
      decoder.append(chunk);
      while (auto payload = decoder.next()) out.push_back(MessageCodec::decode(*payload));
    }
    return out;
  }

  Handshake::KeyForIdentity keys(std::map<std::string, SymmetricKey> byIdentity) {
    return [byIdentity](const PeerIdentity& id) -> std::optional<SymmetricKey> {
      auto it = byIdentity.find(id.text());
      if (it == byIdentity.end()) return std::nullopt;
      return it->second;
    };
  }

  // A hello the phone sends by hand, for cases connect() never produces.
  void sendHello(ProtocolVersion version, PeerIdentity identity, const SymmetricKey& key, Bytes binding = {}) {
    if (binding.empty()) {
      auto exported = spawn(io_, phone_->exportKeyingMaterial(std::string(KeyDerivation::helloExporterLabel), 32));
      drain(io_);
      binding = **exported->value;
    }
    Bytes proof = KeyDerivation::helloProof(key, binding, identity);
    spawn(io_, phone_->send(Message::hello({version, identity, proof, kPhone})));
    drain(io_);
  }

  asio::io_context io_;
  std::shared_ptr<ManualClock> clock_ = std::make_shared<ManualClock>();
  std::shared_ptr<MessageChannel> phone_, desk_;
  std::shared_ptr<MemoryScript> phoneScript_, deskScript_;
};

TEST_F(HandshakeTest, ProvenHelloGetsTheWelcome) {
  auto welcome = spawn(io_, Handshake::connect(phone_, PeerIdentity::device(kDeviceID), keyOf(1), kPhone));
  auto hello = spawn(io_, Handshake::accept(desk_, welcomeFrom(kMacID), keys({{"d:" + kDeviceID.text(), keyOf(1)}})));
  drain(io_);
  ASSERT_TRUE(hello->done && !hello->error);
  EXPECT_EQ(hello->value->identity, PeerIdentity::device(kDeviceID));
  EXPECT_EQ(hello->value->device, kPhone);
  ASSERT_TRUE(welcome->done && !welcome->error);
  EXPECT_EQ(*welcome->value, welcomeFrom(kMacID));
}

TEST_F(HandshakeTest, MinorVersionsDifferFreelyMajorOnesDoNot) {
  auto key = keyOf(1);
  auto accepting = [&] { return spawn(io_, Handshake::accept(desk_, welcomeFrom(kMacID), keys({{"d:" + kDeviceID.text(), key}}))); };
  auto newer = accepting();
  sendHello({1, 9}, PeerIdentity::device(kDeviceID), key);
  EXPECT_TRUE(newer->done && !newer->error);

  auto older = accepting();
  sendHello({2, 0}, PeerIdentity::device(kDeviceID), key);
  ASSERT_TRUE(older->done);
  EXPECT_EQ(older->errorAs<HandshakeError>(), HandshakeError::incompatibleVersion({2, 0}));
  auto sent = receivedByPhone();
  ASSERT_EQ(sent.size(), 2u);  // the first welcome, then the error
  EXPECT_EQ(sent[1], Message::error({ErrorCode::incompatibleVersion, "Mac speaks protocol 1.5"}));
}

TEST_F(HandshakeTest, RefusalsAreAnsweredWithTheirCode) {
  struct Case {
    const char* name;
    std::function<void()> phoneSends;
    HandshakeError expected;
    ErrorCode code;
  };
  const PeerIdentity device = PeerIdentity::device(kDeviceID);
  const PeerIdentity pairing = PeerIdentity::pairing(kDeviceID);
  const std::vector<Case> cases = {
      {"ping first", [&] { spawn(io_, phone_->send(Message::ping({1, 0}))); drain(io_); },
       HandshakeError::unexpectedMessage("ping"), ErrorCode::unexpectedMessage},
      {"proof from another session", [&] { sendHello(ProtocolVersion::current, device, keyOf(1), Bytes(32, 0xEE)); },
       HandshakeError::authenticationFailed(), ErrorCode::authenticationFailed},
      {"device identity proved with the pairing key", [&] { sendHello(ProtocolVersion::current, device, keyOf(2)); },
       HandshakeError::authenticationFailed(), ErrorCode::authenticationFailed},
      {"identity with no key", [&] { sendHello(ProtocolVersion::current, PeerIdentity::device(kMacID), keyOf(1)); },
       HandshakeError::authenticationFailed(), ErrorCode::authenticationFailed},
  };
  std::size_t replies = 0;
  for (const auto& c : cases) {
    auto accepted = spawn(io_, Handshake::accept(desk_, welcomeFrom(kMacID),
                                                 keys({{device.text(), keyOf(1)}, {pairing.text(), keyOf(2)}})));
    c.phoneSends();
    ASSERT_TRUE(accepted->done) << c.name;
    EXPECT_EQ(accepted->errorAs<HandshakeError>(), c.expected) << c.name;
    auto sent = receivedByPhone();
    ASSERT_EQ(sent.size(), ++replies) << c.name;
    EXPECT_EQ(sent.back(), Message::error({c.code, std::nullopt})) << c.name;
  }
}

TEST_F(HandshakeTest, PhoneTurnsErrorsIntoRejections) {
  auto welcome = spawn(io_, Handshake::connect(phone_, PeerIdentity::device(kDeviceID), keyOf(1), kPhone));
  spawn(io_, desk_->send(Message::error({ErrorCode::authenticationFailed, std::nullopt})));
  drain(io_);
  EXPECT_EQ(welcome->errorAs<HandshakeError>(), HandshakeError::rejected(ErrorCode::authenticationFailed));

  auto again = spawn(io_, Handshake::connect(phone_, PeerIdentity::device(kDeviceID), keyOf(1), kPhone));
  spawn(io_, desk_->send(Message::welcome({{2, 1}, kMacID, "Desk", "9", std::nullopt})));
  drain(io_);
  EXPECT_EQ(again->errorAs<HandshakeError>(), HandshakeError::incompatibleVersion({2, 1}));
}

TEST_F(HandshakeTest, SilenceTimesOutAndSendsNothing) {
  auto accepted = spawn(io_, Handshake::accept(desk_, welcomeFrom(kMacID), keys({})));
  drain(io_);
  clock_->advance(4900ms);
  drain(io_);
  EXPECT_FALSE(accepted->done);
  clock_->advance(100ms);
  drain(io_);
  ASSERT_TRUE(accepted->done);
  EXPECT_EQ(accepted->errorAs<ChannelError>(), ChannelError::timedOut());
  EXPECT_TRUE(receivedByPhone().empty());
}

TEST(HandshakeWithoutBinding, PhoneSendsNothing) {
  asio::io_context io;
  auto clock = std::make_shared<ManualClock>();
  auto [connection, script] = MemoryConnection::make({});  // no exporter: no TLS session
  auto channel = MessageChannel::create(io.get_executor(), std::move(connection), "app.tillerpad.channel", clock);
  spawn(io, channel->open(10s));
  auto welcome = spawn(io, Handshake::connect(channel, PeerIdentity::device(kDeviceID), keyOf(1), kPhone));
  drain(io);
  EXPECT_EQ(welcome->errorAs<HandshakeError>(), HandshakeError::noChannelBinding());
  EXPECT_TRUE(script->writes().empty());
}

// ---- pairing

class PairingFlowTest : public HandshakeTest {
 protected:
  PairingPayload payload_ = PairingPayload::make(kMacID, std::chrono::system_clock::now(), std::chrono::seconds(300));

  // Runs the desktop's handshake and returns once the phone has its welcome.
  void handshake(Uuid macID = kMacID) {
    auto key = KeyDerivation::pairingPSK(payload_);
    phoneSide_ = spawn(io_, PairingFlow::pair(phone_, payload_, kPhone));
    auto hello = spawn(io_, Handshake::accept(desk_, welcomeFrom(macID),
                                              keys({{PeerIdentity::pairing(payload_.pairingID).text(), key}})));
    drain(io_);
    ASSERT_TRUE(hello->done && !hello->error);
  }

  auto acceptWith(PairingFlow::Approve approve) {
    return spawn(io_, PairingFlow::accept(desk_, payload_, kPhone, std::move(approve),
                                          {[this](PairedDevice d) -> asio::awaitable<void> {
                                             if (failStore_) throw std::runtime_error("keyring locked");
                                             stored_.push_back(d);
                                             co_return;
                                           },
                                           [this](PairedDevice d) -> asio::awaitable<void> {
                                             removed_.push_back(d);
                                             co_return;
                                           }}));
  }

  std::vector<Message> pairResults() {
    std::vector<Message> out;
    for (auto& m : receivedByPhone()) {
      if (m.is(MessageType::pairResult)) out.push_back(m);
    }
    return out;
  }

  static PairingFlow::Approve answer(bool allow) {
    return [allow]() -> asio::awaitable<bool> { co_return allow; };
  }

  std::shared_ptr<testing::Outcome<PairedMac>> phoneSide_;
  std::vector<PairedDevice> stored_, removed_;
  bool failStore_ = false;
};

TEST_F(PairingFlowTest, BothSidesEndWithTheSameKeyAndTheRecordIsStoredFirst) {
  handshake();
  auto desk = acceptWith(answer(true));
  drain(io_);
  ASSERT_TRUE(desk->done && !desk->error);
  ASSERT_TRUE(phoneSide_->done && !phoneSide_->error);
  EXPECT_EQ(desk->value->keyData, phoneSide_->value->keyData);
  EXPECT_EQ(desk->value->id, payload_.pairingID);
  EXPECT_EQ(desk->value->name, "Ada's phone");
  EXPECT_EQ(phoneSide_->value->id, kMacID);
  EXPECT_EQ(phoneSide_->value->deviceID, payload_.pairingID);
  ASSERT_EQ(stored_.size(), 1u);
  EXPECT_TRUE(removed_.empty());
}

TEST_F(PairingFlowTest, WrongDesktopStopsBeforeTheRequest) {
  handshake(*Uuid::parse("00000000-0000-4000-8000-0000000000FF"));
  EXPECT_EQ(phoneSide_->errorAs<PairingError>(), PairingError::wrongMac());
  // the phone's only message was its hello
  EXPECT_EQ(phoneScript_->writes().size(), 1u);
}

TEST_F(PairingFlowTest, DeclineSendsExactlyOneDenial) {
  handshake();
  auto desk = acceptWith(answer(false));
  drain(io_);
  EXPECT_EQ(desk->errorAs<PairingError>(), PairingError::rejected(PairingRejection::denied));
  EXPECT_EQ(pairResults(), std::vector<Message>{Message::pairResult(PairResult::rejectedWith(PairingRejection::denied))});
  EXPECT_EQ(phoneSide_->errorAs<PairingError>(), PairingError::rejected(PairingRejection::denied));
  EXPECT_TRUE(stored_.empty());
}

TEST_F(PairingFlowTest, PhoneReadsOddResultsAsRejections) {
  for (auto [result, expected] : std::vector<std::pair<PairResult, PairingRejection>>{
           {PairResult{true, std::nullopt, std::nullopt}, PairingRejection::denied},
           {PairResult::rejectedWith(PairingRejection::expired), PairingRejection::expired},
           {PairResult{false, std::nullopt, PairingRejection("busy")}, PairingRejection("busy")}}) {
    TearDown();
    SetUp();
    handshake();
    spawn(io_, desk_->send(Message::pairResult(result)));
    drain(io_);
    EXPECT_EQ(phoneSide_->errorAs<PairingError>(), PairingError::rejected(expected)) << expected.rawValue;
  }
}

TEST_F(PairingFlowTest, StoreFailureAnswersFailedAtOnce) {
  handshake();
  failStore_ = true;
  auto desk = acceptWith(answer(true));
  drain(io_);
  ASSERT_TRUE(desk->done && desk->error);
  EXPECT_THROW(std::rethrow_exception(desk->error), std::runtime_error);
  EXPECT_EQ(pairResults(), std::vector<Message>{Message::pairResult(PairResult::rejectedWith(PairingRejection::failed))});
  // The phone hears it now, not at the end of its own limit.
  ASSERT_TRUE(phoneSide_->done);
  EXPECT_EQ(phoneSide_->errorAs<PairingError>(), PairingError::rejected(PairingRejection::failed));
}

TEST_F(PairingFlowTest, RecordIsTakenBackWhenThePhoneCannotBeTold) {
  handshake();
  deskScript_->failWrites(std::make_exception_ptr(std::runtime_error("connection reset")));
  auto desk = acceptWith(answer(true));
  drain(io_);
  ASSERT_TRUE(desk->done && desk->error);
  ASSERT_EQ(stored_.size(), 1u);
  ASSERT_EQ(removed_.size(), 1u);
  EXPECT_EQ(removed_[0].id, stored_[0].id);
}

// A phone that leaves, or talks, while its user is asked is gone or
// misbehaving: either ends the attempt, withdraws the question and stores
// nothing.
TEST_F(PairingFlowTest, PhoneLeavingOrTalkingWithdrawsTheQuestion) {
  struct Case {
    const char* name;
    std::function<void()> phoneDoes;
    PairingError expected;
  };
  for (const auto& c : std::vector<Case>{
           {"leaves",
            [this] {
              phoneScript_->enterState(Connection::State::cancelled);
              deskScript_->deliverEndOfStream();
            },
            PairingError::connectionClosed()},
           {"talks", [this] { spawn(io_, phone_->send(Message::ping({1, 0}))); }, PairingError::unexpectedMessage("ping")},
       }) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    stored_.clear();
    handshake();
    bool asked = false, cancelled = false;
    auto waitForever = [&, this]() -> asio::awaitable<bool> {
      asked = true;
      asio::steady_timer never(io_, std::chrono::hours(24));
      auto [ec] = co_await never.async_wait(asio::experimental::as_tuple(asio::use_awaitable));
      cancelled = ec == asio::error::operation_aborted;
      co_return true;
    };
    auto desk = acceptWith(waitForever);
    drain(io_);
    EXPECT_TRUE(asked);
    EXPECT_FALSE(desk->done);
    c.phoneDoes();
    drain(io_);
    ASSERT_TRUE(desk->done);
    EXPECT_EQ(desk->errorAs<PairingError>(), c.expected);
    EXPECT_TRUE(cancelled);
    EXPECT_TRUE(stored_.empty());
    EXPECT_TRUE(pairResults().empty());
  }
}

}  // namespace
}  // namespace tillerpad::kit
