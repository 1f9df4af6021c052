// Pairing and then connecting with the new device key, over real TLS on
// loopback, the phone going through the resolver's connect. Every wait is bounded.
// (Coroutines here are free functions taking values: a lambda coroutine's
// captures die with the lambda object, before the coroutine ends.)
#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/use_awaitable.hpp>

#include "kit/pairing/handshake.h"
#include "kit/pairing/key_derivation.h"
#include "kit/pairing/pairing_flow.h"
#include "kit/transport/endpoint_resolver.h"
#include "kit/transport/fast_channel.h"
#include "kit/transport/message_channel.h"
#include "kit/transport/tls_connection.h"
#include "kit/transport/transport_parameters.h"
#include "tests/kit/transport/async_test.h"

namespace tillerpad::kit {
namespace {

using namespace std::chrono_literals;
using testing::spawn;

const DeviceInfo kPhone{"Ada's phone", "Phone 15", "18.1", "2.0"};

PreSharedKey pskOf(PeerIdentity identity, const SymmetricKey& key) {
  PreSharedKey psk{identity, {}};
  std::copy(key.bytes().begin(), key.bytes().end(), psk.key.begin());
  return psk;
}

Handshake::KeyForIdentity onlyKey(PeerIdentity identity, SymmetricKey key) {
  return [identity, key](const PeerIdentity& id) -> std::optional<SymmetricKey> {
    if (id == identity) return key;
    return std::nullopt;
  };
}

asio::awaitable<std::shared_ptr<MessageChannel>> acceptOne(asio::ip::tcp::acceptor& acceptor,
                                                           std::shared_ptr<TlsContext> context) {
  auto accepting = acceptor.async_accept(asio::use_awaitable);
  auto socket = co_await std::move(accepting);
  auto executor = acceptor.get_executor();
  auto channel = MessageChannel::create(executor, TlsConnection::accept(std::move(socket), *context),
                                        "app.tillerpad.channel", std::make_shared<SteadyClock>());
  auto opening = channel->open(10s);
  co_await std::move(opening);
  co_return channel;
}

asio::awaitable<std::shared_ptr<MessageChannel>> connectTo(asio::any_io_executor executor, std::uint16_t port,
                                                           PreSharedKey psk) {
  EndpointResolver resolver(executor, nullptr);
  auto connecting = resolver.connect(Endpoint::hostPort("127.0.0.1", port), std::move(psk), std::make_shared<SteadyClock>());
  auto channel = co_await std::move(connecting);
  co_return channel;
}

asio::awaitable<PairedDevice> deskPairs(asio::ip::tcp::acceptor& acceptor, std::shared_ptr<TlsContext> context,
                                        Welcome welcome, PairingPayload payload) {
  auto accepting = acceptOne(acceptor, context);
  auto channel = co_await std::move(accepting);
  auto greeting = Handshake::accept(channel, welcome, onlyKey(PeerIdentity::pairing(payload.pairingID),
                                                              KeyDerivation::pairingPSK(payload)));
  Hello hello = co_await std::move(greeting);
  PairingFlow::Approve allow = []() -> asio::awaitable<bool> { co_return true; };
  auto pairing = PairingFlow::accept(channel, payload, hello.device, allow,
                                     {[](PairedDevice) -> asio::awaitable<void> { co_return; },
                                      [](PairedDevice) -> asio::awaitable<void> { co_return; }});
  PairedDevice device = co_await std::move(pairing);
  co_return device;
}

asio::awaitable<PairedMac> phonePairs(asio::any_io_executor executor, std::uint16_t port, PairingPayload payload) {
  auto connecting = connectTo(executor, port,
                              pskOf(PeerIdentity::pairing(payload.pairingID), KeyDerivation::pairingPSK(payload)));
  auto channel = co_await std::move(connecting);
  auto pairing = PairingFlow::pair(channel, payload, kPhone);
  PairedMac mac = co_await std::move(pairing);
  co_return mac;
}

asio::awaitable<std::optional<FastChannelKeys>> deskGreets(asio::ip::tcp::acceptor& acceptor,
                                                           std::shared_ptr<TlsContext> context, Welcome welcome,
                                                           PeerIdentity device, SymmetricKey key) {
  auto accepting = acceptOne(acceptor, context);
  auto channel = co_await std::move(accepting);
  auto greeting = Handshake::accept(channel, welcome, onlyKey(device, key));
  co_await std::move(greeting);
  auto deriving = deriveFastChannelKeys(*channel);
  auto keys = co_await std::move(deriving);
  co_return keys;
}

asio::awaitable<std::optional<FastChannelKeys>> phoneGreets(asio::any_io_executor executor, std::uint16_t port,
                                                            PeerIdentity device, SymmetricKey key, Uuid expectedMac) {
  auto connecting = connectTo(executor, port, pskOf(device, key));
  auto channel = co_await std::move(connecting);
  auto greeting = Handshake::connect(channel, device, key, kPhone);
  Welcome answer = co_await std::move(greeting);
  if (answer.macID != expectedMac) throw std::runtime_error("welcome from another desktop");
  auto deriving = deriveFastChannelKeys(*channel);
  auto keys = co_await std::move(deriving);
  co_return keys;
}

template <class Outcome>
void runUntil(asio::io_context& io, const Outcome& outcome) {
  auto deadline = std::chrono::steady_clock::now() + 20s;
  while (!outcome->done && std::chrono::steady_clock::now() < deadline) {
    io.restart();
    io.run_for(50ms);
  }
}

TEST(PairingOverTls, PairThenConnectWithTheDeviceKey) {
  asio::io_context io;
  const Uuid macID = Uuid::random();
  auto payload = PairingPayload::make(macID, std::chrono::system_clock::now(), 300s);
  const Welcome welcome{ProtocolVersion::current, macID, "Desk", "1", 40000};

  // Pairing, with the code's key as the only pre-shared key.
  asio::ip::tcp::acceptor pairingAcceptor(io, {asio::ip::make_address("127.0.0.1"), 0});
  auto pairingContext = std::make_shared<TlsContext>(TransportParameters::server(
      {pskOf(PeerIdentity::pairing(payload.pairingID), KeyDerivation::pairingPSK(payload))}));
  auto deskPaired = spawn(io, deskPairs(pairingAcceptor, pairingContext, welcome, payload));
  auto phonePaired = spawn(io, phonePairs(io.get_executor(), pairingAcceptor.local_endpoint().port(), payload));
  runUntil(io, phonePaired);
  runUntil(io, deskPaired);
  ASSERT_TRUE(phonePaired->done && !phonePaired->error);
  ASSERT_TRUE(deskPaired->done && !deskPaired->error);
  EXPECT_EQ(phonePaired->value->keyData, deskPaired->value->keyData);
  EXPECT_EQ(phonePaired->value->id, macID);

  // Later connections: the device identity and its new key; both ends derive
  // the same fast-channel keys from their own TLS session.
  const PeerIdentity device = PeerIdentity::device(phonePaired->value->deviceID);
  const SymmetricKey deviceKey = phonePaired->value->keyData;
  asio::ip::tcp::acceptor acceptor(io, {asio::ip::make_address("127.0.0.1"), 0});
  auto context = std::make_shared<TlsContext>(TransportParameters::server({pskOf(device, deviceKey)}));
  auto deskSide = spawn(io, deskGreets(acceptor, context, welcome, device, deviceKey));
  auto phoneSide = spawn(io, phoneGreets(io.get_executor(), acceptor.local_endpoint().port(), device, deviceKey, macID));
  runUntil(io, phoneSide);
  runUntil(io, deskSide);
  ASSERT_TRUE(phoneSide->done && !phoneSide->error);
  ASSERT_TRUE(deskSide->done && !deskSide->error);
  ASSERT_TRUE(*phoneSide->value && *deskSide->value);
  EXPECT_EQ(**phoneSide->value, **deskSide->value);
}

}  // namespace
}  // namespace tillerpad::kit
