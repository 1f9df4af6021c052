#pragma once

#include <memory>

#include "kit/common/log.h"
#include "kit/transport/endpoint_resolver.h"

namespace tillerpad::platform {

// Resolves DNS-SD services through the Avahi daemon. Without a daemon every
// lookup answers "not found" at once.
std::shared_ptr<kit::ServiceLookup> makeAvahiServiceLookup(kit::Logger log);

}  // namespace tillerpad::platform
