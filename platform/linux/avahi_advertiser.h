#pragma once

#include <memory>

#include "kit/common/log.h"
#include "platform/service_advertiser.h"

namespace tillerpad::platform {

// DNS-SD through the Avahi daemon (client library, threaded poll). Waits for
// the daemon when it is not running and publishes again after it restarts.
std::unique_ptr<ServiceAdvertiser> makeAvahiAdvertiser(kit::Logger log);

}  // namespace tillerpad::platform
