#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/async_result.hpp>

#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "kit/common/log.h"
#include "kit/pairing/paired_records.h"
#include "kit/pairing/record_store.h"

namespace tillerpad::host {

class SerialQueue;

// The paired phones, oldest first, backed by the record store. Every change
// is persisted before it shows in the list and is then announced once.
// The store may block on the keyring for a long time, so its writes and
// removals run on a worker thread of their own ("app.tillerpad.keychain");
// the list, onChange and every completion are on the service thread.
class DeviceRegistry {
 public:
  // Null on success, else the store's error; called on the service thread.
  using Completion = std::function<void(std::exception_ptr)>;
  // Writes waiting for the keyring beyond this many fail at once.
  static constexpr std::size_t storeQueueCapacity = 16;

  // Loads the list at once, on the calling thread (before the service runs).
  DeviceRegistry(asio::any_io_executor executor, kit::RecordStore<kit::PairedDevice> store, kit::Logger log);
  ~DeviceRegistry();  // waits for the store's work already queued
  DeviceRegistry(const DeviceRegistry&) = delete;
  DeviceRegistry& operator=(const DeviceRegistry&) = delete;

  const std::vector<kit::PairedDevice>& devices() const { return devices_; }
  std::optional<kit::PairedDevice> device(const kit::Uuid& id) const;

  // Saves, then replaces any entry with that id by this one at the end.
  // A store failure goes to `done` and changes nothing.
  void add(kit::PairedDevice device, Completion done);
  // Deletes from the store, then from the list; announces even when the id
  // was not listed. A store failure goes to `done` and changes nothing.
  void remove(kit::Uuid id, Completion done);

  // The same as asio operations, e.g. with asio::use_awaitable (a store
  // failure is thrown). Not cancellable: the keyring finishes what it began.
  template <class Token>
  auto asyncAdd(kit::PairedDevice device, Token&& token) {
    return asio::async_initiate<Token, void(std::exception_ptr)>(
        [this](auto handler, kit::PairedDevice d) { add(std::move(d), completionOf(std::move(handler))); }, token,
        std::move(device));
  }
  template <class Token>
  auto asyncRemove(kit::Uuid id, Token&& token) {
    return asio::async_initiate<Token, void(std::exception_ptr)>(
        [this](auto handler, kit::Uuid i) { remove(i, completionOf(std::move(handler))); }, token, id);
  }

  // True once every change asked for so far has left the store's thread
  // (its completion is queued on the service thread); false after `limit`.
  bool waitUntilStored(std::chrono::milliseconds limit);

  std::function<void()> onChange = [] {};

 private:
  template <class Handler>
  static Completion completionOf(Handler handler) {
    // asio's handlers move only; Completion must copy.
    auto shared = std::make_shared<Handler>(std::move(handler));
    return [shared](std::exception_ptr error) { std::move (*shared)(error); };
  }
  // Runs `work` on the store's thread, then `apply` (on success) and `done`
  // on the service thread.
  void runOnStore(std::function<void()> work, std::function<void()> apply, Completion done);

  asio::any_io_executor executor_;
  kit::RecordStore<kit::PairedDevice> store_;
  kit::Logger log_;
  std::vector<kit::PairedDevice> devices_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  std::unique_ptr<SerialQueue> storeQueue_;  // last: stops first
};

}  // namespace tillerpad::host
