// The chooser on session buses without a usable keyring. Each case runs as its
// own ctest entry with the bus it needs (see CMakeLists.txt), since a process
// keeps its first session bus connection for life.
#include <gtest/gtest.h>

#include <cstdlib>

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

TEST(CredentialStoreChooser, WithoutSessionBusUsesFilesAndSaysWhere) {
  if (!busIs("none")) GTEST_SKIP() << "needs TILLERPAD_TEST_BUS=none and an unreachable session bus";
  test::TempDir dataHome;
  test::ScopedEnv env("XDG_DATA_HOME", dataHome.path().c_str());
  auto sink = std::make_shared<kit::RecordingLogSink>();
  auto store = makeCredentialStore("app.tillerpad.Tillerpad.devices", kit::Logger(sink, "Tillerpad", "registry"));

  auto* files = dynamic_cast<FileCredentialStore*>(store.get());
  ASSERT_NE(files, nullptr);
  fs::path expected = dataHome.path() / "tillerpad" / "credentials" / "app.tillerpad.Tillerpad.devices";
  EXPECT_EQ(files->directory(), expected);
  ASSERT_EQ(sink->records().size(), 1u);
  EXPECT_EQ(sink->records()[0].level, kit::LogLevel::notice);
  EXPECT_EQ(sink->records()[0].text,
            "No Secret Service on the session bus; pairing records are kept in " + expected.string());
  store->write(bytesOf("x"), "A");
  EXPECT_TRUE(fs::exists(expected / "A"));
}

TEST(CredentialStoreChooser, AKeyringThatFailsIsAnErrorNotAFallback) {
  if (!busIs("broken")) GTEST_SKIP() << "needs run_on_private_bus.sh broken";
  test::TempDir dataHome;
  test::ScopedEnv env("XDG_DATA_HOME", dataHome.path().c_str());
  auto sink = std::make_shared<kit::RecordingLogSink>();
  auto store = makeCredentialStore("app.tillerpad.Tillerpad.devices", kit::Logger(sink, "Tillerpad", "registry"));

  EXPECT_NE(dynamic_cast<SecretServiceCredentialStore*>(store.get()), nullptr);
  EXPECT_TRUE(sink->records().empty());
  try {
    store->write(bytesOf("x"), "A");
    ADD_FAILURE() << "a keyring that cannot start accepted a write";
  } catch (const kit::KeychainError& e) {
    EXPECT_EQ(e.status(), kit::KeychainError::Status::unavailable) << e.what();
    EXPECT_EQ(std::string(e.what()).rfind("Keychain error -1: ", 0), 0u) << e.what();
  }
  EXPECT_THROW(store->all(), kit::KeychainError);
  EXPECT_FALSE(fs::exists(dataHome.path() / "tillerpad"));
}

}  // namespace
}  // namespace tillerpad::platform
