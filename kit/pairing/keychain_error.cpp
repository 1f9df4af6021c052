#include "kit/pairing/keychain_error.h"

#include <fmt/format.h>

namespace tillerpad::kit {
namespace {

std::string text(KeychainError::Status status, const std::string& message) {
  auto code = static_cast<std::int32_t>(status);
  return fmt::format("Keychain error {}: {}", code, message.empty() ? KeychainError::messageFor(code) : message);
}

}  // namespace

KeychainError::KeychainError(Status status, std::string message)
    : std::runtime_error(text(status, message)),
      status_(status),
      message_(message.empty() ? messageFor(static_cast<std::int32_t>(status)) : std::move(message)) {}

std::string KeychainError::messageFor(std::int32_t status) {
  switch (static_cast<Status>(status)) {
    case Status::unavailable: return "No secret store is available";
    case Status::locked: return "The keyring is locked";
    case Status::accessDenied: return "Access to the keyring was denied";
    case Status::timedOut: return "The keyring did not answer in time";
    case Status::ioFailed: return "The credential files could not be read or written";
    case Status::invalidAccount: return "The account name cannot be stored";
    case Status::failed: return "The keyring failed";
  }
  return "Unknown error";
}

}  // namespace tillerpad::kit
