// The ports' sources (command line, settings) and the start-up check of a
// fixed port; the check against a running desktop is tests/e2e/ports_test.sh.
#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ip/udp.hpp>
#include <asio/ip/v6_only.hpp>

#include <memory>

#include "host/app/ports.h"
#include "platform/fake/in_memory_user_defaults.h"

namespace tillerpad::host {
namespace {

using Value = platform::UserDefaults::Value;

TEST(PortsTest, CommandLineValues) {
  const std::pair<const char*, std::optional<std::uint16_t>> cases[] = {
      {"1", 1},          {"47800", 47800},   {"65535", 65535}, {"0", std::nullopt},  {"65536", std::nullopt},
      {"", std::nullopt}, {"x", std::nullopt}, {"80x", std::nullopt}, {"-1", std::nullopt}, {"+80", std::nullopt},
      {" 80", std::nullopt}, {"4294967377", std::nullopt},  // 2^32 + 81: must not wrap to 81
  };
  for (const auto& [text, port] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(parsePort(text), port);
  }
}

TEST(PortsTest, SettingsAreUsedUnlessTheCommandLineGivesAPortAndBadOnesAreNamed) {
  struct Case {
    const char* name;
    std::optional<Value> port, fastPort;
    std::optional<std::uint16_t> portOption, fastPortOption;
    Ports expected;
    const char* warnedKey;  // null: no warning
  };
  const Case cases[] = {
      {"nothing anywhere", {}, {}, {}, {}, {0, 0}, nullptr},
      {"both settings", Value(std::int64_t{47800}), Value(std::int64_t{47801}), {}, {}, {47800, 47801}, nullptr},
      {"0 lets the system choose", Value(std::int64_t{0}), {}, {}, {}, {0, 0}, nullptr},
      {"the command line wins", Value(std::int64_t{47800}), Value(std::int64_t{47801}), 5000, 5001, {5000, 5001},
       nullptr},
      {"one option, one setting", {}, Value(std::int64_t{47801}), 5000, {}, {5000, 47801}, nullptr},
      {"too large", {}, Value(std::int64_t{65536}), {}, {}, {0, 0}, "fastPort"},
      {"negative", Value(std::int64_t{-1}), {}, {}, {}, {0, 0}, "port"},
      {"text", Value(std::string("47800")), {}, {}, {}, {0, 0}, "port"},
      {"fraction", {}, Value(47801.5), {}, {}, {0, 0}, "fastPort"},
      {"Boolean", {}, Value(true), {}, {}, {0, 0}, "fastPort"},
      {"a bad setting the option replaces", Value(std::string("x")), {}, 5000, {}, {5000, 0}, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    platform::fake::InMemoryUserDefaults defaults;
    if (c.port) defaults.setValue("port", *c.port);
    if (c.fastPort) defaults.setValue("fastPort", *c.fastPort);
    auto sink = std::make_shared<kit::RecordingLogSink>();
    auto ports = choosePorts(c.portOption, c.fastPortOption, defaults, kit::Logger(sink, "test", "app"));
    EXPECT_EQ(ports.tcp, c.expected.tcp);
    EXPECT_EQ(ports.udp, c.expected.udp);
    auto records = sink->records();
    if (c.warnedKey) {
      ASSERT_EQ(records.size(), 1u);
      EXPECT_EQ(records[0].text,
                std::string("Ignoring the setting \"") + c.warnedKey + "\": not a port number from 1 to 65535");
    } else {
      EXPECT_TRUE(records.empty());
    }
  }
}

// A port taken in each way another program may hold it; each must be found
// taken before the desktop starts.
TEST(PortsTest, AHeldPortIsReportedAndAFreeOneIsNot) {
  using asio::ip::tcp;
  using asio::ip::udp;
  asio::io_context io;
  struct Holder {
    const char* name;
    bool isTcp;
    std::function<std::uint16_t()> hold;  // binds port 0, returns the port
  };
  std::vector<std::unique_ptr<tcp::acceptor>> acceptors;
  std::vector<std::unique_ptr<udp::socket>> sockets;
  auto tcpHolder = [&](tcp::endpoint at, bool v6only, bool listen) {
    auto a = std::make_unique<tcp::acceptor>(io, at.protocol());
    if (at.protocol() == tcp::v6()) a->set_option(asio::ip::v6_only(v6only));
    a->bind(at);
    if (listen) a->listen();
    acceptors.push_back(std::move(a));
    return acceptors.back()->local_endpoint().port();
  };
  auto udpHolder = [&](udp::endpoint at, bool reuse) {
    auto s = std::make_unique<udp::socket>(io, at.protocol());
    // A holder that allows sharing: only a check without SO_REUSEADDR sees it.
    s->set_option(udp::socket::reuse_address(reuse));
    s->bind(at);
    sockets.push_back(std::move(s));
    return sockets.back()->local_endpoint().port();
  };
  const Holder holders[] = {
      {"TCP listening on 127.0.0.1", true,
       [&] { return tcpHolder({asio::ip::make_address("127.0.0.1"), 0}, false, true); }},
      {"TCP listening on [::], IPv6 only", true, [&] { return tcpHolder({tcp::v6(), 0}, true, true); }},
      {"TCP bound, not listening", true, [&] { return tcpHolder({tcp::v4(), 0}, false, false); }},
      {"UDP on 127.0.0.1", false, [&] { return udpHolder({asio::ip::make_address("127.0.0.1"), 0}, false); }},
      {"UDP on 0.0.0.0 with SO_REUSEADDR", false, [&] { return udpHolder({udp::v4(), 0}, true); }},
      {"UDP on [::1]", false, [&] { return udpHolder({asio::ip::make_address("::1"), 0}, false); }},
  };
  for (const auto& h : holders) {
    SCOPED_TRACE(h.name);
    std::uint16_t port = h.hold();
    Ports ports;
    (h.isTcp ? ports.tcp : ports.udp) = port;
    std::string expected = std::string(h.isTcp ? "TCP" : "UDP") + " port " + std::to_string(port) +
                           " is already in use (is Tillerpad already running?)";
    EXPECT_EQ(portProblem(ports).value_or("(none)"), expected);
    acceptors.clear();
    sockets.clear();
    // Released, the same port is fine, and the check leaves it free.
    EXPECT_EQ(portProblem(ports), std::nullopt);
    EXPECT_EQ(portProblem(ports), std::nullopt);
  }
  EXPECT_EQ(portProblem(Ports{}), std::nullopt);
}

}  // namespace
}  // namespace tillerpad::host
