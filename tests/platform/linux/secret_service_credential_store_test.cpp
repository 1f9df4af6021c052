// Runs against a real gnome-keyring on a private session bus, started by
// run_on_private_bus.sh; skips with the reason when there is none.
#include <gtest/gtest.h>

#include <cstdlib>

#include "kit/common/log.h"
#include "platform/linux/secret_service_credential_store.h"
#include "tests/kit/pairing/credential_store_contract.h"

namespace tillerpad::platform {
namespace {

using kit::test::bytesOf;

std::optional<std::string> keyringUnavailable() {
  const char* mode = std::getenv("TILLERPAD_TEST_BUS");
  if (mode && std::string(mode) == "keyring") return std::nullopt;
  const char* why = std::getenv("TILLERPAD_TEST_BUS_UNAVAILABLE");
  return std::string("no keyring to test against: ") +
         (why ? why : "not started through run_on_private_bus.sh keyring");
}

std::string freshService() { return "app.tillerpad.test." + kit::Uuid::random().text(); }

using kit::test::CredentialStoreContract;
using kit::test::PersistentCredentialStoreContract;
const kit::test::StoreFactory kKeyring{
    "SecretServiceCredentialStore",
    [] { return std::make_shared<SecretServiceCredentialStore>(freshService()); },
    [](kit::CredentialStore& store) -> std::shared_ptr<kit::CredentialStore> {
      return std::make_shared<SecretServiceCredentialStore>(dynamic_cast<SecretServiceCredentialStore&>(store).service());
    },
    keyringUnavailable};
INSTANTIATE_TEST_SUITE_P(Keyring, CredentialStoreContract, ::testing::Values(kKeyring));
INSTANTIATE_TEST_SUITE_P(Keyring, PersistentCredentialStoreContract, ::testing::Values(kKeyring));

class Keyring : public ::testing::Test {
 protected:
  void SetUp() override {
    if (auto reason = keyringUnavailable()) GTEST_SKIP() << *reason;
  }
};

TEST_F(Keyring, NewItemsAreLabelledUpdatesKeepTheItemAndServicesDoNotSeeEachOther) {
  std::string service = freshService();
  SecretServiceCredentialStore devices(service), macs(freshService());
  EXPECT_EQ(devices.labelOf("A"), std::nullopt);
  devices.write(bytesOf("one"), "A");
  devices.write(bytesOf("device"), "A");
  EXPECT_EQ(devices.labelOf("A"), "Tillerpad (" + service + ")");
  macs.write(bytesOf("mac"), "A");
  macs.remove("A");
  EXPECT_TRUE(macs.all().empty());
  EXPECT_EQ(devices.all(), (std::map<std::string, kit::Bytes>{{"A", bytesOf("device")}}));
}

TEST_F(Keyring, ACallPastItsTimeLimitFails) {
  SecretServiceCredentialStore store(freshService(), std::chrono::milliseconds(0));
  try {
    store.all();
    ADD_FAILURE() << "a call with no time left succeeded";
  } catch (const kit::KeychainError& e) {
    EXPECT_EQ(e.status(), kit::KeychainError::Status::timedOut) << e.what();
  }
}

}  // namespace
}  // namespace tillerpad::platform
