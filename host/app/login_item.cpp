#include "host/app/login_item.h"

#include <fmt/format.h>

namespace tillerpad::host {

LoginItem::LoginItem(platform::LoginItemService& service, kit::Logger log)
    : service_(service), log_(std::move(log)), status_(service.status()) {}

void LoginItem::setEnabled(bool enabled) {
  try {
    if (enabled) {
      service_.registerApp();
    } else {
      service_.unregisterApp();
    }
  } catch (const std::exception& e) {
    log_.error(fmt::format("Login item change failed: {}", e.what()));
  }
  Status now = service_.status();
  if (now != status_) {
    status_ = now;
    if (onStatusChange) onStatusChange(now);
  }
}

}  // namespace tillerpad::host
