#include "host/app/attach_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "host/app/control_socket.h"

namespace tillerpad::host {
namespace {

volatile std::sig_atomic_t interrupted = 0;

void onSignal(int) { interrupted = 1; }

bool sendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR && !interrupted) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// The service's lines, each printed once whole.
class Output {
 public:
  explicit Output(bool colours) : colours_(colours) {}

  // False when the service turned this terminal away.
  bool add(std::string_view bytes) {
    pending_.append(bytes);
    std::size_t end;
    while ((end = pending_.find('\n')) != std::string::npos) {
      std::string line = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      if (isFirst_ && line == "Another terminal is attached") return false;
      isFirst_ = false;
      print(line);
    }
    return true;
  }
  void finish() {
    if (!pending_.empty()) print(pending_);
    pending_.clear();
  }

 private:
  void print(const std::string& line) {
    std::string shown = colours_ ? line : withoutColours(line);
    shown.push_back('\n');
    std::fwrite(shown.data(), 1, shown.size(), stdout);
    std::fflush(stdout);
  }

  bool colours_;
  bool isFirst_ = true;
  std::string pending_;
};

}  // namespace

std::string withoutColours(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\x1b' && i + 1 < text.size() && text[i + 1] == '[') {
      std::size_t j = i + 2;
      while (j < text.size() && (std::isdigit(static_cast<unsigned char>(text[j])) || text[j] == ';')) ++j;
      if (j < text.size() && text[j] == 'm') {
        i = j;
        continue;
      }
    }
    out.push_back(text[i]);
  }
  return out;
}

int runAttach(bool pair) {
  auto path = controlSocketPath();
  if (!path) {
    std::fputs("tillerpad: $XDG_RUNTIME_DIR is not set, so the headless service cannot be found\n", stderr);
    return 1;
  }
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (fd < 0 || path->string().size() >= sizeof address.sun_path) {
    std::fprintf(stderr, "tillerpad: cannot reach %s\n", path->c_str());
    if (fd >= 0) ::close(fd);
    return 1;
  }
  std::strcpy(address.sun_path, path->c_str());
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    int error = errno;
    ::close(fd);
    if (error == ENOENT || error == ECONNREFUSED) {
      std::fprintf(stderr, "tillerpad: no headless service is running for this user (nothing answers on %s)\n",
                   path->c_str());
    } else {
      std::fprintf(stderr, "tillerpad: cannot reach the headless service on %s: %s\n", path->c_str(),
                   std::strerror(error));
    }
    return 1;
  }

  // Ctrl-C detaches; the service keeps running. No SA_RESTART: poll wakes.
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  if (pair) sendAll(fd, "pair\n");
  Output output(::isatty(STDOUT_FILENO) == 1);
  bool inputOpen = true;
  // After our input ended: what the service still says, for at most a second.
  std::optional<std::chrono::steady_clock::time_point> lastWordsBy;
  char buffer[4096];
  int status = 0;
  while (!interrupted) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    int timeout = -1;
    if (lastWordsBy) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(*lastWordsBy - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      timeout = static_cast<int>(left.count());
    }
    int ready = ::poll(fds, inputOpen ? 2 : 1, timeout);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) break;
    if (fds[0].revents != 0) {
      ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      if (!output.add(std::string_view(buffer, static_cast<std::size_t>(n)))) {
        std::fputs("tillerpad: another terminal is attached to the headless service\n", stderr);
        status = 1;
        break;
      }
    }
    if (inputOpen && fds[1].revents != 0) {
      ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n > 0 && sendAll(fd, std::string_view(buffer, static_cast<std::size_t>(n)))) continue;
      // End of input (or the service stopped reading): the service closes
      // once it has answered.
      inputOpen = false;
      ::shutdown(fd, SHUT_WR);
      lastWordsBy = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    }
  }
  output.finish();
  ::close(fd);
  if (status == 0) std::puts("Detached");
  return status;
}

}  // namespace tillerpad::host
