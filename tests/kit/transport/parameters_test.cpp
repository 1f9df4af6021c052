#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "kit/transport/channel_error.h"
#include "kit/transport/tls_connection.h"
#include "kit/transport/transport_parameters.h"

namespace tillerpad::kit {
namespace {

PreSharedKey fixedKey(std::uint8_t fill, const char* id) {
  PreSharedKey psk{PeerIdentity::device(*Uuid::parse(id)), {}};
  psk.key.fill(fill);
  return psk;
}

TEST(TransportParametersTest, ServerPutsAFreshPlaceholderFirst) {
  auto a = fixedKey(1, "11111111-1111-4111-8111-111111111111");
  auto b = fixedKey(2, "22222222-2222-4222-8222-222222222222");

  auto empty = TransportParameters::server({});
  ASSERT_EQ(empty.tlsOptions.psks.size(), 1u);
  EXPECT_EQ(empty.role, TransportParameters::Role::server);

  auto two = TransportParameters::server({a, b});
  ASSERT_EQ(two.tlsOptions.psks.size(), 3u);
  EXPECT_EQ(two.tlsOptions.psks[1], a);
  EXPECT_EQ(two.tlsOptions.psks[2], b);
  EXPECT_TRUE(two.tlsOptions.psks[0].identity.isDevice());

  // Each call makes its own placeholder, key and identity.
  EXPECT_NE(empty.tlsOptions.psks[0].identity, two.tlsOptions.psks[0].identity);
  EXPECT_NE(empty.tlsOptions.psks[0].key, two.tlsOptions.psks[0].key);
  EXPECT_NE(two.tlsOptions.psks[0].key, PreSharedKey::Key{});
}

TEST(TransportParametersTest, ClientOffersExactlyItsKeyWithTheFixedSettings) {
  auto a = fixedKey(1, "11111111-1111-4111-8111-111111111111");
  auto client = TransportParameters::client(a);
  EXPECT_EQ(client.role, TransportParameters::Role::client);
  ASSERT_EQ(client.tlsOptions.psks.size(), 1u);
  EXPECT_EQ(client.tlsOptions.psks[0].identity.text(), "d:11111111-1111-4111-8111-111111111111");
  EXPECT_EQ(client.tlsOptions.cipherSuite, 0xCCAC);
  EXPECT_EQ(client.tlsOptions.minimumVersion, 0x0303);
  EXPECT_EQ(client.tlsOptions.maximumVersion, 0x0303);
  const auto& tcp = client.tcpOptions;
  EXPECT_TRUE(tcp.noDelay);
  EXPECT_TRUE(tcp.keepAlive);
  EXPECT_EQ(tcp.keepAliveIdle.count(), 5);
  EXPECT_EQ(tcp.keepAliveInterval.count(), 2);
  EXPECT_EQ(tcp.keepAliveCount, 3);
  EXPECT_EQ(tcp.connectTimeout.count(), 5);
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

TEST(TransportParametersTest, TcpOptionsReachTheSocket) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  EXPECT_FALSE(applyTcpOptions(fd, TcpOptions{}));
  auto get = [fd](int level, int name) {
    int value = -1;
    socklen_t length = sizeof value;
    getsockopt(fd, level, name, &value, &length);
    return value;
  };
  EXPECT_EQ(get(IPPROTO_TCP, TCP_NODELAY), 1);
  EXPECT_EQ(get(SOL_SOCKET, SO_KEEPALIVE), 1);
  EXPECT_EQ(get(IPPROTO_TCP, TCP_KEEPIDLE), 5);
  EXPECT_EQ(get(IPPROTO_TCP, TCP_KEEPINTVL), 2);
  EXPECT_EQ(get(IPPROTO_TCP, TCP_KEEPCNT), 3);
  close(fd);
}

}  // namespace
}  // namespace tillerpad::kit
