#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace tillerpad::kit {

// A failure of the secure credential store. The statuses are the adapters'
// own; the text is "Keychain error <status>: <message>".
class KeychainError : public std::runtime_error {
 public:
  enum class Status : std::int32_t {
    unavailable = -1,    // no store answers (no session bus, no Secret Service)
    locked = -2,         // the keyring is locked and was not unlocked
    accessDenied = -3,   // the store refused, or the user dismissed a prompt
    timedOut = -4,       // the store did not answer in time
    ioFailed = -5,       // reading or writing the store's files failed
    invalidAccount = -6, // an account name the store cannot hold
    failed = -7,         // any other failure of the store
  };

  // `message` is the adapter's detail; empty means the status's own text.
  explicit KeychainError(Status status, std::string message = {});

  Status status() const { return status_; }
  std::int32_t code() const { return static_cast<std::int32_t>(status_); }
  const std::string& message() const { return message_; }

  // The message of a status, or "Unknown error".
  static std::string messageFor(std::int32_t status);

  // Equal when the statuses are equal.
  friend bool operator==(const KeychainError& a, const KeychainError& b) { return a.status_ == b.status_; }

 private:
  Status status_;
  std::string message_;
};

}  // namespace tillerpad::kit
