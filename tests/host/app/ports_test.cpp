// The ports' sources (command line, settings) and the start-up check of a
// fixed port against holders the end-to-end test (tests/e2e/ports_test.sh,
// a second desktop) does not try.
#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ip/udp.hpp>
#include <asio/ip/v6_only.hpp>

#include "host/app/ports.h"
#include "platform/fake/in_memory_user_defaults.h"

namespace tillerpad::host {
namespace {

using Value = platform::UserDefaults::Value;

TEST(PortsTest, CommandLineValues) {
  const std::pair<const char*, std::optional<std::uint16_t>> cases[] = {
      {"1", 1}, {"65535", 65535}, {"0", std::nullopt}, {"", std::nullopt}, {"+80", std::nullopt},
      {"80 ", std::nullopt}, {"4294967377", std::nullopt},  // 2^32 + 81 must not wrap to 81
  };
  for (const auto& [text, port] : cases) EXPECT_EQ(parsePort(text), port) << text;
}

TEST(PortsTest, TheCommandLineWinsAndASettingThatIsNoPortIsNamed) {
  struct Case {
    std::optional<Value> port, fastPort;
    std::optional<std::uint16_t> portOption, fastPortOption;
    std::uint16_t tcp, udp;
    const char* warnedKey;  // null: no warning
  };
  const Case cases[] = {
      {Value(std::int64_t{47800}), Value(std::int64_t{0}), {}, {}, 47800, 0, nullptr},
      {Value(std::int64_t{47800}), Value(std::int64_t{47801}), 5000, {}, 5000, 47801, nullptr},
      {Value(std::string("x")), {}, 5000, 5001, 5000, 5001, nullptr},  // replaced, so not read
      {Value(std::int64_t{-1}), {}, {}, {}, 0, 0, "port"},
      {{}, Value(47801.5), {}, {}, 0, 0, "fastPort"},
      {{}, Value(true), {}, {}, 0, 0, "fastPort"},
  };
  for (const auto& c : cases) {
    platform::fake::InMemoryUserDefaults defaults;
    if (c.port) defaults.setValue("port", *c.port);
    if (c.fastPort) defaults.setValue("fastPort", *c.fastPort);
    auto sink = std::make_shared<kit::RecordingLogSink>();
    auto ports = choosePorts(c.portOption, c.fastPortOption, defaults, kit::Logger(sink, "test", "app"));
    EXPECT_EQ(ports.tcp, c.tcp);
    EXPECT_EQ(ports.udp, c.udp);
    auto warning = c.warnedKey ? std::string("Ignoring the setting \"") + c.warnedKey +
                                     "\": not a port number from 1 to 65535"
                               : std::string();
    EXPECT_EQ(sink->records().size(), c.warnedKey ? 1u : 0u);
    if (c.warnedKey) EXPECT_EQ(sink->count(warning), 1u);
  }
}

// A holder on IPv6 only, and one that allows sharing (only a check without
// SO_REUSEADDR sees that one), are found before the desktop starts.
TEST(PortsTest, AHeldPortIsFoundAndTheCheckLeavesAFreeOneFree) {
  using asio::ip::tcp;
  using asio::ip::udp;
  asio::io_context io;
  tcp::acceptor v6only(io, tcp::v6());
  v6only.set_option(asio::ip::v6_only(true));
  v6only.bind({tcp::v6(), 0});
  v6only.listen();
  udp::socket shared(io, udp::v4());
  shared.set_option(udp::socket::reuse_address(true));
  shared.bind({udp::v4(), 0});
  Ports tcpHeld{v6only.local_endpoint().port(), 0}, udpHeld{0, shared.local_endpoint().port()};

  EXPECT_EQ(portProblem(tcpHeld), "TCP port " + std::to_string(tcpHeld.tcp) +
                                      " is already in use (is Tillerpad already running?)");
  EXPECT_EQ(portProblem(udpHeld), "UDP port " + std::to_string(udpHeld.udp) +
                                      " is already in use (is Tillerpad already running?)");
  v6only.close();
  shared.close();
  for (int twice = 0; twice < 2; ++twice) {
    EXPECT_EQ(portProblem(tcpHeld), std::nullopt);
    EXPECT_EQ(portProblem(udpHeld), std::nullopt);
  }
}

}  // namespace
}  // namespace tillerpad::host
