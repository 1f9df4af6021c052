#pragma once

#include <memory>

#include "platform/service_browser.h"

namespace tillerpad::platform {

// Browses through the Avahi daemon and resolves each result for its TXT record.
std::unique_ptr<ServiceBrowser> makeAvahiServiceBrowser();

}  // namespace tillerpad::platform
