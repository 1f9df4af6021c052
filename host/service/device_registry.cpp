#include "host/service/device_registry.h"

#include <fmt/format.h>

#include <algorithm>

namespace tillerpad::host {

DeviceRegistry::DeviceRegistry(kit::RecordStore<kit::PairedDevice> store, kit::Logger log)
    : store_(std::move(store)), log_(std::move(log)) {
  try {
    devices_ = store_.all();
  } catch (const std::exception& e) {
    // The service goes on without paired phones rather than not at all.
    log_.error(fmt::format("Could not load paired devices: {}", e.what()));
    return;
  }
  std::stable_sort(devices_.begin(), devices_.end(),
                   [](const auto& a, const auto& b) { return a.pairedAt < b.pairedAt; });
}

std::optional<kit::PairedDevice> DeviceRegistry::device(const kit::Uuid& id) const {
  auto it = std::find_if(devices_.begin(), devices_.end(), [&](const auto& d) { return d.id == id; });
  if (it == devices_.end()) return std::nullopt;
  return *it;
}

void DeviceRegistry::add(const kit::PairedDevice& device) {
  store_.save(device);
  std::erase_if(devices_, [&](const auto& d) { return d.id == device.id; });
  devices_.push_back(device);
  if (onChange) onChange();
}

void DeviceRegistry::remove(const kit::Uuid& id) {
  store_.remove(id);
  std::erase_if(devices_, [&](const auto& d) { return d.id == id; });
  if (onChange) onChange();
}

}  // namespace tillerpad::host
