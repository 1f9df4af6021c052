#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include "kit/pairing/credential_store.h"

namespace tillerpad::platform {

// Credentials as one file per account in <root>/tillerpad/credentials/<service>/,
// for machines without a Secret Service. The folders are 0700 and the files
// 0600; every write replaces the whole file atomically (temporary file, fsync,
// rename), so a crash leaves either the old or the new value.
//
// Account and service names are escaped into file names ("%XX" for anything
// but letters, digits, "-", "_" and a "." that does not lead), so no name
// reaches outside its folder or looks like a temporary file.
class FileCredentialStore : public kit::CredentialStore {
 public:
  // `dataHome` is $XDG_DATA_HOME in the service; tests pass a temporary folder.
  FileCredentialStore(std::filesystem::path dataHome, std::string service);

  // $XDG_DATA_HOME, or $HOME/.local/share; nothing when neither is set.
  static std::optional<std::filesystem::path> defaultDataHome();

  const std::filesystem::path& directory() const { return directory_; }

  std::map<std::string, kit::Bytes> all() override;
  void write(kit::ByteView data, const std::string& account) override;
  void remove(const std::string& account) override;

  // Items larger than this are not credentials and are left out of all().
  static constexpr std::size_t maximumItemSize = 64 * 1024;

 private:
  // The store's folder, created 0700 when missing; -1 when it does not exist
  // and `create` is false.
  int openDirectory(bool create) const;

  std::filesystem::path directory_;
};

// The file name of an account, and back; nothing for names that do not map.
std::optional<std::string> credentialFileName(const std::string& account);
std::optional<std::string> accountFromCredentialFileName(const std::string& fileName);

}  // namespace tillerpad::platform
