#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "kit/common/log.h"
#include "kit/pairing/credential_store.h"

namespace tillerpad::platform {

// The persistent store for `service`: the desktop keyring when the session bus
// offers a Secret Service, else the file store under $XDG_DATA_HOME (saying so
// once in the log). A keyring that is there but fails is reported as a
// KeychainError, never replaced by files behind the user's back.
std::shared_ptr<kit::CredentialStore> makeCredentialStore(const std::string& service, const kit::Logger& logger,
                                                          std::chrono::milliseconds timeout = std::chrono::seconds(10));

}  // namespace tillerpad::platform
