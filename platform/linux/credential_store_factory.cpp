#include "platform/linux/credential_store_factory.h"

#include "platform/linux/file_credential_store.h"
#include "platform/linux/secret_service_credential_store.h"

namespace tillerpad::platform {
namespace {

std::shared_ptr<kit::CredentialStore> fileStore(const std::string& service, const kit::Logger& logger,
                                                const std::string& why) {
  auto dataHome = FileCredentialStore::defaultDataHome();
  if (!dataHome) {
    throw kit::KeychainError(kit::KeychainError::Status::unavailable,
                             why + ", and no home folder to keep pairing records in");
  }
  auto store = std::make_shared<FileCredentialStore>(*dataHome, service);
  logger.notice(why + "; pairing records are kept in " + store->directory().string());
  return store;
}

}  // namespace

std::shared_ptr<kit::CredentialStore> makeCredentialStore(const std::string& service, const kit::Logger& logger,
                                                          KeyringPrompt prompt, std::chrono::milliseconds timeout) {
  bool offered = false;
  try {
    offered = sessionBusOffersSecretService(timeout);
  } catch (const kit::KeychainError& e) {
    if (prompt == KeyringPrompt::allowed) throw;
    return fileStore(service, logger, std::string("The session bus does not answer (") + e.what() + ")");
  }
  if (!offered) return fileStore(service, logger, "No Secret Service on the session bus");
  if (prompt == KeyringPrompt::allowed) return std::make_shared<SecretServiceCredentialStore>(service);

  try {
    switch (probeDefaultCollection(timeout)) {
      case DefaultCollection::unlocked: return std::make_shared<SecretServiceCredentialStore>(service);
      case DefaultCollection::needsPrompt:
        return fileStore(service, logger, "The keyring is locked and cannot ask for its password here");
      case DefaultCollection::missing:
        return fileStore(service, logger, "The keyring has no default collection and cannot ask to create one here");
    }
  } catch (const kit::KeychainError& e) {
    return fileStore(service, logger, std::string("The keyring does not answer (") + e.what() + ")");
  }
  return fileStore(service, logger, "The keyring is in an unknown state");
}

}  // namespace tillerpad::platform
