#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "platform/linux/file_credential_store.h"
#include "tests/kit/pairing/credential_store_contract.h"
#include "tests/platform/linux/temp_dir.h"

namespace tillerpad::platform {
namespace {

namespace fs = std::filesystem;
using kit::Bytes;
using kit::test::bytesOf;
using test::TempDir;

// A store that owns the temporary folder it lives in.
std::shared_ptr<kit::CredentialStore> storeInTempDir() {
  struct Holder {
    TempDir dir;
    FileCredentialStore store{dir.path(), "app.tillerpad.test.devices"};
  };
  auto holder = std::make_shared<Holder>();
  return std::shared_ptr<kit::CredentialStore>(holder, &holder->store);
}

using kit::test::CredentialStoreContract;
using kit::test::PersistentCredentialStoreContract;
const kit::test::StoreFactory kFileStore{
    "FileCredentialStore", storeInTempDir, [](kit::CredentialStore& store) -> std::shared_ptr<kit::CredentialStore> {
      auto& files = dynamic_cast<FileCredentialStore&>(store);
      fs::path dataHome = files.directory().parent_path().parent_path().parent_path();
      return std::make_shared<FileCredentialStore>(dataHome, "app.tillerpad.test.devices");
    }};
INSTANTIATE_TEST_SUITE_P(Files, CredentialStoreContract, ::testing::Values(kFileStore));
INSTANTIATE_TEST_SUITE_P(Files, PersistentCredentialStoreContract, ::testing::Values(kFileStore));

mode_t modeOf(const fs::path& path) {
  struct stat info {};
  EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

void writeFile(const fs::path& path, const std::string& content) { std::ofstream(path, std::ios::binary) << content; }

class FileStore : public ::testing::Test {
 protected:
  TempDir home;
  FileCredentialStore store{home.path(), "app.tillerpad.Tillerpad.devices"};
};

TEST_F(FileStore, FolderAndFilesArePrivateWhateverTheUmask) {
  EXPECT_EQ(store.directory(), home.path() / "tillerpad" / "credentials" / "app.tillerpad.Tillerpad.devices");
  mode_t old = ::umask(0);
  store.write(bytesOf("secret"), "A");
  ::umask(old);
  EXPECT_EQ(modeOf(store.directory()), 0700u);
  EXPECT_EQ(modeOf(home.path() / "tillerpad"), 0700u);
  EXPECT_EQ(modeOf(store.directory() / "A"), 0600u);

  // A folder someone loosened is tightened again on the next write.
  fs::permissions(store.directory(), fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
  store.write(bytesOf("again"), "A");
  EXPECT_EQ(modeOf(store.directory()), 0700u);
}

// Only the store's own, well-named regular files are records: not what a
// write that died between fsync and rename left, links, folders, FIFOs,
// oversized files or names that are not an escaping's.
TEST_F(FileStore, OnlyItsOwnRecordsAreListed) {
  store.write(bytesOf("old"), "A");
  writeFile(store.directory() / ".A.tmp-0c0ffee0", "new");
  TempDir elsewhere;
  writeFile(elsewhere.path() / "target", "not a credential");
  fs::create_symlink(elsewhere.path() / "target", store.directory() / "B");
  fs::create_directory(store.directory() / "C");
  ASSERT_EQ(::mkfifo((store.directory() / "D").c_str(), 0600), 0);  // must not block the listing
  writeFile(store.directory() / "E", std::string(FileCredentialStore::maximumItemSize + 1, 'x'));
  writeFile(store.directory() / "%zz", "bad escape");
  writeFile(store.directory() / "%41", "non-canonical spelling of A");
  EXPECT_EQ(store.all(), (std::map<std::string, Bytes>{{"A", bytesOf("old")}}));
  store.write(bytesOf("newer"), "A");
  EXPECT_EQ(store.all(), (std::map<std::string, Bytes>{{"A", bytesOf("newer")}}));
  store.remove("B");  // removes the link, never its target
  EXPECT_TRUE(fs::exists(elsewhere.path() / "target"));
}

TEST_F(FileStore, NamesStayInsideTheFolder) {
  for (const std::string account : {"../../outside", "/etc/passwd", "..", "."}) store.write(bytesOf("x"), account);
  for (const auto& entry : fs::recursive_directory_iterator(home.path())) {
    if (entry.is_regular_file()) EXPECT_EQ(entry.path().parent_path(), store.directory()) << entry.path();
  }
  FileCredentialStore hostile(home.path(), "../../outside");
  hostile.write(bytesOf("x"), "A");
  EXPECT_EQ(hostile.directory().parent_path(), home.path() / "tillerpad" / "credentials");

  EXPECT_THROW(store.write(bytesOf("x"), ""), kit::KeychainError);
  EXPECT_THROW(store.write(bytesOf("x"), std::string(300, 'a')), kit::KeychainError);
}

TEST(CredentialFileName, EscapingIsOneToOne) {
  const struct {
    std::string account;
    std::string file;
  } cases[] = {
      {"6F9619FF-8B86-D011-B42D-00C04FC964FF", "6F9619FF-8B86-D011-B42D-00C04FC964FF"},
      {"a.b", "a.b"},
      {".hidden", "%2Ehidden"},
      {"..", "%2E."},
      {"a/b", "a%2Fb"},
      {"100%", "100%25"},
      {"Gerät", "Ger%C3%A4t"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(credentialFileName(c.account), c.file);
    EXPECT_EQ(accountFromCredentialFileName(c.file), c.account);
  }
  for (std::string foreign : {".A.tmp-0c0ffee0", "%2e.", "%41", "a%2", "a%", "%G0", ".", ".."}) {
    EXPECT_FALSE(accountFromCredentialFileName(foreign)) << foreign;
  }
}

TEST(FileCredentialStoreDataHome, FollowsTheXdgRules) {
  const struct {
    const char *dataHome, *home;
    std::optional<fs::path> expected;
  } cases[] = {{"/data/home", "/home/anna", "/data/home"},
               {"relative/is/ignored", "/home/anna", "/home/anna/.local/share"},
               {nullptr, nullptr, std::nullopt}};
  for (const auto& c : cases) {
    test::ScopedEnv data("XDG_DATA_HOME", c.dataHome), home("HOME", c.home);
    EXPECT_EQ(FileCredentialStore::defaultDataHome(), c.expected);
  }
}

}  // namespace
}  // namespace tillerpad::platform
