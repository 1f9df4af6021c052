// Real TLS on loopback: our client and server, and the openssl tool against
// our server. Every wait is bounded.
#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/use_future.hpp>

#include <filesystem>
#include <future>
#include <thread>

#include <unistd.h>

#include "kit/transport/message_channel.h"
#include "kit/transport/tls_connection.h"
#include "tests/support/child_process.h"
#include "tests/support/test_bytes.h"

namespace tillerpad::kit {
namespace {

using namespace std::chrono_literals;
using testing::fixedKey;

constexpr auto bound = 10s;

std::string hex(const PreSharedKey::Key& key) { return testing::toHex(key); }
bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class TlsTest : public ::testing::Test {
 protected:
  void TearDown() override {
    asio::post(io_, [this] {
      std::error_code ignored;
      acceptor_.close(ignored);  // ends an accept that still waits
    });
    work_.reset();
    io_.stop();  // channels still open are dropped with it
    thread_.join();
  }

  // Runs an operation on the service thread; await() gives its result, or its error, within the bound.
  template <class T>
  std::future<T> start(asio::awaitable<T> operation) {
    return asio::co_spawn(io_, std::move(operation), asio::use_future);
  }
  template <class T>
  T await(asio::awaitable<T> operation) {
    auto result = start(std::move(operation));
    if (result.wait_for(bound) != std::future_status::ready) throw std::runtime_error("timed out");
    return result.get();
  }
  // The server's end: the next connection, accepted and opened.
  asio::awaitable<std::shared_ptr<MessageChannel>> accept() {
    auto accepting = acceptor_.async_accept(asio::use_awaitable);
    auto socket = co_await std::move(accepting);
    auto channel = MessageChannel::create(io_.get_executor(), TlsConnection::accept(std::move(socket), serverContext_),
                                          "app.tillerpad.channel", clock_);
    auto opening = channel->open(bound);
    co_await std::move(opening);
    co_return channel;
  }
  // Whether the server's end opened.
  bool opened(std::future<std::shared_ptr<MessageChannel>> server) try {
    return server.wait_for(bound) == std::future_status::ready && server.get() != nullptr;
  } catch (const std::exception&) {
    return false;
  }
  std::shared_ptr<MessageChannel> client(const PreSharedKey& psk, int socketBufferBytes = 0) {
    auto parameters = TransportParameters::client(psk);
    if (socketBufferBytes > 0) parameters.tcpOptions.socketBufferBytes = socketBufferBytes;
    TlsContext context(std::move(parameters));
    auto connection = TlsConnection::connect(io_.get_executor(), context, Endpoint::hostPort("127.0.0.1", port_));
    return MessageChannel::create(io_.get_executor(), std::move(connection), "app.tillerpad.channel", clock_);
  }
  std::string sClient(const PreSharedKey& psk, const std::string& options, std::uint16_t port = 0) {
    return test::runShell("timeout 10 openssl s_client -connect 127.0.0.1:" + std::to_string(port ? port : port_) +
                          " -psk " + hex(psk.key) + " -psk_identity " + psk.identity.text() + " " + options + " </dev/null");
  }

  const PreSharedKey known_ = fixedKey(1, "11111111-1111-4111-8111-111111111111");
  const PreSharedKey other_ = fixedKey(50, "22222222-2222-4222-8222-222222222222");
  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> work_ = asio::make_work_guard(io_);
  std::shared_ptr<Clock> clock_ = std::make_shared<SteadyClock>();
  TlsContext serverContext_{TransportParameters::server({other_, known_})};
  asio::ip::tcp::acceptor acceptor_{io_, {asio::ip::make_address("127.0.0.1"), 0}};
  std::uint16_t port_ = acceptor_.local_endpoint().port();
  std::thread thread_{[this] { io_.run(); }};
};

TEST_F(TlsTest, ClientAndServerAgreeOnExporterValuesAndCarryMessages) {
  auto server = start(accept());
  auto phone = client(known_);
  // The phone takes the hello's material as it opens; the desktop asks later.
  await(phone->open(bound, {{"EXPORTER-tillerpad-hello-v1", 32}}));
  ASSERT_EQ(server.wait_for(bound), std::future_status::ready);
  auto desktop = server.get();

  for (auto [label, length] : {std::pair{"EXPORTER-tillerpad-hello-v1", 32}, std::pair{"EXPORTER-tillerpad-fast-v1", 36}}) {
    auto mine = await(phone->exportKeyingMaterial(label, length));
    EXPECT_EQ(mine.value_or(Bytes{}).size(), static_cast<std::size_t>(length));
    EXPECT_EQ(mine, await(desktop->exportKeyingMaterial(label, length))) << label;
  }
  const auto helloMaterial = await(phone->exportKeyingMaterial("EXPORTER-tillerpad-hello-v1", 32));
  ASSERT_TRUE(helloMaterial);
  EXPECT_NE(await(phone->exportKeyingMaterial("EXPORTER-a", 32)), await(phone->exportKeyingMaterial("EXPORTER-b", 32)));
  for (auto& end : {phone, desktop}) EXPECT_EQ(await(end->negotiatedCipherSuite()), std::optional<std::uint16_t>(0xCCAC));
  EXPECT_EQ(desktop->remoteEndpoint().host, "127.0.0.1");

  // A large frame crosses several reads and TLS records; closing sends the bye, then the end.
  Message frame = Message::screenFrame({ScreenFrame::makeFrameID(1, 1), 1, 1920, 1080, Blob{Bytes(1 << 20, 0x17)}});
  await(phone->send(frame));
  EXPECT_EQ(await(desktop->receive(bound)), frame);
  await(desktop->close(ByeReason::revoked));
  EXPECT_EQ(await(phone->receive(bound)), Message::bye(Bye{ByeReason::revoked}));
  EXPECT_EQ(await(phone->receive(bound)), std::nullopt);
  // Taken at open, the material outlives the session; asked for now, there is none.
  EXPECT_EQ(await(phone->exportKeyingMaterial("EXPORTER-tillerpad-hello-v1", 32)), helloMaterial);
  EXPECT_EQ(await(phone->exportKeyingMaterial("EXPORTER-tillerpad-fast-v1", 36)), std::nullopt);
}

// Frames of many sizes (about a TLS record, a read, the sender's batch of
// records, several MiB), sent back to back without waiting and then once
// more waiting, arrive intact and in order. Every frame has bytes of its own,
// so a record or a read put in the wrong place shows. With a small send
// buffer the sender finds the socket full again and again.
TEST_F(TlsTest, FramesOfManySizesArriveIntactAndInOrder) {
  const std::vector<std::size_t> sizes = {0, 1, 16'300, 16'384, 16'385, 262'143, 262'144, 300'000, 3 << 20, 5, 1 << 20};
  std::vector<Message> sent;
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    Bytes jpeg(sizes[i]);
    for (std::size_t j = 0; j < jpeg.size(); ++j) jpeg[j] = static_cast<std::uint8_t>(j * 7 + i * 13 + (j >> 11));
    auto id = ScreenFrame::makeFrameID(1, static_cast<std::uint32_t>(i));
    sent.push_back(Message::screenFrame({id, 1, 1920, 1080, Blob{std::move(jpeg)}}));
  }
  for (int sendBuffer : {0, 8 * 1024}) {
    SCOPED_TRACE("send buffer " + std::to_string(sendBuffer));
    auto server = start(accept());
    auto phone = client(known_, sendBuffer);
    await(phone->open(bound));
    ASSERT_EQ(server.wait_for(bound), std::future_status::ready);
    auto desktop = server.get();
    for (const auto& message : sent) phone->sendWithoutWaiting(message);
    await(phone->send(sent.back()));
    // Compared, not printed: a failure would print megabytes.
    for (std::size_t i = 0; i <= sent.size(); ++i) {
      const auto& expected = i < sent.size() ? sent[i] : sent.back();
      ASSERT_TRUE(await(desktop->receive(bound)) == expected) << "frame " << i;
    }
  }
}

// An identity the server does not know fails with its own alert; a known
// identity with another key fails too, but not as "unknown".
TEST_F(TlsTest, UnknownIdentityIsToldApartFromAWrongKey) {
  auto impostor = known_;
  impostor.key[0] ^= 1;
  const auto stranger = fixedKey(9, "33333333-3333-4333-8333-333333333333");
  for (auto [psk, unknown] : {std::pair{stranger, true}, std::pair{impostor, false}}) {
    auto server = start(accept());
    try {
      await(client(psk)->open(bound));
      ADD_FAILURE() << "opened";
    } catch (const std::exception& e) {
      EXPECT_EQ(TransportParameters::isUnknownIdentity(e), unknown) << e.what();
    }
    EXPECT_FALSE(opened(std::move(server)));
  }
}

// The openssl tool gets in with the one suite (so that its refusals below are
// the server's doing), and with no other version or suite.
TEST_F(TlsTest, OnlyTls12WithTheOneSuiteIsAccepted) {
  const std::pair<const char*, bool> cases[] = {
      {"-tls1_2 -cipher ECDHE-PSK-CHACHA20-POLY1305", true},
      {"-tls1_3", false},
      {"-tls1_1 -cipher ECDHE-PSK-AES128-CBC-SHA@SECLEVEL=0", false},
      {"-tls1_2 -cipher PSK-CHACHA20-POLY1305", false},  // without ECDHE
      {"-tls1_2 -cipher ECDHE-PSK-AES128-CBC-SHA256", false},
  };
  for (auto [options, accepted] : cases) {
    SCOPED_TRACE(options);
    auto server = start(accept());
    auto out = sClient(known_, std::string(options) + " -brief");
    EXPECT_EQ(contains(out, "CONNECTION ESTABLISHED"), accepted) << out;
    EXPECT_EQ(opened(std::move(server)), accepted);
  }
}

TEST_F(TlsTest, SavedSessionIsNeverResumed) {
  // A server that does resume (openssl s_server: session cache and tickets)
  // issues the session; our server must not accept it back.
  auto otherPort = asio::ip::tcp::acceptor(io_, {asio::ip::make_address("127.0.0.1"), 0}).local_endpoint().port();
  auto suite = std::string("-cipher ECDHE-PSK-CHACHA20-POLY1305 -tls1_2 ");
  // Its standard input stays open: s_server quits at the end of its input.
  test::ChildProcess resuming("openssl", {"s_server", "-accept", "127.0.0.1:" + std::to_string(otherPort), "-nocert",
                                          "-psk", hex(known_.key), "-psk_identity", known_.identity.text(), "-cipher",
                                          "ECDHE-PSK-CHACHA20-POLY1305", "-tls1_2"});
  ASSERT_TRUE(resuming.lineStarting("ACCEPT"));

  auto path = std::filesystem::temp_directory_path() / ("tillerpad-session-" + std::to_string(getpid()));
  auto first = sClient(known_, suite + "-sess_out " + path.string(), otherPort);
  ASSERT_TRUE(contains(first, "New, TLSv1.2")) << first;
  ASSERT_TRUE(std::filesystem::exists(path)) << first;
  // The saved session is resumable where it came from: it has a ticket.
  ASSERT_TRUE(contains(first, "TLS session ticket lifetime hint")) << first;

  auto server = start(accept());
  auto second = sClient(known_, suite + "-sess_in " + path.string());
  std::filesystem::remove(path);
  EXPECT_TRUE(contains(second, "New, TLSv1.2")) << second;  // a full handshake
  EXPECT_FALSE(contains(second, "Reused")) << second;
  EXPECT_TRUE(opened(std::move(server)));
}

}  // namespace
}  // namespace tillerpad::kit
