#pragma once

#include <map>
#include <mutex>
#include <string>

#include "kit/common/bytes.h"
#include "kit/pairing/keychain_error.h"

namespace tillerpad::kit {

// A map from account name to an opaque byte string, kept somewhere secure.
// Failures are KeychainError. Persistent stores may block on the system's
// keyring: call them off any thread that must stay responsive.
class CredentialStore {
 public:
  virtual ~CredentialStore() = default;

  // Every stored item; an empty map when there are none.
  virtual std::map<std::string, Bytes> all() = 0;
  // Creates or replaces the item of `account`.
  virtual void write(ByteView data, const std::string& account) = 0;
  // Deletes the item of `account`; a missing item is not an error.
  virtual void remove(const std::string& account) = 0;
};

// Keeps nothing across runs: tests, previews and the phone's simulator.
class InMemoryCredentialStore : public CredentialStore {
 public:
  std::map<std::string, Bytes> all() override {
    std::lock_guard lock(mutex_);
    return items_;
  }
  void write(ByteView data, const std::string& account) override {
    std::lock_guard lock(mutex_);
    items_[account] = Bytes(data.begin(), data.end());
  }
  void remove(const std::string& account) override {
    std::lock_guard lock(mutex_);
    items_.erase(account);
  }

 private:
  std::mutex mutex_;
  std::map<std::string, Bytes> items_;
};

}  // namespace tillerpad::kit
