#pragma once

#include <string>

#include "kit/common/uuid.h"
#include "platform/system_info.h"
#include "platform/user_defaults.h"

namespace tillerpad::host {

// This desktop's identity toward phones: a persisted ID and the computer's
// name at start-up.
struct MacIdentity {
  kit::Uuid id;
  std::string name;

  static constexpr const char* idKey = "macID";

  // Reads "macID" (or makes and stores a new one when it is absent or not a
  // UUID); the name is the pretty host name, then the host name, then "Mac".
  static MacIdentity load(platform::UserDefaults& defaults, const platform::SystemInfo& system);

  // The application's short version, compiled in; "0" when the build has none.
  static const std::string& shortVersion();
};

}  // namespace tillerpad::host
