#include "host/service/device_registry.h"

#include <asio/execution/outstanding_work.hpp>
#include <asio/post.hpp>
#include <asio/prefer.hpp>
#include <fmt/format.h>

#include <algorithm>

#include "host/input/serial_queue.h"
#include "kit/pairing/keychain_error.h"

namespace tillerpad::host {

DeviceRegistry::DeviceRegistry(asio::any_io_executor executor, kit::RecordStore<kit::PairedDevice> store,
                               kit::Logger log)
    : executor_(std::move(executor)),
      store_(std::move(store)),
      log_(std::move(log)),
      storeQueue_(std::make_unique<SerialQueue>("app.tillerpad.keychain", storeQueueCapacity, log_)) {
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

DeviceRegistry::~DeviceRegistry() {
  *alive_ = false;
  storeQueue_.reset();
}

std::optional<kit::PairedDevice> DeviceRegistry::device(const kit::Uuid& id) const {
  auto it = std::find_if(devices_.begin(), devices_.end(), [&](const auto& d) { return d.id == id; });
  if (it == devices_.end()) return std::nullopt;
  return *it;
}

void DeviceRegistry::runOnStore(std::function<void()> work, std::function<void()> apply, Completion done) {
  auto finish = [this, alive = std::weak_ptr<bool>(alive_), apply = std::move(apply),
                 done = std::move(done)](std::exception_ptr error) mutable {
    if (!alive.lock()) return;  // the registry went with the service
    if (!error) {
      apply();
      if (onChange) onChange();
    }
    if (done) done(error);
  };
  // The posted continuation owns `finish`: nothing of the caller's is
  // released on the store's thread.
  auto continuation = std::make_shared<decltype(finish)>(std::move(finish));
  auto task = [work = std::move(work), continuation, executor = executor_,
               // Keeps a running io_context from returning while the keyring works.
               guard = asio::prefer(executor_, asio::execution::outstanding_work.tracked)]() mutable {
    std::exception_ptr error;
    try {
      work();
    } catch (...) {
      error = std::current_exception();
    }
    // Moved, not copied: the last reference must not drop on this thread.
    asio::post(executor, [continuation = std::move(continuation), error] { (*continuation)(error); });
  };
  if (!storeQueue_->post(std::move(task))) {
    auto error = std::make_exception_ptr(
        kit::KeychainError(kit::KeychainError::Status::failed, "Too many keyring changes are waiting"));
    asio::post(executor_, [continuation, error] { (*continuation)(error); });
  }
}

bool DeviceRegistry::waitUntilStored(std::chrono::milliseconds limit) { return storeQueue_->waitIdle(limit); }

void DeviceRegistry::add(kit::PairedDevice device, Completion done) {
  runOnStore([store = store_, device] { store.save(device); },
             [this, device] {
               std::erase_if(devices_, [&](const auto& d) { return d.id == device.id; });
               devices_.push_back(device);
             },
             std::move(done));
}

void DeviceRegistry::remove(kit::Uuid id, Completion done) {
  runOnStore([store = store_, id] { store.remove(id); },
             [this, id] { std::erase_if(devices_, [&](const auto& d) { return d.id == id; }); }, std::move(done));
}

}  // namespace tillerpad::host
