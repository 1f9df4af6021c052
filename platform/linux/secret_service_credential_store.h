#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>

#include "kit/pairing/credential_store.h"

namespace tillerpad::platform {

// Credentials in the desktop keyring through the Secret Service API
// (gnome-keyring, KWallet, KeePassXC): one item per account with the
// attributes "service" and "account", labelled "Tillerpad (" + service + ")"
// when created. Every call blocks on D-Bus, perhaps behind an unlock prompt,
// for at most `timeout`; never call it on a thread that must stay responsive.
class SecretServiceCredentialStore : public kit::CredentialStore {
 public:
  static constexpr std::chrono::seconds defaultTimeout{60};

  explicit SecretServiceCredentialStore(std::string service, std::chrono::milliseconds timeout = defaultTimeout);

  const std::string& service() const { return service_; }

  std::map<std::string, kit::Bytes> all() override;
  void write(kit::ByteView data, const std::string& account) override;
  void remove(const std::string& account) override;

  // The label of an item, for tests and diagnostics; nothing when absent.
  std::optional<std::string> labelOf(const std::string& account);

 private:
  std::string service_;
  std::chrono::milliseconds timeout_;
};

// Whether the session bus offers a Secret Service, running or activatable.
// False when there is no session bus to ask; throws KeychainError when the
// bus is there but does not answer.
bool sessionBusOffersSecretService(std::chrono::milliseconds timeout);

// What the keyring's default collection allows without asking anyone.
enum class DefaultCollection {
  unlocked,     // open, or opened just now without a prompt
  needsPrompt,  // locked; only the user could open it
  missing,      // none yet; creating one asks the user for a password
};
// Never shows a prompt: an unlock that would need one is dismissed. Throws
// KeychainError when the keyring does not answer within `timeout`.
DefaultCollection probeDefaultCollection(std::chrono::milliseconds timeout);

}  // namespace tillerpad::platform
