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
  auto empty = TransportParameters::server({}).tlsOptions.psks;
  auto two = TransportParameters::server({a, b}).tlsOptions.psks;
  ASSERT_EQ(empty.size(), 1u);
  ASSERT_EQ(two, (std::vector{two[0], a, b}));
  EXPECT_TRUE(two[0].identity.isDevice() && two[0].identity != empty[0].identity);
  EXPECT_TRUE(two[0].key != empty[0].key && two[0].key != PreSharedKey::Key{});
  EXPECT_EQ(TransportParameters::client(a).tlsOptions.psks, std::vector{a});
}

TEST(TransportParametersTest, DescriptionHidesTheKey) {
  auto a = fixedKey(0xAB, "11111111-1111-4111-8111-111111111111");
  auto text = describe(a);
  EXPECT_NE(text.find("d:11111111-1111-4111-8111-111111111111"), std::string::npos);
  EXPECT_NE(text.find("<redacted>"), std::string::npos);
  EXPECT_EQ(text.find("ab"), text.find("AB")) << text;  // neither is there
}

TEST(TransportParametersTest, IsUnknownIdentityOnlyForAlert115) {
  auto tlsError = [](std::optional<std::uint8_t> alert) {
    return std::make_exception_ptr(ConnectionError(std::make_error_code(std::errc::protocol_error), "TLS handshake failed", alert));
  };
  EXPECT_TRUE(TransportParameters::isUnknownIdentity(tlsError(115)));
  for (auto other : {tlsError(40), tlsError(114), tlsError(116), tlsError(std::nullopt), std::make_exception_ptr(ChannelError::timedOut()),
                     std::make_exception_ptr(std::runtime_error("115")), std::exception_ptr(), std::make_exception_ptr(42)}) {
    EXPECT_FALSE(TransportParameters::isUnknownIdentity(other));
  }
}

// Values other than the defaults, so that a setting that is never applied shows.
TEST(TransportParametersTest, TcpOptionsReachTheSocket) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  EXPECT_FALSE(applyTcpOptions(fd, {true, true, std::chrono::seconds(7), std::chrono::seconds(3), 4}));
  auto get = [fd](int level, int name) {
    int value = -1;
    socklen_t length = sizeof value;
    getsockopt(fd, level, name, &value, &length);
    return value;
  };
  EXPECT_EQ((std::vector{get(IPPROTO_TCP, TCP_NODELAY), get(SOL_SOCKET, SO_KEEPALIVE), get(IPPROTO_TCP, TCP_KEEPIDLE),
                         get(IPPROTO_TCP, TCP_KEEPINTVL), get(IPPROTO_TCP, TCP_KEEPCNT)}),
            (std::vector{1, 1, 7, 3, 4}));
  close(fd);
}

}  // namespace
}  // namespace tillerpad::kit
