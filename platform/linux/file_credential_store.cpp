#include "platform/linux/file_credential_store.h"

#include "platform/linux/xdg_dirs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "kit/common/uuid.h"

namespace tillerpad::platform {
namespace {

using kit::Bytes;
using kit::KeychainError;
using Status = KeychainError::Status;

// Leaves room for the temporary name within the 255 bytes of a file name.
constexpr std::size_t kMaximumFileName = 200;

[[noreturn]] void failIo(const std::string& what, int error) {
  throw KeychainError(Status::ioFailed, what + ": " + std::strerror(error));
}

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }
  // Closes now, reporting the error a deferred write may show only here.
  int close() { return ::close(std::exchange(fd_, -1)); }

 private:
  int fd_;
};

bool isPlain(char c, bool leading) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
         (c == '.' && !leading);
}

std::string escape(const std::string& name) {
  static constexpr char hex[] = "0123456789ABCDEF";
  std::string out;
  for (std::size_t i = 0; i < name.size(); ++i) {
    char c = name[i];
    if (isPlain(c, i == 0)) {
      out += c;
    } else {
      auto b = static_cast<unsigned char>(c);
      out += '%';
      out += hex[b >> 4];
      out += hex[b & 0x0F];
    }
  }
  return out;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The folder <dataHome>/tillerpad/credentials/<service>, made 0700 step by step.
// Each step is opened without following links, so the key files cannot be
// redirected elsewhere by a link planted in the path.
Fd openOrCreateDirectory(int parent, const char* name, bool create) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) return Fd(fd);
    if (errno != ENOENT) failIo(std::string("Cannot open the folder ") + name, errno);
    if (!create) return Fd();
    if (::mkdirat(parent, name, 0700) != 0 && errno != EEXIST) {
      failIo(std::string("Cannot create the folder ") + name, errno);
    }
  }
  failIo(std::string("Cannot open the folder ") + name, errno);
}

void writeAll(int fd, kit::ByteView data) {
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      failIo("Cannot write a credential", errno);
    }
    done += static_cast<std::size_t>(n);
  }
}

// The whole file, or nothing when it is not a plain file of credential size.
std::optional<Bytes> readItem(int directory, const char* name) {
  Fd fd(::openat(directory, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (!fd) {
    if (errno == ENOENT || errno == ELOOP) return std::nullopt;  // gone meanwhile, or a link
    failIo("Cannot read a credential", errno);
  }
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) failIo("Cannot read a credential", errno);
  if (!S_ISREG(info.st_mode) || static_cast<std::size_t>(info.st_size) > FileCredentialStore::maximumItemSize) {
    return std::nullopt;
  }
  Bytes out;
  std::uint8_t buffer[4096];
  for (;;) {
    ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      failIo("Cannot read a credential", errno);
    }
    if (n == 0) break;
    out.insert(out.end(), buffer, buffer + n);
    if (out.size() > FileCredentialStore::maximumItemSize) return std::nullopt;
  }
  return out;
}

std::string temporaryName(const std::string& fileName) {
  std::string suffix = kit::Uuid::random().text().substr(0, 8);
  return "." + fileName + ".tmp-" + suffix;
}

}  // namespace

std::optional<std::string> credentialFileName(const std::string& account) {
  if (account.empty()) return std::nullopt;
  std::string name = escape(account);
  if (name.size() > kMaximumFileName) return std::nullopt;
  return name;
}

