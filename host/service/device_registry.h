#pragma once

#include <functional>
#include <optional>
#include <vector>

#include "kit/common/log.h"
#include "kit/pairing/paired_records.h"
#include "kit/pairing/record_store.h"

namespace tillerpad::host {

// The paired phones, oldest first, backed by the record store. Every change
// is persisted before it shows in the list and is then announced once.
// Service thread only.
class DeviceRegistry {
 public:
  DeviceRegistry(kit::RecordStore<kit::PairedDevice> store, kit::Logger log);

  const std::vector<kit::PairedDevice>& devices() const { return devices_; }
  std::optional<kit::PairedDevice> device(const kit::Uuid& id) const;

  // Saves, then replaces any entry with that id by this one at the end.
  // A store failure goes to the caller and changes nothing.
  void add(const kit::PairedDevice& device);
  // Deletes from the store, then from the list; announces even when the id
  // was not listed. A store failure goes to the caller and changes nothing.
  void remove(const kit::Uuid& id);

  std::function<void()> onChange = [] {};

 private:
  kit::RecordStore<kit::PairedDevice> store_;
  kit::Logger log_;
  std::vector<kit::PairedDevice> devices_;
};

}  // namespace tillerpad::host
