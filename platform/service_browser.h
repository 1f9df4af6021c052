#pragma once

#include <chrono>
#include <optional>
#include <stdexcept>

#include "kit/common/uuid.h"
#include "kit/transport/endpoint_resolver.h"

namespace tillerpad::platform {

// DNS-SD cannot be used at all (no daemon reachable).
class BrowserUnavailable : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Finds the desktop whose TXT record carries a given ID among the services
// of type "_tillerpad._tcp" on the network.
class ServiceBrowser {
 public:
  virtual ~ServiceBrowser() = default;
  // Blocks at most `timeout`; nothing when no such desktop answered in time.
  // Throws BrowserUnavailable.
  virtual std::optional<kit::ServiceEndpoint> find(const kit::Uuid& macID, std::chrono::milliseconds timeout) = 0;
};

}  // namespace tillerpad::platform
