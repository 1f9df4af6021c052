// Both halves of the handshake and of pairing over in-memory connected pairs
// with time moved by hand; real TLS runs are in tests/host/app/headless_test.cpp.
#include "kit/pairing/handshake.h"

#include <gtest/gtest.h>

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

SymmetricKey keyOf(std::uint8_t fill) { return *SymmetricKey::fromBytes(Bytes(32, fill)); }

Welcome welcomeFrom(Uuid macID) { return Welcome{ProtocolVersion::current, macID, "Desk", "1.0", 40000}; }

class HandshakeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto pair = MemoryConnection::pair();
    phoneScript_ = pair.scriptA;
    deskScript_ = pair.scriptB;
    phone_ = MessageChannel::create(io_.get_executor(), std::move(pair.a), "app.tillerpad.channel", clock_);
    desk_ = MessageChannel::create(io_.get_executor(), std::move(pair.b), "app.tillerpad.channel", clock_);
    spawn(io_, phone_->open(10s));
    spawn(io_, desk_->open(10s));
    drain(io_);
  }

  // Ends whatever still waits (a phone waiting for its result, say), so that
  // no coroutine outlives the test holding its channel.
  void TearDown() override {
    phone_->cancel();
    desk_->cancel();
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
      if (auto it = byIdentity.find(id.text()); it != byIdentity.end()) return it->second;
      return std::nullopt;
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

// Every first message the desktop may get: only a proven hello of its major
// version is welcomed; every refusal is answered with its code.
TEST_F(HandshakeTest, DesktopWelcomesOnlyAProvenHello) {
  const PeerIdentity device = PeerIdentity::device(kDeviceID);
  // `expected` none: welcomed.
  const struct { const char* name; std::function<void()> phoneSends;
                 std::optional<HandshakeError> expected; ErrorCode code; } cases[] = {
      {"proven, newer minor version", [&] { sendHello({1, 9}, device, keyOf(1)); }, std::nullopt, ErrorCode("")},
      {"other major version", [&] { sendHello({2, 0}, device, keyOf(1)); }, HandshakeError::incompatibleVersion({2, 0}),
       ErrorCode::incompatibleVersion},
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
    SCOPED_TRACE(c.name);
    auto accepted = spawn(io_, Handshake::accept(desk_, welcomeFrom(kMacID),
                                                 keys({{device.text(), keyOf(1)}, {PeerIdentity::pairing(kDeviceID).text(), keyOf(2)}})));
    c.phoneSends();
    ASSERT_TRUE(accepted->done);
    auto sent = receivedByPhone();
    ASSERT_EQ(sent.size(), ++replies);
    if (!c.expected) {
      ASSERT_FALSE(accepted->error);
      EXPECT_EQ(accepted->value->identity, device);
      EXPECT_EQ(sent.back(), Message::welcome(welcomeFrom(kMacID)));
      continue;
    }
    EXPECT_EQ(accepted->errorAs<HandshakeError>(), *c.expected);
    ASSERT_TRUE(sent.back().is(MessageType::error));
    EXPECT_EQ(sent.back().getIf<MessageType::error>()->code, c.code);
  }
}

// (A phone's welcomed handshake runs in every pairing controller and server test.)
TEST_F(HandshakeTest, PhoneTakesOnlyAWelcomeOfItsMajorVersion) {
  const std::pair<Message, HandshakeError> answers[] = {
      {Message::error({ErrorCode::authenticationFailed, std::nullopt}), HandshakeError::rejected(ErrorCode::authenticationFailed)},
      {Message::welcome({{2, 1}, kMacID, "Desk", "9", std::nullopt}), HandshakeError::incompatibleVersion({2, 1})},
  };
  for (const auto& [answer, expected] : answers) {
    auto refused = spawn(io_, Handshake::connect(phone_, PeerIdentity::device(kDeviceID), keyOf(1), kPhone));
    spawn(io_, desk_->send(answer));
    drain(io_);
    EXPECT_EQ(refused->errorAs<HandshakeError>(), expected);
  }
}

TEST_F(HandshakeTest, SilenceTimesOutAndSendsNothing) {
  auto accepted = spawn(io_, Handshake::accept(desk_, welcomeFrom(kMacID), keys({})));
  drain(io_);
  clock_->advance(4900ms);
  drain(io_);
  EXPECT_FALSE(accepted->done);
  clock_->advance(100ms);
  drain(io_);
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
                                          {[this](PairedDevice d) -> asio::awaitable<void> { stored_.push_back(d); co_return; },
                                           [this](PairedDevice d) -> asio::awaitable<void> { removed_.push_back(d); co_return; }}));
  }

  const PairingFlow::Approve allow_ = []() -> asio::awaitable<bool> { co_return true; };
  std::shared_ptr<testing::Outcome<PairedMac>> phoneSide_;
  std::vector<PairedDevice> stored_, removed_;
};

// (Both sides' keys, denials, store failures and a phone that leaves while
// its user is asked are tested through the desktop's pairing controller.)
TEST_F(PairingFlowTest, PhoneStopsAtAnotherDesktopAndReadsOddResultsAsRejections) {
  const Uuid otherMac = *Uuid::parse("00000000-0000-4000-8000-0000000000FF");
  const struct { Uuid mac; std::optional<PairResult> result; PairingError expected; } cases[] = {
      {otherMac, std::nullopt, PairingError::wrongMac()},
      {kMacID, PairResult{true, std::nullopt, std::nullopt}, PairingError::rejected(PairingRejection::denied)},  // no key
      {kMacID, PairResult::rejectedWith(PairingRejection::expired), PairingError::rejected(PairingRejection::expired)},
      {kMacID, PairResult{false, std::nullopt, PairingRejection("busy")}, PairingError::rejected(PairingRejection("busy"))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected.what());
    TearDown();
    SetUp();
    handshake(c.mac);
    if (c.result) spawn(io_, desk_->send(Message::pairResult(*c.result)));
    drain(io_);
    EXPECT_EQ(phoneSide_->errorAs<PairingError>(), c.expected);
    if (!c.result) EXPECT_EQ(phoneScript_->writes().size(), 1u);  // the hello only, no request
  }
}

TEST_F(PairingFlowTest, RecordIsTakenBackWhenThePhoneCannotBeTold) {
  handshake();
  deskScript_->failWrites(std::make_exception_ptr(std::runtime_error("connection reset")));
  auto desk = acceptWith(allow_);
  drain(io_);
  ASSERT_TRUE(desk->done && desk->error);
  ASSERT_EQ(stored_.size(), 1u);
  EXPECT_EQ(removed_, stored_);
}

}  // namespace
}  // namespace tillerpad::kit
