#include "kit/transport/local_network_policy.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#endif

#include <algorithm>
#include <cerrno>
#include <memory>

namespace tillerpad::kit {

std::optional<Subnet> Subnet::make(Bytes address, Bytes mask) {
  if (address.size() != mask.size() || (address.size() != 4 && address.size() != 16)) return std::nullopt;
  return Subnet(std::move(address), std::move(mask));
}

bool Subnet::contains(ByteView bytes) const {
  if (bytes.size() != address_.size()) return false;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (((bytes[i] ^ address_[i]) & mask_[i]) != 0) return false;
  }
  return true;
}

namespace {

Bytes bytesOf(const sockaddr* address) {
  if (address->sa_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
    const auto* p = reinterpret_cast<const std::uint8_t*>(&v4->sin_addr);
    return Bytes(p, p + 4);
  }
  const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
  const auto* p = reinterpret_cast<const std::uint8_t*>(&v6->sin6_addr);
  return Bytes(p, p + 16);
}

bool isAllowedV4(ByteView address, const std::vector<Subnet>& subnets) {
  if (address[0] == 127) return true;                        // loopback 127.0.0.0/8
  if (address[0] == 169 && address[1] == 254) return true;   // link-local 169.254.0.0/16
  return std::any_of(subnets.begin(), subnets.end(), [&](const Subnet& s) { return s.contains(address); });
}

bool isAllowedV6(ByteView address, const std::vector<Subnet>& subnets) {
  static constexpr std::uint8_t mappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  if (std::equal(mappedPrefix, mappedPrefix + 12, address.begin())) return isAllowedV4(address.subspan(12), subnets);
  static constexpr std::uint8_t loopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  if (std::equal(loopback, loopback + 16, address.begin())) return true;          // ::1
  if (address[0] == 0xfe && (address[1] & 0xc0) == 0x80) return true;              // fe80::/10
  return std::any_of(subnets.begin(), subnets.end(), [&](const Subnet& s) { return s.contains(address); });
}

}  // namespace

std::optional<std::vector<InterfaceAddress>> SystemInterfaceSource::interfaces() const {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return std::nullopt;
  std::unique_ptr<ifaddrs, decltype(&freeifaddrs)> guard(list, &freeifaddrs);
  std::vector<InterfaceAddress> out;
  for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
    InterfaceAddress item;
    item.name = entry->ifa_name ? entry->ifa_name : "";
    item.isUp = (entry->ifa_flags & IFF_UP) != 0;
    if (entry->ifa_addr) {
      auto family = entry->ifa_addr->sa_family;
      item.family = family == AF_INET    ? InterfaceAddress::Family::ipv4
                    : family == AF_INET6 ? InterfaceAddress::Family::ipv6
                                         : InterfaceAddress::Family::other;
      if (family == AF_INET || family == AF_INET6) {
        item.address = bytesOf(entry->ifa_addr);
        if (entry->ifa_netmask && entry->ifa_netmask->sa_family == family) item.netmask = bytesOf(entry->ifa_netmask);
      }
    }
    out.push_back(std::move(item));
  }
  return out;
}

namespace {

#ifdef __linux__
// Subscribed to link and address events; any message means "read again".
class NetlinkInterfaceWatch final : public InterfaceWatch {
 public:
  explicit NetlinkInterfaceWatch(int fd) : fd_(fd) {}
  ~NetlinkInterfaceWatch() override { ::close(fd_); }
  bool changed() override {
    bool any = false;
    char buffer[4096];
    for (;;) {
      ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n > 0) {
        any = true;
        continue;
      }
      // ENOBUFS: events were lost, so something changed.
      if (n < 0 && errno == ENOBUFS) {
        any = true;
        continue;
      }
      return any;
    }
  }

 private:
  int fd_;
};
#endif

}  // namespace

std::unique_ptr<InterfaceWatch> SystemInterfaceSource::watch() const {
#ifdef __linux__
  int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
  if (fd < 0) return nullptr;
  sockaddr_nl address{};
  address.nl_family = AF_NETLINK;
  address.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return nullptr;
  }
  return std::make_unique<NetlinkInterfaceWatch>(fd);
#else
  return nullptr;
#endif
}

std::vector<Subnet> LocalNetworkPolicy::subnetsOf(const std::vector<InterfaceAddress>& interfaces) {
  std::vector<Subnet> subnets;
  for (const auto& entry : interfaces) {
    if (!entry.isUp || !entry.netmask) continue;
    if (entry.family != InterfaceAddress::Family::ipv4 && entry.family != InterfaceAddress::Family::ipv6) continue;
    std::size_t length = entry.family == InterfaceAddress::Family::ipv4 ? 4 : 16;
    if (entry.address.size() != length) continue;
    if (auto subnet = Subnet::make(entry.address, *entry.netmask)) subnets.push_back(std::move(*subnet));
  }
  return subnets;
}

std::vector<Subnet> LocalNetworkPolicy::currentSubnets(const InterfaceSource& source) {
  auto interfaces = source.interfaces();
  if (!interfaces) return {};
  return subnetsOf(*interfaces);
}

bool LocalNetworkPolicy::isAllowed(const Endpoint& endpoint, const std::vector<Subnet>& subnets) {
  if (!endpoint.isHostPort()) return false;
  std::string host = endpoint.host;
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  // A zone ("fe80::1%eth0") names the link, not the address.
  if (auto percent = host.find('%'); percent != std::string::npos) host.resize(percent);

  std::uint8_t buffer[16];
  if (inet_pton(AF_INET, host.c_str(), buffer) == 1) return isAllowedV4(ByteView(buffer, 4), subnets);
  if (inet_pton(AF_INET6, host.c_str(), buffer) == 1) return isAllowedV6(ByteView(buffer, 16), subnets);
  return false;  // a name: never resolved here
}

bool LocalNetworkPolicy::allows(const Endpoint& endpoint, const InterfaceSource& source) {
  return isAllowed(endpoint, currentSubnets(source));
}

CachedLocalNetworkPolicy::CachedLocalNetworkPolicy(const InterfaceSource& source, std::shared_ptr<Clock> clock,
                                                   Clock::Duration maxAge)
    : source_(source), clock_(std::move(clock)), maxAge_(maxAge), watch_(source.watch()) {}

bool CachedLocalNetworkPolicy::allows(const Endpoint& endpoint) {
  auto now = clock_->now();
  bool changed = watch_ && watch_->changed();
  if (changed || !readAt_ || now - *readAt_ >= maxAge_) {
    subnets_ = LocalNetworkPolicy::currentSubnets(source_);
    readAt_ = now;
  }
  return LocalNetworkPolicy::isAllowed(endpoint, subnets_);
}

}  // namespace tillerpad::kit
