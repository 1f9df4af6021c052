#pragma once

#include <cstdint>
#include <string>

#include "kit/transport/bonjour.h"

namespace tillerpad::platform {

// Advertises the desktop's listener by DNS-SD so that phones can find it.
// When the system has no DNS-SD responder, discovery is unavailable: the
// adapter says so in the log and the service goes on without it.
class ServiceAdvertiser {
 public:
  virtual ~ServiceAdvertiser() = default;

  // Publishes "_tillerpad._tcp" on `port` with `txt` under `name` (or an
  // alternative name when another host holds it). Replaces what was published.
  virtual void publish(const std::string& name, std::uint16_t port, const kit::Bonjour::TxtRecord& txt) = 0;
  // Takes the advertisement back; publishing again later is allowed.
  virtual void withdraw() = 0;
};

}  // namespace tillerpad::platform