std::optional<std::string> accountFromCredentialFileName(const std::string& fileName) {
  std::string account;
  for (std::size_t i = 0; i < fileName.size(); ++i) {
    char c = fileName[i];
    if (c != '%') {
      account += c;
      continue;
    }
    if (i + 2 >= fileName.size()) return std::nullopt;
    int hi = hexValue(fileName[i + 1]), lo = hexValue(fileName[i + 2]);
    if (hi < 0 || lo < 0) return std::nullopt;
    account += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  // Only the one spelling this store writes maps back; temporary files and
  // anything foreign do not.
  if (credentialFileName(account) != fileName) return std::nullopt;
  return account;
}

FileCredentialStore::FileCredentialStore(std::filesystem::path dataHome, std::string service) {
  auto folder = credentialFileName(service);
  if (!folder) throw KeychainError(Status::invalidAccount, "The service name cannot be stored");
  directory_ = std::move(dataHome) / "tillerpad" / "credentials" / *folder;
}

std::optional<std::filesystem::path> FileCredentialStore::defaultDataHome() { return xdg::dataHome(); }

int FileCredentialStore::openDirectory(bool create) const {
  std::filesystem::path dataHome = directory_.parent_path().parent_path().parent_path();
  if (create) {
    std::error_code error;
    std::filesystem::create_directories(dataHome, error);
    if (error) throw KeychainError(Status::ioFailed, "Cannot create " + dataHome.string() + ": " + error.message());
  }
  Fd base(::open(dataHome.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!base) {
    if (errno == ENOENT && !create) return -1;
    failIo("Cannot open " + dataHome.string(), errno);
  }
  Fd app = openOrCreateDirectory(base.get(), "tillerpad", create);
  if (!app) return -1;
  Fd credentials = openOrCreateDirectory(app.get(), "credentials", create);
  if (!credentials) return -1;
  Fd service = openOrCreateDirectory(credentials.get(), directory_.filename().c_str(), create);
  if (!service) return -1;
  // A folder made earlier by hand, or under a loose umask, is tightened.
  struct stat info {};
  if (::fstat(service.get(), &info) != 0) failIo("Cannot inspect the credential folder", errno);
  if ((info.st_mode & 07777) != 0700 && ::fchmod(service.get(), 0700) != 0) {
    failIo("Cannot restrict the credential folder", errno);
  }
  return service.release();
}

std::map<std::string, Bytes> FileCredentialStore::all() {
  std::map<std::string, Bytes> items;
  int fd = openDirectory(false);
  if (fd < 0) return items;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::fdopendir(fd), ::closedir);
  if (!dir) {
    int error = errno;
    ::close(fd);
    failIo("Cannot list the credential folder", error);
  }
  while (dirent* entry = ::readdir(dir.get())) {
    auto account = accountFromCredentialFileName(entry->d_name);
    if (!account) continue;
    if (auto data = readItem(::dirfd(dir.get()), entry->d_name)) items.emplace(std::move(*account), std::move(*data));
  }
  return items;
}

void FileCredentialStore::write(kit::ByteView data, const std::string& account) {
  auto name = credentialFileName(account);
  if (!name) throw KeychainError(Status::invalidAccount);
  Fd directory(openDirectory(true));
  std::string temporary = temporaryName(*name);
  Fd file(::openat(directory.get(), temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!file) failIo("Cannot create a credential", errno);
  try {
    // The umask may have taken bits away, never added any; make it exact.
    if (::fchmod(file.get(), 0600) != 0) failIo("Cannot restrict a credential", errno);
    writeAll(file.get(), data);
    if (::fsync(file.get()) != 0) failIo("Cannot write a credential", errno);
    if (file.close() != 0) failIo("Cannot write a credential", errno);
    if (::renameat(directory.get(), temporary.c_str(), directory.get(), name->c_str()) != 0) {
      failIo("Cannot replace a credential", errno);
    }
  } catch (...) {
    ::unlinkat(directory.get(), temporary.c_str(), 0);
    throw;
  }
  // The rename itself must reach the disk before the write counts as done.
  if (::fsync(directory.get()) != 0) failIo("Cannot write a credential", errno);
}

void FileCredentialStore::remove(const std::string& account) {
  auto name = credentialFileName(account);
  if (!name) return;  // no such name can have been stored
  Fd directory(openDirectory(false));
  if (!directory) return;
  if (::unlinkat(directory.get(), name->c_str(), 0) != 0) {
    if (errno == ENOENT) return;
    failIo("Cannot delete a credential", errno);
  }
  if (::fsync(directory.get()) != 0) failIo("Cannot delete a credential", errno);
}

}  // namespace tillerpad::platform
