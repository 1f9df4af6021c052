#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <utility>

#include "kit/transport/local_network_policy.h"

namespace tillerpad::kit {
namespace {

Bytes ip(const char* text) {
  std::uint8_t buffer[16];
  if (inet_pton(AF_INET, text, buffer) == 1) return Bytes(buffer, buffer + 4);
  if (inet_pton(AF_INET6, text, buffer) == 1) return Bytes(buffer, buffer + 16);
  throw std::invalid_argument(text);
}

InterfaceAddress entry(const char* name, const char* address, const char* mask, bool up = true) {
  auto bytes = ip(address);
  return InterfaceAddress{name, up, bytes.size() == 4 ? InterfaceAddress::Family::ipv4 : InterfaceAddress::Family::ipv6,
                          bytes, ip(mask)};
}

// A given list (nothing: the enumeration fails), counting its reads; its
// watch reports a change when the test says so.
class ScriptedInterfaces : public InterfaceSource {
 public:
  struct Flag : InterfaceWatch {
    explicit Flag(std::shared_ptr<bool> f) : flag(std::move(f)) {}
    bool changed() override { return std::exchange(*flag, false); }
    std::shared_ptr<bool> flag;
  };
  explicit ScriptedInterfaces(std::optional<std::vector<InterfaceAddress>> l) : list(std::move(l)) {}
  std::optional<std::vector<InterfaceAddress>> interfaces() const override {
    ++reads;
    return list;
  }
  std::unique_ptr<InterfaceWatch> watch() const override { return std::make_unique<Flag>(changed); }

  std::optional<std::vector<InterfaceAddress>> list;
  mutable int reads = 0;
  std::shared_ptr<bool> changed = std::make_shared<bool>(false);
};

TEST(LocalNetworkPolicyTest, AdmissionRules) {
  const std::vector<InterfaceAddress> lan = {
      entry("lo", "127.0.0.1", "255.0.0.0"),
      entry("wlan0", "192.168.1.5", "255.255.255.0"),
      entry("wlan0", "2001:db8:1:2::5", "ffff:ffff:ffff:ffff::"),
      entry("eth1", "10.9.0.1", "255.255.0.0", /*up=*/false),
      entry("eth2", "2001:db8:9::1", "ffff:ffff:ffff::", /*up=*/false),
      entry("eth3", "10.4.0.1", "255.255.252.0"),  // a /22
      entry("eth4", "172.16.0.1", "ffff::"),       // lengths differ: no subnet
      InterfaceAddress{"eth5", true, InterfaceAddress::Family::ipv4, ip("10.1.0.2"), std::nullopt},
      InterfaceAddress{"eth5", true, InterfaceAddress::Family::other, Bytes(6, 0xaa), Bytes(6, 0xff)},
      InterfaceAddress{"tun0", true, InterfaceAddress::Family::none, {}, std::nullopt},
  };
  struct Case {
    const char* host;
    bool withInterfaces;
    bool allowed;
  };
  const Case cases[] = {
      {"192.168.1.23", true, true}, {"192.168.2.23", true, false},
      {"::ffff:192.168.1.23", true, true}, {"::ffff:192.168.2.23", true, false},
      {"::ffff:127.0.0.1", false, true}, {"127.0.0.1", false, true}, {"127.200.1.1", false, true}, {"::1", false, true},
      {"169.254.10.20", false, true}, {"fe80::1", false, true}, {"fe80::1%eth0", false, true},
      {"febf::1", false, true}, {"fec0::1", false, false},  // the edges of fe80::/10
      {"2001:db8:1:2::99", true, true}, {"[2001:db8:1:2::99]", true, true}, {"2001:db8:1:3::99", true, false},
      {"2001:db8:1:2::99", false, false}, {"192.168.1.23", false, false},
      {"10.9.0.7", true, false}, {"2001:db8:9::7", true, false},  // their interfaces are down
      {"10.4.3.200", true, true}, {"10.4.4.1", true, false}, {"172.16.0.2", true, false}, {"10.1.0.3", true, false},
      {"8.8.8.8", true, false}, {"::ffff:8.8.8.8", true, false},
      {"mac.local", true, false}, {"localhost", true, false},  // names are never resolved
      {"", true, false}, {"127.1", true, false},  // not an address form we accept
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.host) + (c.withInterfaces ? " with interfaces" : " without interfaces"));
    ScriptedInterfaces source(c.withInterfaces ? std::optional(lan) : std::nullopt);
    EXPECT_EQ(LocalNetworkPolicy::allows(Endpoint::hostPort(c.host, 51000), source), c.allowed);
  }
  EXPECT_FALSE(LocalNetworkPolicy::isAllowed(Endpoint::other("/run/tillerpad.sock"), {}));
  EXPECT_FALSE(LocalNetworkPolicy::isAllowed(Endpoint::other("127.0.0.1"), {}));
  auto own = LocalNetworkPolicy::currentSubnets(SystemInterfaceSource());  // the machine's own enumeration
  EXPECT_TRUE(std::any_of(own.begin(), own.end(), [](const Subnet& s) { return s.contains(ip("127.0.0.1")); }));
}

TEST(LocalNetworkPolicyTest, CachedPolicyReadsInterfacesOncePerSecondAndAfterEachChange) {
  ScriptedInterfaces source(std::vector{entry("wlan0", "192.168.1.5", "255.255.255.0")});
  auto clock = std::make_shared<ManualClock>();
  CachedLocalNetworkPolicy policy(source, clock);
  auto peer = Endpoint::hostPort("192.168.1.9", 5000), stranger = Endpoint::hostPort("10.1.1.1", 5000);

  int allowed = 0;
  for (int i = 0; i < 1000; ++i) allowed += policy.allows(peer) + policy.allows(stranger);
  EXPECT_EQ(allowed, 1000);  // every peer, no stranger
  EXPECT_EQ(source.reads, 1);

  // The machine moves to another network: the change is seen at once.
  source.list = {entry("wlan0", "10.1.1.2", "255.255.255.0")};
  *source.changed = true;
  EXPECT_TRUE(policy.allows(stranger));
  EXPECT_FALSE(policy.allows(peer));
  EXPECT_EQ(source.reads, 2);

  // Without a notification, within a second at the latest.
  source.list = {entry("wlan0", "192.168.1.5", "255.255.255.0")};
  clock->advance(std::chrono::milliseconds(999));
  EXPECT_FALSE(policy.allows(peer));
  clock->advance(std::chrono::milliseconds(1));
  EXPECT_TRUE(policy.allows(peer));
  EXPECT_EQ(source.reads, 3);
}

}  // namespace
}  // namespace tillerpad::kit
