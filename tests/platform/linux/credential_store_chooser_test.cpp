// The chooser on each kind of session bus. Each case runs as its own ctest
// entry with the bus it needs (see CMakeLists.txt), since a process keeps its
// first session bus connection for life.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <iostream>

#include "kit/common/log.h"
#include "platform/linux/credential_store_factory.h"
#include "platform/linux/file_credential_store.h"
#include "platform/linux/secret_service_credential_store.h"
#include "tests/platform/linux/temp_dir.h"

namespace tillerpad::platform {
namespace {

namespace fs = std::filesystem;

kit::Bytes bytesOf(std::string_view text) { return kit::Bytes(text.begin(), text.end()); }

bool busIs(const char* mode) {
  const char* actual = std::getenv("TILLERPAD_TEST_BUS");
  return actual && std::string(actual) == mode;
}

const char* const kService = "app.tillerpad.Tillerpad.devices";

struct Choice {
  std::shared_ptr<kit::CredentialStore> store;
  std::vector<kit::LogRecord> lines;
};

Choice choose(KeyringPrompt prompt) {
  auto sink = std::make_shared<kit::RecordingLogSink>();
  auto began = std::chrono::steady_clock::now();
  auto store = makeCredentialStore(kService, kit::Logger(sink, "Tillerpad", "registry"), prompt);
  auto took = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - began);
  std::cout << "store chosen in " << took.count() << " ms\n";
  return {store, sink->records()};
}

fs::path filesUnder(const test::TempDir& dataHome) { return dataHome.path() / "tillerpad" / "credentials" / kService; }

// Chose the file store under the data home, said why in one line, and it works.
void expectFilesSaid(const Choice& choice, const test::TempDir& dataHome, const std::string& why) {
  auto* files = dynamic_cast<FileCredentialStore*>(choice.store.get());
  ASSERT_NE(files, nullptr);
  EXPECT_EQ(files->directory(), filesUnder(dataHome));
  ASSERT_EQ(choice.lines.size(), 1u);
  EXPECT_EQ(choice.lines[0].level, kit::LogLevel::notice);
  EXPECT_EQ(choice.lines[0].text, why + "; pairing records are kept in " + filesUnder(dataHome).string());
  choice.store->write(bytesOf("x"), "A");
  EXPECT_TRUE(fs::exists(filesUnder(dataHome) / "A"));
}

TEST(CredentialStoreChooser, WithoutSessionBusUsesFilesAndSaysWhere) {
  if (!busIs("none")) GTEST_SKIP() << "needs TILLERPAD_TEST_BUS=none and an unreachable session bus";
  for (auto prompt : {KeyringPrompt::never, KeyringPrompt::allowed}) {
    test::TempDir dataHome;
    test::ScopedEnv env("XDG_DATA_HOME", dataHome.path().c_str());
    expectFilesSaid(choose(prompt), dataHome, "No Secret Service on the session bus");
  }
}

// Where the keyring may ask the user, a keyring that fails is an error, never
// files behind the user's back; headless it is files, said in one line.
TEST(CredentialStoreChooser, AKeyringThatFailsIsAnErrorOrSaidFilesHeadless) {
  if (!busIs("broken")) GTEST_SKIP() << "needs run_on_private_bus.sh broken";
  test::TempDir dataHome;
  test::ScopedEnv env("XDG_DATA_HOME", dataHome.path().c_str());
  auto asking = choose(KeyringPrompt::allowed);
  EXPECT_NE(dynamic_cast<SecretServiceCredentialStore*>(asking.store.get()), nullptr);
  EXPECT_TRUE(asking.lines.empty());
  try {
    asking.store->write(bytesOf("x"), "A");
    ADD_FAILURE() << "a keyring that cannot start accepted a write";
  } catch (const kit::KeychainError& e) {
    EXPECT_EQ(e.status(), kit::KeychainError::Status::unavailable) << e.what();
    EXPECT_EQ(std::string(e.what()).rfind("Keychain error -1: ", 0), 0u) << e.what();
  }
  EXPECT_THROW(asking.store->all(), kit::KeychainError);
  EXPECT_FALSE(fs::exists(dataHome.path() / "tillerpad"));

  auto headless = choose(KeyringPrompt::never);
  EXPECT_NE(dynamic_cast<FileCredentialStore*>(headless.store.get()), nullptr);
  ASSERT_EQ(headless.lines.size(), 1u);
  EXPECT_EQ(headless.lines[0].text.rfind("The keyring does not answer (Keychain error -1: ", 0), 0u)
      << headless.lines[0].text;
}

TEST(CredentialStoreChooser, AnUnlockedKeyringIsUsed) {
  if (!busIs("keyring")) GTEST_SKIP() << "needs run_on_private_bus.sh keyring";
  test::TempDir dataHome;
  test::ScopedEnv env("XDG_DATA_HOME", dataHome.path().c_str());
  for (auto prompt : {KeyringPrompt::never, KeyringPrompt::allowed}) {
    auto choice = choose(prompt);
    ASSERT_NE(dynamic_cast<SecretServiceCredentialStore*>(choice.store.get()), nullptr);
    EXPECT_TRUE(choice.lines.empty());
    choice.store->write(bytesOf("x"), "A");
    EXPECT_EQ(choice.store->all().size(), 1u);
    choice.store->remove("A");
  }
  EXPECT_FALSE(fs::exists(dataHome.path() / "tillerpad"));
}

// No login keyring unlocked at log-in: a write would wait for a prompt that
// nobody sees. Headless, files are used at once and the log says why; the
// tray may let the keyring ask.
TEST(CredentialStoreChooser, ALockedOrMissingKeyringMeansFilesHeadless) {
  std::string why;
  if (busIs("keyring-locked")) {
    why = "The keyring is locked and cannot ask for its password here";
  } else if (busIs("keyring-empty")) {
    why = "The keyring has no default collection and cannot ask to create one here";
  } else {
    GTEST_SKIP() << "needs run_on_private_bus.sh keyring-locked or keyring-empty";
  }
  test::TempDir dataHome;
  test::ScopedEnv env("XDG_DATA_HOME", dataHome.path().c_str());
  expectFilesSaid(choose(KeyringPrompt::never), dataHome, why);
  auto asking = choose(KeyringPrompt::allowed);
  EXPECT_NE(dynamic_cast<SecretServiceCredentialStore*>(asking.store.get()), nullptr);
  EXPECT_TRUE(asking.lines.empty());
}

}  // namespace
}  // namespace tillerpad::platform
