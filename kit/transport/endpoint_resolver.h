#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <variant>

#include "kit/transport/bonjour.h"

namespace tillerpad::kit {

struct HostPortEndpoint {
  std::string host;
  std::uint16_t port = 0;
  friend bool operator==(const HostPortEndpoint&, const HostPortEndpoint&) = default;
};

// A DNS-SD service as a browse result names it.
struct ServiceEndpoint {
  std::string name;
  std::string type = std::string(Bonjour::serviceType);
  std::string domain = "local";
  friend bool operator==(const ServiceEndpoint&, const ServiceEndpoint&) = default;
};

using NetworkEndpoint = std::variant<HostPortEndpoint, ServiceEndpoint>;

class ResolveError : public std::runtime_error {
 public:
  enum class Case { unreachable, timedOut };

  static ResolveError unreachable(std::optional<std::error_code> error = std::nullopt) {
    return ResolveError(Case::unreachable, error);
  }
  static ResolveError timedOut() { return ResolveError(Case::timedOut, std::nullopt); }

  Case errorCase() const { return case_; }
  const std::optional<std::error_code>& networkError() const { return error_; }

 private:
  ResolveError(Case c, std::optional<std::error_code> error);
  Case case_;
  std::optional<std::error_code> error_;
};

// Finds the host and port behind a DNS-SD service (Avahi on Linux).
class ServiceLookup {
 public:
  // Called once, from any thread: the address, or nothing when the service
  // cannot be found.
  using Done = std::function<void(std::optional<HostPortEndpoint>)>;
  virtual ~ServiceLookup() = default;
  virtual void lookup(const ServiceEndpoint& service, Done done) = 0;
};

// Turns an endpoint into a host and port, proving a service reachable with a
// plain TCP connection first. Exactly one of success, unreachable and
// time-out settles a resolution; whatever comes later is ignored.
class EndpointResolver {
 public:
  // `executor` runs one thing at a time (the service thread, or a strand);
  // resolutions are awaited on it.
  EndpointResolver(asio::any_io_executor executor, std::shared_ptr<ServiceLookup> lookup);

  // Host-and-port endpoints come back at once, without network activity.
  // Throws ResolveError.
  asio::awaitable<HostPortEndpoint> resolve(NetworkEndpoint endpoint, std::chrono::milliseconds timeout);

 private:
  asio::any_io_executor executor_;
  std::shared_ptr<ServiceLookup> lookup_;
};

}  // namespace tillerpad::kit
