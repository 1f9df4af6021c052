#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "kit/common/log.h"
#include "kit/pairing/credential_store.h"

namespace tillerpad::platform {

// Whether the keyring may ask the user (unlock or create its collection).
// Headless there is nobody to answer: such a prompt would only hold up the
// pairing that waits for the keyring.
enum class KeyringPrompt { never, allowed };

inline constexpr std::chrono::milliseconds storeChoiceTimeout{3000};

// The persistent store for `service`, chosen once by what works:
// - no Secret Service on the session bus (or no bus): the file store under
//   $XDG_DATA_HOME, saying so in one log line;
// - with prompts allowed: the desktop keyring, which asks for its password
//   when it needs it; a keyring that is there but fails is reported as a
//   KeychainError, never replaced by files behind the user's back;
// - without prompts: the keyring when its default collection is unlocked or
//   opens without a prompt, else the file store, saying why in one line.
// Every call to the keyring here is bounded by `timeout`.
std::shared_ptr<kit::CredentialStore> makeCredentialStore(const std::string& service, const kit::Logger& logger,
                                                          KeyringPrompt prompt,
                                                          std::chrono::milliseconds timeout = storeChoiceTimeout);

}  // namespace tillerpad::platform
