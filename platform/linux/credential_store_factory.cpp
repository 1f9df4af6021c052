#include "platform/linux/credential_store_factory.h"

#include "platform/linux/file_credential_store.h"
#include "platform/linux/secret_service_credential_store.h"

namespace tillerpad::platform {

std::shared_ptr<kit::CredentialStore> makeCredentialStore(const std::string& service, const kit::Logger& logger,
                                                          std::chrono::milliseconds timeout) {
  if (sessionBusOffersSecretService(timeout)) return std::make_shared<SecretServiceCredentialStore>(service);
  auto dataHome = FileCredentialStore::defaultDataHome();
  if (!dataHome) {
    throw kit::KeychainError(kit::KeychainError::Status::unavailable,
                             "No Secret Service and no home folder to keep pairing records in");
  }
  auto store = std::make_shared<FileCredentialStore>(*dataHome, service);
  logger.notice("No Secret Service on the session bus; pairing records are kept in " + store->directory().string());
  return store;
}

}  // namespace tillerpad::platform
