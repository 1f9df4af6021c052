#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kit/common/bytes.h"
#include "kit/transport/clock.h"
#include "kit/transport/endpoint.h"

namespace tillerpad::kit {

// An interface address with its netmask, both 4 bytes (IPv4) or both 16
// bytes (IPv6), in network byte order.
class Subnet {
 public:
  // Nothing when the lengths differ or are neither 4 nor 16.
  static std::optional<Subnet> make(Bytes address, Bytes mask);

  // True when `bytes` has this subnet's length and agrees with the address
  // on every bit of the mask.
  bool contains(ByteView bytes) const;

  const Bytes& address() const { return address_; }
  const Bytes& mask() const { return mask_; }

  friend bool operator==(const Subnet&, const Subnet&) = default;

 private:
  Subnet(Bytes address, Bytes mask) : address_(std::move(address)), mask_(std::move(mask)) {}
  Bytes address_;
  Bytes mask_;
};

// One entry of the system's interface enumeration, as getifaddrs gives it.
struct InterfaceAddress {
  enum class Family { none, ipv4, ipv6, other };

  std::string name;
  bool isUp = false;
  Family family = Family::none;  // none: the entry has no address
  Bytes address;
  std::optional<Bytes> netmask;  // absent: the entry has no netmask
};

// Tells whether the interfaces changed since it was last asked. Each user
// has its own; not shared between threads.
class InterfaceWatch {
 public:
  virtual ~InterfaceWatch() = default;
  // Never blocks.
  virtual bool changed() = 0;
};

// Where the interface list comes from; tests give lists directly.
class InterfaceSource {
 public:
  virtual ~InterfaceSource() = default;
  // Nothing when the enumeration fails.
  virtual std::optional<std::vector<InterfaceAddress>> interfaces() const = 0;
  // A watch of address and link changes; null when the source has none.
  virtual std::unique_ptr<InterfaceWatch> watch() const { return nullptr; }
};

// getifaddrs; changes come from a routing netlink socket.
class SystemInterfaceSource final : public InterfaceSource {
 public:
  std::optional<std::vector<InterfaceAddress>> interfaces() const override;
  std::unique_ptr<InterfaceWatch> watch() const override;
};

// Admits only peers on the desktop's own networks: loopback, link-local,
// and addresses inside the subnet of an interface that is up. A coarse guard
// in front of TLS, not authentication. Pure functions.
namespace LocalNetworkPolicy {

// Subnets of the entries that are up and have an IPv4 or IPv6 address and
// a netmask, in enumeration order; empty when enumeration fails.
std::vector<Subnet> subnetsOf(const std::vector<InterfaceAddress>& interfaces);
std::vector<Subnet> currentSubnets(const InterfaceSource& source);

// The admission decision; names are refused without resolving them.
bool isAllowed(const Endpoint& endpoint, const std::vector<Subnet>& subnets);
// isAllowed against the interfaces as they are now, read afresh per call.
bool allows(const Endpoint& endpoint, const InterfaceSource& source);

}  // namespace LocalNetworkPolicy

// The admission decision over subnets read at most once per `maxAge`, and
// again as soon as the interfaces change: it is asked for every connection
// and every new datagram source, and a flood must not cost an interface
// enumeration each. Confined to one thread or strand; each user has its own.
class CachedLocalNetworkPolicy {
 public:
  static constexpr std::chrono::milliseconds defaultMaxAge{1000};

  CachedLocalNetworkPolicy(const InterfaceSource& source, std::shared_ptr<Clock> clock,
                           Clock::Duration maxAge = defaultMaxAge);
  bool allows(const Endpoint& endpoint);

 private:
  const InterfaceSource& source_;
  std::shared_ptr<Clock> clock_;
  Clock::Duration maxAge_;
  std::unique_ptr<InterfaceWatch> watch_;
  std::vector<Subnet> subnets_;
  std::optional<Clock::TimePoint> readAt_;
};

}  // namespace tillerpad::kit
