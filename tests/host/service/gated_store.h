#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "kit/pairing/credential_store.h"
#include "kit/pairing/keychain_error.h"

namespace tillerpad::host::test {

// An in-memory store whose changes can fail, or be held as a keyring holds
// them behind an unlock prompt: until release(), or for at most 5 s.
class GatedStore : public kit::InMemoryCredentialStore {
 public:
  void write(kit::ByteView data, const std::string& account) override {
    pass();
    InMemoryCredentialStore::write(data, account);
  }
  void remove(const std::string& account) override {
    pass();
    InMemoryCredentialStore::remove(account);
  }

  void hold() {
    std::lock_guard lock(mutex_);
    holding_ = true;
  }
  void release() {
    {
      std::lock_guard lock(mutex_);
      holding_ = false;
    }
    changed_.notify_all();
  }
  void failChanges(bool fail) {
    std::lock_guard lock(mutex_);
    failing_ = fail;
  }
  // A change is waiting at the gate now.
  bool isHolding() {
    std::lock_guard lock(mutex_);
    return waiting_ > 0;
  }

 private:
  void pass() {
    std::unique_lock lock(mutex_);
    if (failing_) throw kit::KeychainError(kit::KeychainError::Status::locked, "the keyring stayed locked");
    ++waiting_;
    changed_.wait_for(lock, std::chrono::seconds(5), [this] { return !holding_; });
    --waiting_;
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  bool holding_ = false;
  bool failing_ = false;
  int waiting_ = 0;
};

// Runs `io` until `done` holds, for at most 5 s of real time: the registry's
// store works on a thread of its own.
template <class Io, class Predicate>
bool runUntil(Io& io, Predicate done) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!done() && std::chrono::steady_clock::now() < deadline) {
    io.restart();
    io.run_for(std::chrono::milliseconds(2));
  }
  return done();
}

}  // namespace tillerpad::host::test
