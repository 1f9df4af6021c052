#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "kit/transport/channel_error.h"
#include "kit/transport/tls_connection.h"
#include "kit/transport/transport_parameters.h"
#include "tests/support/test_bytes.h"

namespace tillerpad::kit {
namespace {

using testing::fixedKey;

// The listener offers a fresh random placeholder first, so that it negotiates
// the PSK suite before any phone is paired; the phone offers exactly its key.
TEST(TransportParametersTest, WhoOffersWhichKeys) {
  auto a = fixedKey(1, "11111111-1111-4111-8111-111111111111");
  auto b = fixedKey(2, "22222222-2222-4222-8222-222222222222");
  auto empty = TransportParameters::server({});
  auto two = TransportParameters::server({a, b});
  ASSERT_EQ(empty.tlsOptions.psks.size(), 1u);
  ASSERT_EQ(two.tlsOptions.psks.size(), 3u);
  EXPECT_EQ(two.tlsOptions.psks[1], a);
  EXPECT_EQ(two.tlsOptions.psks[2], b);
  EXPECT_TRUE(two.tlsOptions.psks[0].identity.isDevice());
  EXPECT_NE(empty.tlsOptions.psks[0].identity, two.tlsOptions.psks[0].identity);
  EXPECT_NE(empty.tlsOptions.psks[0].key, two.tlsOptions.psks[0].key);
  EXPECT_NE(two.tlsOptions.psks[0].key, PreSharedKey::Key{});

  auto client = TransportParameters::client(a);
  EXPECT_EQ(client.role, TransportParameters::Role::client);
  EXPECT_EQ(client.tlsOptions.psks, std::vector<PreSharedKey>{a});
}

TEST(TransportParametersTest, DescriptionHidesTheKey) {
  auto a = fixedKey(0xAB, "11111111-1111-4111-8111-111111111111");
  auto text = describe(a);
  EXPECT_NE(text.find("d:11111111-1111-4111-8111-111111111111"), std::string::npos);
  EXPECT_NE(text.find("<redacted>"), std::string::npos);
  EXPECT_EQ(text.find("ab"), std::string::npos);
  EXPECT_EQ(text.find("AB"), std::string::npos);
}

TEST(TransportParametersTest, IsUnknownIdentityOnlyForAlert115) {
  auto tlsError = [](std::optional<std::uint8_t> alert) {
    return ConnectionError(std::make_error_code(std::errc::protocol_error), "TLS handshake failed", alert);
  };
  EXPECT_TRUE(TransportParameters::isUnknownIdentity(tlsError(115)));
  EXPECT_TRUE(TransportParameters::isUnknownIdentity(std::make_exception_ptr(tlsError(115))));
  for (std::uint8_t other : {20, 40, 51, 70, 114, 116}) {
    EXPECT_FALSE(TransportParameters::isUnknownIdentity(tlsError(other))) << int(other);
  }
  EXPECT_FALSE(TransportParameters::isUnknownIdentity(tlsError(std::nullopt)));
  EXPECT_FALSE(TransportParameters::isUnknownIdentity(ChannelError::timedOut()));
  EXPECT_FALSE(TransportParameters::isUnknownIdentity(std::runtime_error("115")));
  EXPECT_FALSE(TransportParameters::isUnknownIdentity(std::exception_ptr()));
  EXPECT_FALSE(TransportParameters::isUnknownIdentity(std::make_exception_ptr(42)));
}

// Values other than the defaults, so that a setting that is never applied shows.
TEST(TransportParametersTest, TcpOptionsReachTheSocket) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  TcpOptions options;
  options.keepAliveIdle = std::chrono::seconds(7);
  options.keepAliveInterval = std::chrono::seconds(3);
  options.keepAliveCount = 4;
  EXPECT_FALSE(applyTcpOptions(fd, options));
  auto get = [fd](int level, int name) {
    int value = -1;
    socklen_t length = sizeof value;
    getsockopt(fd, level, name, &value, &length);
    return value;
  };
  EXPECT_EQ(get(IPPROTO_TCP, TCP_NODELAY), 1);
  EXPECT_EQ(get(SOL_SOCKET, SO_KEEPALIVE), 1);
  EXPECT_EQ(get(IPPROTO_TCP, TCP_KEEPIDLE), 7);
  EXPECT_EQ(get(IPPROTO_TCP, TCP_KEEPINTVL), 3);
  EXPECT_EQ(get(IPPROTO_TCP, TCP_KEEPCNT), 4);
  close(fd);
}

}  // namespace
}  // namespace tillerpad::kit
