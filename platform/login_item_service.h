#pragma once

#include <string>

namespace tillerpad::platform {

// Whether the application opens when the user logs in.
class LoginItemService {
 public:
  enum class Status { notRegistered, enabled, requiresApproval, notFound };

  virtual ~LoginItemService() = default;
  virtual Status status() const = 0;
  // Throw std::runtime_error with a description the user can act on.
  virtual void registerApp() = 0;
  virtual void unregisterApp() = 0;
};

}  // namespace tillerpad::platform
