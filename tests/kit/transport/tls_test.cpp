// Real TLS on loopback: our client and server, and the openssl tool against
// our server. Every wait is bounded.
#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/use_future.hpp>

#include <condition_variable>
#include <filesystem>
#include <future>
#include <mutex>
#include <thread>

#include <unistd.h>

#include "kit/transport/message_channel.h"
#include "kit/transport/tls_connection.h"
#include "tests/support/child_process.h"
#include "tests/support/test_bytes.h"

namespace tillerpad::kit {
namespace {

using namespace std::chrono_literals;

constexpr auto bound = 10s;

using testing::fixedKey;

std::string hex(const PreSharedKey::Key& key) { return testing::toHex(key); }

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class TlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    acceptor_.open(asio::ip::tcp::v4());
    acceptor_.set_option(asio::ip::tcp::acceptor::reuse_address(true));
    acceptor_.bind({asio::ip::make_address("127.0.0.1"), 0});
    acceptor_.listen();
    port_ = acceptor_.local_endpoint().port();
    asio::co_spawn(io_, acceptLoop(), asio::detached);
    thread_ = std::thread([this] { io_.run(); });
  }

  void TearDown() override {
    asio::post(io_, [this] {
      std::error_code ignored;
      acceptor_.close(ignored);
    });
    {
      std::lock_guard lock(mutex_);
      accepted_.clear();
    }
    work_.reset();
    // Channels still open are dropped here; their connections close within
    // the TLS shutdown limit.
    io_.stop();
    thread_.join();
  }

  struct Accepted {
    std::shared_ptr<MessageChannel> channel;
    std::exception_ptr openError;
  };

  asio::awaitable<void> acceptLoop() {
    for (;;) {
      auto [error, socket] = co_await acceptor_.async_accept(asio::experimental::as_tuple(asio::use_awaitable));
      if (error) co_return;
      auto channel = MessageChannel::create(io_.get_executor(), TlsConnection::accept(std::move(socket), serverContext_),
                                            "app.tillerpad.channel", clock_);
      asio::co_spawn(io_, openAccepted(channel), asio::detached);
    }
  }

  asio::awaitable<void> openAccepted(std::shared_ptr<MessageChannel> channel) {
    std::exception_ptr error;
    try {
      co_await channel->open(bound);
    } catch (...) {
      error = std::current_exception();
    }
    std::lock_guard lock(mutex_);
    accepted_.push_back({channel, error});
    changed_.notify_all();
  }

  // The next server-side channel whose open finished, one way or the other.
  Accepted nextAccepted() {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, bound, [this] { return taken_ < accepted_.size(); })) {
      throw std::runtime_error("no connection reached the server in time");
    }
    return accepted_[taken_++];
  }

  template <class T>
  T await(asio::awaitable<T> operation) {
    auto future = asio::co_spawn(io_, std::move(operation), asio::use_future);
    if (future.wait_for(bound) != std::future_status::ready) throw std::runtime_error("timed out");
    return future.get();
  }

  std::shared_ptr<MessageChannel> client(const PreSharedKey& psk) {
    TlsContext context(TransportParameters::client(psk));
    return MessageChannel::create(io_.get_executor(),
                                  TlsConnection::connect(io_.get_executor(), context, Endpoint::hostPort("127.0.0.1", port_)),
                                  "app.tillerpad.channel", clock_);
  }

  std::string sClient(const PreSharedKey& psk, const std::string& options) {
    return test::runShell("timeout 10 openssl s_client -connect 127.0.0.1:" + std::to_string(port_) + " -psk " + hex(psk.key) +
               " -psk_identity " + psk.identity.text() + " " + options + " </dev/null");
  }

  const PreSharedKey known_ = fixedKey(1, "11111111-1111-4111-8111-111111111111");
  const PreSharedKey other_ = fixedKey(50, "22222222-2222-4222-8222-222222222222");
  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> work_ = asio::make_work_guard(io_);
  std::shared_ptr<Clock> clock_ = std::make_shared<SteadyClock>();
  TlsContext serverContext_{TransportParameters::server({other_, known_})};
  asio::ip::tcp::acceptor acceptor_{io_};
  std::uint16_t port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Accepted> accepted_;
  std::size_t taken_ = 0;
};

TEST_F(TlsTest, ClientAndServerAgreeOnExporterValuesAndCarryMessages) {
  auto phone = client(known_);
  await(phone->open(bound));
  auto desktop = nextAccepted();
  ASSERT_FALSE(desktop.openError);

  for (auto [label, length] : {std::pair{"EXPORTER-tillerpad-hello-v1", 32}, std::pair{"EXPORTER-tillerpad-fast-v1", 36}}) {
    auto mine = await(phone->exportKeyingMaterial(label, length));
    auto theirs = await(desktop.channel->exportKeyingMaterial(label, length));
    ASSERT_TRUE(mine && theirs);
    EXPECT_EQ(mine->size(), static_cast<std::size_t>(length));
    EXPECT_EQ(*mine, *theirs) << label;
  }
  EXPECT_NE(await(phone->exportKeyingMaterial("EXPORTER-a", 32)), await(phone->exportKeyingMaterial("EXPORTER-b", 32)));
  EXPECT_EQ(await(phone->negotiatedCipherSuite()), std::optional<std::uint16_t>(0xCCAC));
  EXPECT_EQ(await(desktop.channel->negotiatedCipherSuite()), std::optional<std::uint16_t>(0xCCAC));
  EXPECT_EQ(desktop.channel->remoteEndpoint().host, "127.0.0.1");

  // A large frame crosses several reads and TLS records.
  Message frame = Message::screenFrame({ScreenFrame::makeFrameID(1, 1), 1, 1920, 1080, Blob{Bytes(1 << 20, 0x17)}});
  await(phone->send(frame));
  EXPECT_EQ(await(desktop.channel->receive(bound)), frame);
  await(desktop.channel->send(Message::ping(Ping{3})));
  EXPECT_EQ(await(phone->receive(bound)), Message::ping(Ping{3}));

  // Closing: the other end gets the bye, then the end of the stream.
  await(phone->close(ByeReason::userDisconnected));
  EXPECT_EQ(await(desktop.channel->receive(bound)), Message::bye(Bye{ByeReason::userDisconnected}));
  EXPECT_EQ(await(desktop.channel->receive(bound)), std::nullopt);
}

