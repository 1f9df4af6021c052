#pragma once

#include <cstdint>
#include <string>

namespace tillerpad::kit {

// A peer as a connection reports it: a host (an address text, or a name) and
// a port; or something that is no host-and-port at all (a named service, a
// local socket), which only carries a description.
struct Endpoint {
  enum class Kind { hostPort, other };

  Kind kind = Kind::other;
  std::string host;  // address text ("192.168.1.5", "fe80::1%eth0") or a name
  std::uint16_t port = 0;

  static Endpoint hostPort(std::string host, std::uint16_t port) { return {Kind::hostPort, std::move(host), port}; }
  static Endpoint other(std::string description) { return {Kind::other, std::move(description), 0}; }

  bool isHostPort() const { return kind == Kind::hostPort; }
  // "host:port", "[v6]:port", or the description.
  std::string text() const {
    if (!isHostPort()) return host;
    bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
  }

  friend bool operator==(const Endpoint&, const Endpoint&) = default;
};

}  // namespace tillerpad::kit
