#include "platform/wlroots/sway_ipc.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <vector>

namespace tillerpad::platform::wlroots::sway_ipc {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::string_view kMagic = "i3-ipc";
constexpr std::size_t kHeader = kMagic.size() + 8;
// A tree of thousands of windows stays far below this; a larger length is a
// broken or hostile peer.
constexpr std::uint32_t kMaxReply = 64u << 20;

class Socket {
 public:
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket() {
    if (fd_ >= 0) close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

bool waitFor(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd p{fd, events, 0};
    int n = poll(&p, 1, static_cast<int>(left));
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}

bool writeAll(int fd, const std::string& data, Clock::time_point deadline) {
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      if (!waitFor(fd, POLLOUT, deadline)) return false;
    } else {
      return false;
    }
  }
  return true;
}

bool readAll(int fd, char* out, std::size_t size, Clock::time_point deadline) {
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = recv(fd, out + done, size - done, 0);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      if (!waitFor(fd, POLLIN, deadline)) return false;
    } else {
      return false;  // closed or failed
    }
  }
  return true;
}

void findViews(const nlohmann::json& node, const std::string& appId, const std::string& title,
               std::vector<long>& pids) {
  if (!node.is_object()) return;
  auto text = [&](const nlohmann::json& value) { return value.is_string() ? value.get<std::string>() : std::string(); };
  std::string nodeApp = text(node.value("app_id", nlohmann::json()));
  if (nodeApp.empty() && node.contains("window_properties") && node["window_properties"].is_object()) {
    nodeApp = text(node["window_properties"].value("class", nlohmann::json()));
  }
  if (!nodeApp.empty() && nodeApp == appId && text(node.value("name", nlohmann::json())) == title) {
    auto pid = node.value("pid", nlohmann::json());
    if (pid.is_number_integer() && pid.get<long>() > 0) pids.push_back(pid.get<long>());
  }
  for (const char* children : {"nodes", "floating_nodes"}) {
    auto it = node.find(children);
    if (it == node.end() || !it->is_array()) continue;
    for (const auto& child : *it) findViews(child, appId, title, pids);
  }
}

}  // namespace

std::string socketFromEnvironment() {
  const char* path = std::getenv("SWAYSOCK");
  return path ? path : "";
}

std::optional<std::string> request(const std::string& socket, Message type, std::string_view payload,
                                   std::chrono::milliseconds limit) {
  auto deadline = Clock::now() + limit;
  sockaddr_un address{};
  if (socket.empty() || socket.size() >= sizeof address.sun_path) return std::nullopt;
  Socket s(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (s.fd() < 0) return std::nullopt;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, socket.data(), socket.size());
  if (connect(s.fd(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return std::nullopt;

  std::string message(kMagic);
  auto put = [&](std::uint32_t value) { message.append(reinterpret_cast<const char*>(&value), sizeof value); };
  put(static_cast<std::uint32_t>(payload.size()));
  put(static_cast<std::uint32_t>(type));
  message.append(payload);
  if (!writeAll(s.fd(), message, deadline)) return std::nullopt;

  char header[kHeader];
  if (!readAll(s.fd(), header, sizeof header, deadline)) return std::nullopt;
  if (std::string_view(header, kMagic.size()) != kMagic) return std::nullopt;
  std::uint32_t length = 0, replyType = 0;
  std::memcpy(&length, header + kMagic.size(), 4);
  std::memcpy(&replyType, header + kMagic.size() + 4, 4);
  if (replyType != static_cast<std::uint32_t>(type) || length > kMaxReply) return std::nullopt;
  std::string reply(length, '\0');
  if (!readAll(s.fd(), reply.data(), length, deadline)) return std::nullopt;
  return reply;
}

bool run(const std::string& socket, std::string_view commands, std::chrono::milliseconds limit) {
  auto reply = request(socket, Message::runCommand, commands, limit);
  if (!reply) return false;
  auto results = nlohmann::json::parse(*reply, nullptr, false);
  if (!results.is_array() || results.empty()) return false;
  for (const auto& result : results) {
    if (!result.is_object() || result.value("success", false) != true) return false;
  }
  return true;
}

std::optional<long> viewPid(std::string_view treeJson, const std::string& appId, const std::string& title) {
  if (appId.empty()) return std::nullopt;
  auto tree = nlohmann::json::parse(treeJson, nullptr, false);
  std::vector<long> pids;
  findViews(tree, appId, title, pids);
  if (pids.size() != 1) return std::nullopt;
  return pids.front();
}

}  // namespace tillerpad::platform::wlroots::sway_ipc
