// The real server on loopback: TLS with pre-shared keys over TCP, the
// handshake, a session, and the fast channel into the injector.
#include <gtest/gtest.h>

#include <asio/io_context.hpp>

#include "host/input/input_injector.h"
#include "host/input/system_commands.h"
#include "host/service/server.h"
#include "kit/pairing/credential_store.h"
#include "kit/pairing/handshake.h"
#include "kit/transport/fast_channel.h"
#include "kit/transport/local_network_policy.h"
#include "kit/transport/message_channel.h"
#include "kit/transport/tls_connection.h"
#include "platform/fake/fake_system_commands.h"
#include "platform/fake/in_memory_user_defaults.h"
#include "platform/fake/recording_advertiser.h"
#include "platform/fake/recording_input.h"
#include "tests/kit/transport/async_test.h"

namespace tillerpad::host {
namespace {

using namespace std::chrono_literals;
using kit::Message;
using kit::testing::spawn;

// Waits are bounded; reaching the bound fails the check that follows.
template <class Predicate>
void runUntil(asio::io_context& io, Predicate done) {
  auto deadline = std::chrono::steady_clock::now() + 20s;
  while (!done() && std::chrono::steady_clock::now() < deadline) {
    io.restart();
    io.run_for(20ms);
  }
}

asio::awaitable<std::optional<Message>> pingAndWait(std::shared_ptr<kit::MessageChannel> channel) {
  // Skip the state pushes that open the session.
  auto sending = channel->send(Message::ping({42, 1.5}));
  co_await std::move(sending);
  for (;;) {
    auto receiving = channel->receive(10s);
    auto message = co_await std::move(receiving);
    if (!message || message->is(kit::MessageType::pong)) co_return message;
  }
}

TEST(ServerTlsTest, PhoneConnectsOverLoopbackPingsMovesAndIsRefusedAfterRevoke) {
  asio::io_context io;
  auto clock = std::make_shared<kit::SteadyClock>();
  auto log = std::make_shared<kit::RecordingLogSink>();
  auto logger = [&](std::string c) { return kit::Logger(log, "app.tillerpad.Tillerpad", std::move(c)); };
  MacIdentity identity{kit::Uuid::random(), "Desk"};
  auto backing = std::make_shared<kit::InMemoryCredentialStore>();
  kit::PairedDevice phone{kit::Uuid::random(), "Ada", "Phone", {}, kit::SymmetricKey::random()};
  kit::RecordStore<kit::PairedDevice>(backing).save(phone);  // paired in an earlier run
  DeviceRegistry registry(io.get_executor(), kit::RecordStore<kit::PairedDevice>(backing), logger("registry"));
  platform::fake::RecordingInput input;
  input.setCursor(platform::Point{100, 100});
  input.setDisplays({{1, {0, 0, 1280, 800}, "A", true}});
  InputInjector injector(input, input, 0.5, logger("input"));
  platform::fake::FakeSystemCommands system;
  SystemCommands commands(system, system, logger("commands"));
  platform::fake::InMemoryUserDefaults defaults;
  MacSettings settings(defaults);
  platform::fake::RecordingAdvertiser advertiser;
  auto fast = kit::FastChannelListener::create(io, [](const auto&) { return true; }, logger("fast"));
  kit::SystemInterfaceSource interfaces;

  auto server = Server::create(Server::Dependencies{
      io.get_executor(), clock, [] { return std::chrono::system_clock::now(); }, identity, registry, nullptr,
      [] { return kit::PermissionStatus{true, true}; }, injector, commands, fast, settings, advertiser,
      tlsListenerFactory(io.get_executor()),
      [&](const kit::Endpoint& e) { return kit::LocalNetworkPolicy::allows(e, interfaces); }, logger("server"),
      logger("session")});
  registry.onChange = [&] { server->keysChanged(); };
  server->start();
  runUntil(io, [&] { return std::holds_alternative<Server::Listening>(server->status()); });
  auto* listening = std::get_if<Server::Listening>(&server->status());
  ASSERT_TRUE(listening);
  std::uint16_t port = listening->port;

  kit::PreSharedKey psk{kit::PeerIdentity::device(phone.id), {}};
  std::copy(phone.keyData.bytes().begin(), phone.keyData.bytes().end(), psk.key.begin());
  auto connectPhone = [&] {
    kit::TlsContext context(kit::TransportParameters::client(psk));
    return kit::MessageChannel::create(
        io.get_executor(), kit::TlsConnection::connect(io.get_executor(), context, kit::Endpoint::hostPort("127.0.0.1", port)),
        "phone", clock);
  };

  auto channel = connectPhone();
  auto opened = spawn(io, channel->open(10s));
  runUntil(io, [&] { return opened->done; });
  ASSERT_FALSE(opened->error);
  auto welcome = spawn(io, kit::Handshake::connect(channel, psk.identity, phone.keyData, {"Ada", "Phone", "18", "2"}));
  runUntil(io, [&] { return welcome->done; });
  ASSERT_FALSE(welcome->error);
  EXPECT_EQ(welcome->value->macID, identity.id);
  ASSERT_TRUE(welcome->value->fastPort);
  runUntil(io, [&] { return server->session() != nullptr; });
  ASSERT_TRUE(server->session());

  auto pong = spawn(io, pingAndWait(channel));
  runUntil(io, [&] { return pong->done; });
  ASSERT_FALSE(pong->error);
  EXPECT_EQ(*pong->value, Message::pong({42, 1.5}));

  // A pointer move over the fast channel reaches the injector.
  auto keys = spawn(io, kit::deriveFastChannelKeys(*channel));
  runUntil(io, [&] { return keys->done; });
  ASSERT_TRUE(keys->value && *keys->value);
  kit::FastChannelSender sender(io, asio::ip::udp::endpoint(asio::ip::make_address("127.0.0.1"), *welcome->value->fastPort),
                                **keys->value);
  runUntil(io, [&] {
    sender.send({kit::FastEvent::pointerMove(5, 0)});
    injector.waitIdle(100ms);
    return !input.events().empty();
  });
  ASSERT_FALSE(input.events().empty());
  EXPECT_TRUE(std::holds_alternative<platform::MouseEvent>(input.events().front()));

  server->revoke(phone.id);
  auto ended = spawn(io, channel->waitUntilClosed(10s));
  runUntil(io, [&] { return ended->done && log->count("Listener starting with 0 key(s)") == 1; });
  EXPECT_EQ(log->count("Session ended with Ada"), 1u);

  // The key is gone from the listener: TLS fails with the unknown-identity alert.
  auto listeningLines = [&] {
    std::size_t n = 0;
    for (const auto& r : log->records()) n += r.text.starts_with("Listening on port") ? 1 : 0;
    return n;
  };
  runUntil(io, [&] { return listeningLines() == 2; });
  ASSERT_EQ(listeningLines(), 2u);
  port = std::get<Server::Listening>(server->status()).port;
  auto refused = connectPhone();
  auto refusedOpen = spawn(io, refused->open(10s));
  runUntil(io, [&] { return refusedOpen->done; });
  ASSERT_TRUE(refusedOpen->error);
  EXPECT_TRUE(kit::TransportParameters::isUnknownIdentity(refusedOpen->error));

  fast->stop();
  injector.waitIdle(1s);
}

}  // namespace
}  // namespace tillerpad::host