TEST_F(TlsTest, UnknownIdentityIsToldApartFromAWrongKey) {
  auto stranger = client(fixedKey(9, "33333333-3333-4333-8333-333333333333"));
  std::exception_ptr error;
  try {
    await(stranger->open(bound));
  } catch (...) {
    error = std::current_exception();
  }
  ASSERT_TRUE(error);
  EXPECT_TRUE(TransportParameters::isUnknownIdentity(error));
  EXPECT_TRUE(nextAccepted().openError);

  // The identity is known but the key differs: a failure, not "unknown".
  auto impostor = known_;
  impostor.key[0] ^= 1;
  auto wrong = client(impostor);
  error = nullptr;
  try {
    await(wrong->open(bound));
  } catch (...) {
    error = std::current_exception();
  }
  ASSERT_TRUE(error);
  EXPECT_FALSE(TransportParameters::isUnknownIdentity(error));
  EXPECT_TRUE(nextAccepted().openError);
}

TEST_F(TlsTest, OpensslClientCompletesTheHandshake) {
  auto out = sClient(known_, "-cipher ECDHE-PSK-CHACHA20-POLY1305 -tls1_2 -brief");
  EXPECT_TRUE(contains(out, "CONNECTION ESTABLISHED")) << out;
  EXPECT_TRUE(contains(out, "ECDHE-PSK-CHACHA20-POLY1305")) << out;
  auto desktop = nextAccepted();
  EXPECT_FALSE(desktop.openError);
}

TEST_F(TlsTest, OtherVersionsAndSuitesAreRefused) {
  struct Case {
    const char* name;
    const char* options;
  };
  const Case cases[] = {
      {"TLS 1.3", "-tls1_3"},
      {"TLS 1.1", "-tls1_1 -cipher ECDHE-PSK-AES128-CBC-SHA@SECLEVEL=0"},
      {"plain PSK suite", "-tls1_2 -cipher PSK-CHACHA20-POLY1305"},
      {"ECDHE-PSK with AES", "-tls1_2 -cipher ECDHE-PSK-AES128-CBC-SHA256"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto out = sClient(known_, std::string(c.options) + " -brief");
    EXPECT_FALSE(contains(out, "CONNECTION ESTABLISHED")) << out;
    // The server saw the attempt and refused it.
    EXPECT_TRUE(nextAccepted().openError);
  }
}

TEST_F(TlsTest, SavedSessionIsNeverResumed) {
  // A server that does resume (openssl s_server: session cache and tickets)
  // issues the session; our server must not accept it back.
  asio::ip::tcp::acceptor probe(io_, {asio::ip::make_address("127.0.0.1"), 0});
  auto otherPort = std::to_string(probe.local_endpoint().port());
  probe.close();
  auto suite = std::string("-cipher ECDHE-PSK-CHACHA20-POLY1305 -tls1_2 ");
  // Its standard input stays open: s_server quits at the end of its input.
  test::ChildProcess server("openssl", {"s_server", "-accept", "127.0.0.1:" + otherPort, "-nocert", "-psk",
                                        hex(known_.key), "-psk_identity", known_.identity.text(), "-cipher",
                                        "ECDHE-PSK-CHACHA20-POLY1305", "-tls1_2"});
  ASSERT_TRUE(server.lineStarting("ACCEPT"));

  auto path = std::filesystem::temp_directory_path() / ("tillerpad-session-" + std::to_string(getpid()));
  auto first = test::runShell("timeout 10 openssl s_client -connect 127.0.0.1:" + otherPort + " -psk " + hex(known_.key) + " -psk_identity " +
                   known_.identity.text() + " " + suite + "-sess_out " + path.string() + " </dev/null");
  ASSERT_TRUE(contains(first, "New, TLSv1.2")) << first;
  ASSERT_TRUE(std::filesystem::exists(path)) << first;
  // The saved session is resumable where it came from: it has a ticket.
  ASSERT_TRUE(contains(first, "TLS session ticket lifetime hint")) << first;

  auto second = sClient(known_, suite + "-sess_in " + path.string());
  std::filesystem::remove(path);
  EXPECT_TRUE(contains(second, "New, TLSv1.2")) << second;  // a full handshake
  EXPECT_FALSE(contains(second, "Reused")) << second;
  EXPECT_FALSE(nextAccepted().openError);
}

}  // namespace
}  // namespace tillerpad::kit
