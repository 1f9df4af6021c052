#pragma once

#include <functional>

#include "platform/user_defaults.h"

namespace tillerpad::host {

// The two sharing switches, kept in the user defaults. A value that is absent
// or not a Boolean reads as true.
class MacSettings {
 public:
  static constexpr const char* shareClipboardKey = "shareClipboard";
  static constexpr const char* allowScreenViewingKey = "allowScreenViewing";

  explicit MacSettings(platform::UserDefaults& defaults);

  bool shareClipboard() const { return shareClipboard_; }
  bool allowScreenViewing() const { return allowScreenViewing_; }

  // Every assignment, also of the current value, is stored and then reported
  // through onChange (the server re-sends the sharing settings).
  void setShareClipboard(bool value);
  void setAllowScreenViewing(bool value);

  std::function<void()> onChange = [] {};

 private:
  platform::UserDefaults& defaults_;
  bool shareClipboard_;
  bool allowScreenViewing_;
};

}  // namespace tillerpad::host
