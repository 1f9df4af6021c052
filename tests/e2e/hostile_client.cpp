// Hostile phones for tests/e2e/hostile_test.sh and robustness_test.sh: each
// case attacks the real headless desktop on loopback with the paired phone's
// own key and checks what the desktop must do about it, by what it answers,
// what it logs, the X pointer, and its memory, files and sockets in /proc.
//
//   hostile_client <case> --dir <e2e folder> --pid <desktop pid> --phone <name> [--phone <name>]...
//
// The e2e folder holds the desktop's host.in (its standard input, a FIFO held
// open by the script), host.out and host.err, and each phone's data folder
// under its name. Sessions go through kit's TLS connection, message channel
// and handshake; bytes are forged by hand only where the case is about them.
// Prints "ok ..." or "FAIL ..." per demand; exits 0 when every one held,
// 1 when one failed, 2 for bad arguments.
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/use_future.hpp>
#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <tuple>

#include "kit/common/base64.h"
#include "kit/pairing/crypto.h"
#include "kit/pairing/handshake.h"
#include "kit/pairing/key_derivation.h"
#include "kit/pairing/paired_records.h"
#include "kit/pairing/pairing_payload.h"
#include "kit/pairing/record_store.h"
#include "kit/transport/channel_error.h"
#include "kit/transport/fast_channel.h"
#include "kit/transport/message_channel.h"
#include "kit/transport/tls_connection.h"
#include "kit/wire/message_codec.h"
#include "platform/linux/file_credential_store.h"
#include "tests/support/test_bytes.h"

// Last: its macros (None, Status, ...) would break the headers above.
#include <X11/Xlib.h>

using namespace tillerpad;
using namespace std::chrono_literals;
using kit::Bytes;
using kit::Message;
using kit::MessageType;
using kit::testing::concat;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

bool anyFailed = false;

// One demand: "ok <what> (<detail>)" or "FAIL <what>: <detail>".
bool check(bool held, const std::string& what, const std::string& detail = "") {
  anyFailed = anyFailed || !held;
  std::printf("%s %s%s\n", held ? "ok" : "FAIL", what.c_str(),
              detail.empty() ? "" : (held ? " (" + detail + ")" : ": " + detail).c_str());
  return held;
}

// A sanitizer's allocator keeps freed memory in quarantine: resident memory
// then says nothing and is only reported.
bool checkMemory(bool held, const std::string& what, const std::string& detail) {
  return check(held || std::getenv("TILLERPAD_SANITIZED"), what, detail);
}

std::string fixed(double value, int digits = 2) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", digits, value);
  return text;
}
std::string secondsText(Clock::duration d) { return fixed(std::chrono::duration<double>(d).count()) + " s"; }

// Polls `done` every `step` until it holds or `limit` passed.
bool within(Clock::duration limit, const std::function<bool()>& done, Clock::duration step = 20ms) {
  for (auto deadline = Clock::now() + limit; !done(); std::this_thread::sleep_for(step)) {
    if (Clock::now() >= deadline) return false;
  }
  return true;
}

std::vector<std::string> linesOf(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Big-endian `value` in `bytes` bytes.
Bytes be(std::uint64_t value, int bytes) {
  Bytes out;
  for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
  return out;
}

struct Fd {
  int fd;
  explicit Fd(int f = -1) : fd(f) {}
  Fd(Fd&& o) noexcept : fd(std::exchange(o.fd, -1)) {}
  Fd& operator=(Fd&& o) noexcept {
    std::swap(fd, o.fd);
    return *this;
  }
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

sockaddr_in ipv4(const std::string& text, std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, text.c_str(), &a.sin_addr);
  return a;
}

// A socket of `type` from `from` connected to the desktop's `port`; -1 in
// its fd when that failed (errno says why). Blocking calls wait 10 s at most.
Fd socketTo(int type, std::uint16_t port, const std::string& from = "127.0.0.1", int receiveBuffer = 0) {
  Fd s(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
  timeval limit{10, 0};
  setsockopt(s.fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  setsockopt(s.fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  // Before connect, so that the window the desktop sees is small from the start.
  if (receiveBuffer) setsockopt(s.fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  sockaddr_in local = ipv4(from, 0), remote = ipv4("127.0.0.1", port);
  if (::bind(s.fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      (::connect(s.fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0 && errno != EINPROGRESS)) {
    return Fd();
  }
  return s;
}

// MARK: the desktop as its terminal and /proc show it

class Desktop {
 public:
  Desktop(fs::path dir, pid_t pid) : dir_(std::move(dir)), proc_("/proc/" + std::to_string(pid)) {}

  fs::path out() const { return dir_ / "host.out"; }
  fs::path err() const { return dir_ / "host.err"; }

  // A line on its standard input, as the user types it.
  void type(const std::string& line) const {
    std::ofstream(dir_ / "host.in") << line << std::endl;
  }
  int count(const fs::path& file, const std::string& pattern) const {
    std::regex re(pattern);
    auto lines = linesOf(file);
    return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](auto& l) { return std::regex_search(l, re); }));
  }
  bool waitCount(const fs::path& file, const std::string& pattern, int want, Clock::duration limit = 10s) const {
    return within(limit, [&] { return count(file, pattern) >= want; });
  }
  // The newest listener's port.
  std::uint16_t port() const {
    std::uint16_t port = 0;
    for (const auto& line : linesOf(out())) {
      if (line.rfind("Listening on port ", 0) == 0) port = static_cast<std::uint16_t>(std::stoi(line.substr(18)));
    }
    return port;
  }

  bool alive() const {
    auto state = status("State:");
    return !state.empty() && state[0] != 'Z' && state[0] != 'X';
  }
  long residentKiB() const {
    auto value = status("VmRSS:");
    return value.empty() ? -1 : std::stol(value);
  }
  int openFiles() const {
    std::error_code e;
    return static_cast<int>(std::distance(fs::directory_iterator(proc_ / "fd", e), fs::directory_iterator()));
  }
  // Its TCP connections, listeners aside: its descriptors in the kernel's
  // tables. (In the cases that count them, only the phone's.)
  int connections() const {
    std::set<std::string> sockets;
    std::error_code e;
    for (const auto& fd : fs::directory_iterator(proc_ / "fd", e)) {
      auto target = fs::read_symlink(fd.path(), e).string();
      if (target.rfind("socket:[", 0) == 0) sockets.insert(target.substr(8, target.size() - 9));
    }
    int n = 0;
    for (const auto* table : {"tcp", "tcp6"}) {
      for (const auto& row : rows(table)) n += row.size() > 9 && row[3] != "0A" && sockets.count(row[9]);
    }
    return n;
  }
  // Bytes waiting in its UDP socket on `port` and the datagrams the kernel
  // dropped there for want of room.
  std::pair<long, long> udp(std::uint16_t port) const {
    for (const auto* table : {"udp6", "udp"}) {
      for (const auto& row : rows(table)) {
        if (row.size() > 12 && portOf(row[1]) == port) return {std::stol(row[4].substr(row[4].find(':') + 1), nullptr, 16), std::stol(row[12])};
      }
    }
    return {-1, -1};
  }

  // `revoke <name>` and the user's y: the moment y was typed, once the
  // desktop said "Done." and its listener restarted without the phone's key.
  std::optional<Clock::time_point> revoke(const std::string& name) const {
    int asked = count(out(), "^Revoke\\? \\[y/N\\]$"), done = count(out(), "^Done\\.$");
    int listeners = count(out(), "^Listening on port");
    type("revoke " + name);
    if (!waitCount(out(), "^Revoke\\? \\[y/N\\]$", asked + 1)) return std::nullopt;
    type("y");
    auto typed = Clock::now();
    if (!waitCount(out(), "^Done\\.$", done + 1) || !waitCount(out(), "^Listening on port", listeners + 1)) return std::nullopt;
    return typed;
  }

 private:
  std::string status(const std::string& key) const {
    for (const auto& line : linesOf(proc_ / "status")) {
      std::string value;
      if (line.rfind(key, 0) == 0 && std::stringstream(line.substr(key.size())) >> value) return value;
    }
    return "";
  }
  // The rows of /proc/net/<table> as fields.
  static std::vector<std::vector<std::string>> rows(const std::string& table) {
    std::vector<std::vector<std::string>> result;
    auto lines = linesOf("/proc/net/" + table);
    for (std::size_t i = 1; i < lines.size(); ++i) {
      std::stringstream fields(lines[i]);
      auto& row = result.emplace_back();
      for (std::string f; fields >> f;) row.push_back(f);
    }
    return result;
  }
  static std::uint16_t portOf(const std::string& address) {
    return static_cast<std::uint16_t>(std::stoul(address.substr(address.find(':') + 1), nullptr, 16));
  }

  fs::path dir_, proc_;
};

// MARK: the X pointer

class Pointer {
 public:
  Pointer() : display_(XOpenDisplay(nullptr)) {
    if (!display_) throw std::runtime_error("cannot open the X display");
  }
  ~Pointer() { XCloseDisplay(display_); }
  // +1 or -1 per axis: the way to the middle of the screen, where a move
  // always shows (at an edge it would be clamped away).
  std::pair<float, float> towardMiddle() {
    auto [x, y] = where();
    int screen = DefaultScreen(display_);
    return {x < DisplayWidth(display_, screen) / 2 ? 1.f : -1.f, y < DisplayHeight(display_, screen) / 2 ? 1.f : -1.f};
  }
  std::pair<int, int> where() {
    Window root = DefaultRootWindow(display_), child = 0;
    int x = 0, y = 0, wx = 0, wy = 0;
    unsigned int mask = 0;
    XQueryPointer(display_, root, &root, &child, &x, &y, &wx, &wy, &mask);
    return {x, y};
  }
  std::string shown() {
    auto [x, y] = where();
    return "at (" + std::to_string(x) + ", " + std::to_string(y) + ")";
  }

 private:
  Display* display_;
};

// MARK: a phone's session on kit's transport

// kit's asio work on a thread of its own; the cases wait for it, bounded.
class Io {
 public:
  Io() : thread_([this] { io.run(); }) {}
  ~Io() {
    work_.reset();
    io.stop();
    thread_.join();
  }
  template <class T>
  T await(asio::awaitable<T> operation, Clock::duration limit = 20s) {
    auto done = asio::co_spawn(io, std::move(operation), asio::use_future);
    if (done.wait_for(limit) != std::future_status::ready) throw std::runtime_error("no answer within the limit");
    return done.get();
  }

  asio::io_context io;

 private:
  asio::executor_work_guard<asio::io_context::executor_type> work_ = asio::make_work_guard(io);
  std::thread thread_;
};

// kit's TLS connection with a side door for bytes that no channel would
// write: forged frames, or a frame one byte at a time.
class Tap final : public kit::Connection {
 public:
  explicit Tap(std::unique_ptr<kit::Connection> inner) : inner_(std::move(inner)) {}
  void setStateHandler(StateHandler h) override { inner_->setStateHandler(std::move(h)); }
  void start(asio::any_io_executor executor) override {
    executor_ = executor;
    inner_->start(executor);
  }
  void receive(std::size_t least, std::size_t most, ReadHandler h) override { inner_->receive(least, most, std::move(h)); }
  void send(Bytes bytes, WriteHandler h) override { inner_->send(std::move(bytes), std::move(h)); }
  void cancel() override { inner_->cancel(); }
  kit::Endpoint remoteEndpoint() const override { return inner_->remoteEndpoint(); }
  std::optional<Bytes> exportKeyingMaterial(std::string_view label, std::size_t n) override {
    return inner_->exportKeyingMaterial(label, n);
  }
  std::optional<std::uint16_t> negotiatedCipherSuite() override { return inner_->negotiatedCipherSuite(); }

  // True once the connection took `bytes` within `limit`.
  bool write(Bytes bytes, Clock::duration limit = 10s) {
    auto taken = std::make_shared<std::promise<bool>>();
    auto result = taken->get_future();
    asio::post(executor_, [this, bytes = std::move(bytes), taken]() mutable {
      inner_->send(std::move(bytes), [taken](std::exception_ptr e) { taken->set_value(!e); });
    });
    return result.wait_for(limit) == std::future_status::ready && result.get();
  }

 private:
  std::unique_ptr<kit::Connection> inner_;
  asio::any_io_executor executor_;
};

struct Session {
  std::shared_ptr<kit::MessageChannel> channel;
  Tap* tap = nullptr;  // owned by the channel
  kit::Welcome welcome;
  kit::FastChannelKeys fastKeys;
  Session() = default;
  Session(Session&&) = default;
  Session& operator=(Session&&) = default;
  ~Session() {
    if (channel) channel->cancel();
  }
};

// The paired phone as kit makes it, on the desktop's newest port.
struct Phone {
  Io& io;
  const Desktop& desktop;
  kit::PeerIdentity identity;
  kit::SymmetricKey key;

  // TLS only; a closed port (the listener restarted elsewhere after a key
  // change) is tried again on the newest port for a few seconds.
  Session connect(int socketBuffer = 0) const {
    auto parameters = kit::TransportParameters::client(kit::testing::pskOf(identity, key));
    if (socketBuffer) parameters.tcpOptions.socketBufferBytes = socketBuffer;
    kit::TlsContext context(parameters);
    for (auto deadline = Clock::now() + 5s;; std::this_thread::sleep_for(50ms)) {
      auto tap = std::make_unique<Tap>(
          kit::TlsConnection::connect(io.io.get_executor(), context, kit::Endpoint::hostPort("127.0.0.1", desktop.port())));
      Session s;
      s.tap = tap.get();
      s.channel = kit::MessageChannel::create(io.io.get_executor(), std::move(tap), "hostile", std::make_shared<kit::SteadyClock>());
      try {
        io.await(s.channel->open(10s));
        return s;
      } catch (const kit::ConnectionError& e) {
        if (e.code() != std::errc::connection_refused || Clock::now() >= deadline) throw;
      }
    }
  }
  // Hello, welcome, and the last opening message: the desktop has
  // registered the fast keys by then.
  Session open(int socketBuffer = 0) const {
    Session s = connect(socketBuffer);
    s.welcome = io.await(kit::Handshake::connect(s.channel, identity, key, {"hostile", "Test", "0", "0"}));
    if (!next(s, MessageType::sharingSettings, 10s)) throw std::runtime_error("no sharingSettings");
    s.fastKeys = *io.await(kit::deriveFastChannelKeys(*s.channel));
    return s;
  }
  Bytes exporter(Session& s, std::string_view label, std::size_t length) const {
    return io.await(s.channel->exportKeyingMaterial(std::string(label), length)).value();
  }
  Message hello(Bytes proof) const { return Message::hello({kit::ProtocolVersion::current, identity, std::move(proof), {"hostile", "Test", "0", "0"}}); }
  Bytes proofOn(Session& s) const {
    return kit::KeyDerivation::helloProof(key, exporter(s, kit::KeyDerivation::helloExporterLabel, kit::KeyDerivation::helloBindingLength), identity);
  }

  // The next message of `type` within `limit`, others skipped; nothing when
  // the channel ended or time ran out.
  std::optional<Message> next(Session& s, std::optional<MessageType> type, Clock::duration limit) const {
    auto deadline = Clock::now() + limit;
    try {
      while (auto m = io.await(s.channel->receive(std::max<Clock::duration>(deadline - Clock::now(), 1ms)), limit + 5s)) {
        if (!type || m->is(*type)) return m;
      }
    } catch (const std::exception&) {
    }
    return std::nullopt;
  }
  // Whether the desktop ends the session within `limit`, whatever it sends before.
  bool endsWithin(Session& s, Clock::duration limit) const {
    auto deadline = Clock::now() + limit;
    try {
      while (Clock::now() < deadline) {
        if (!io.await(s.channel->receive(std::max<Clock::duration>(deadline - Clock::now(), 1ms)), limit + 5s)) return true;
      }
    } catch (const kit::ChannelError& e) {
      return e.errorCase() != kit::ChannelError::Case::timedOut;
    } catch (const std::exception&) {
      return true;
    }
    return false;
  }
  // A ping's round trip; nothing when no pong came within `limit`.
  std::optional<Clock::duration> ping(Session& s, std::uint64_t id, Clock::duration limit = 5s) const {
    auto start = Clock::now();
    try {
      io.await(s.channel->send(Message::ping({id, 0})), limit);
    } catch (const std::exception&) {
      return std::nullopt;
    }
    while (auto pong = next(s, MessageType::pong, start + limit - Clock::now())) {
      if (pong->get<MessageType::pong>().id == id) return Clock::now() - start;
    }
    return std::nullopt;
  }
};

// The phone's own fast channel, sealed with kit's code, from one flow so
// that its datagrams can be replayed from it.
class FastPhone {
 public:
  FastPhone(std::uint16_t port, kit::FastChannelKeys keys) : socket_(socketTo(SOCK_DGRAM, port)), keys_(keys) {}
  Bytes move(float dx, float dy) {
    Bytes datagram = kit::FastPacket::seal({kit::FastEvent::pointerMove(dx, dy)}, ++sequence_, keys_);
    sendRaw(datagram);
    return datagram;
  }
  void sendRaw(kit::ByteView bytes) { (void)::send(socket_.fd, bytes.data(), bytes.size(), 0); }

 private:
  Fd socket_;
  kit::FastChannelKeys keys_;
  std::uint64_t sequence_ = 0;
};

// Whether the pointer moves while `phone` sends moves of `step` (towards the
// middle) for `span`: the positive control before an ending, the demand after.
bool movesPointer(Pointer& pointer, FastPhone& phone, float step, Clock::duration span) {
  auto start = pointer.where();
  auto [sx, sy] = pointer.towardMiddle();
  for (auto deadline = Clock::now() + span; Clock::now() < deadline;) {
    phone.move(sx * step, sy * step);
    if (within(150ms, [&] { return pointer.where() != start; })) return true;
  }
  return false;
}

// MARK: raw connections that each open with hostile bytes

// Non-blocking connections that send bytes that are not TLS, or only the
// start of a ClientHello, and are held until the desktop closes them.
class Flood {
 public:
  explicit Flood(std::uint16_t port) : port_(port) {}
  ~Flood() { closeAll(); }

  void open(const std::string& from, bool stall) {
    ++opened;
    Fd s = socketTo(SOCK_STREAM | SOCK_NONBLOCK, port_, from);
    if (s.fd < 0) return (void)++failed;
    epoll_event e{EPOLLOUT | EPOLLIN | EPOLLRDHUP, {}};
    e.data.fd = s.fd;
    epoll_ctl(poller_.fd, EPOLL_CTL_ADD, s.fd, &e);
    open_[std::exchange(s.fd, -1)] = {stall, false};
  }
  // Handles what is ready within `ms`.
  void poll(int ms) {
    static const std::uint8_t hello[] = {0x16, 0x03, 0x01, 0x02, 0x00, 0x01, 0x00, 0x01, 0xFC, 0x03, 0x03};
    static const char garbage[] = "GET / HTTP/1.1\r\nHost: tillerpad\r\n\r\n\x01\x02\x03\xff\xfe";
    epoll_event events[256];
    int ready = epoll_wait(poller_.fd, events, 256, ms);
    for (int i = 0; i < ready; ++i) {
      int fd = events[i].data.fd;
      auto& [stall, sent] = open_[fd];
      if (!sent) {
        int error = 0;
        socklen_t n = sizeof error;
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &n);
        if (error == ECONNREFUSED || error == ETIMEDOUT) {
          ++failed;
          drop(fd);
          continue;
        }
        sent = true;
        (void)::send(fd, stall ? static_cast<const void*>(hello) : garbage, stall ? sizeof hello : sizeof garbage - 1, MSG_NOSIGNAL);
        epoll_event only{EPOLLIN | EPOLLRDHUP, {}};
        only.data.fd = fd;
        epoll_ctl(poller_.fd, EPOLL_CTL_MOD, fd, &only);
        if (!(events[i].events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR))) continue;
      }
      char buffer[512];
      if (::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0 || errno == EAGAIN) continue;  // an alert, say: awaits the close
      ++closed;
      drop(fd);
    }
  }
  long stillOpen() const { return static_cast<long>(open_.size()); }
  long unsent() const {
    return std::count_if(open_.begin(), open_.end(), [](auto& entry) { return !entry.second.second; });
  }
  void closeAll() {
    while (!open_.empty()) drop(open_.begin()->first);
  }

  long opened = 0, failed = 0, closed = 0;

 private:
  void drop(int fd) {
    epoll_ctl(poller_.fd, EPOLL_CTL_DEL, fd, nullptr);
    ::close(fd);
    open_.erase(fd);
  }

  std::uint16_t port_;
  Fd poller_{epoll_create1(EPOLL_CLOEXEC)};
  std::map<int, std::pair<bool, bool>> open_;  // stalling, opening sent
};

// MARK: cases

// The desktop a phone paired with last, as tillerpad-remote stored it.
kit::PairedMac recordOf(const fs::path& dataHome) {
  auto store = std::make_shared<platform::FileCredentialStore>(dataHome, "app.tillerpad.remote.macs");
  auto records = kit::RecordStore<kit::PairedMac>(store).all();
  if (records.empty()) throw std::runtime_error("no paired desktop in " + dataHome.string());
  return *std::max_element(records.begin(), records.end(), [](auto& a, auto& b) { return a.pairedAt < b.pairedAt; });
}

struct Context {
  Context(fs::path d, std::vector<std::string> p, pid_t pid)
      : dir(std::move(d)), phones(std::move(p)), desktop(dir, pid), record(recordOf(dir / phones.front())) {}
  fs::path dir;
  std::vector<std::string> phones;
  Desktop desktop;
  kit::PairedMac record;  // of the first phone
  Io io;
  Phone phone{io, desktop, kit::PeerIdentity::device(record.deviceID), record.keyData};
};

// Resumption needs OpenSSL's own client: kit's allows no session reuse at
// all, and this case offers one on purpose.
kit::PreSharedKey offeredKey;
unsigned int offerKey(SSL*, const char*, char* identity, unsigned int maxIdentity, unsigned char* key, unsigned int maxKey) {
  std::string text = offeredKey.identity.text();
  if (text.size() + 1 > maxIdentity || maxKey < offeredKey.key.size()) return 0;
  std::memcpy(identity, text.c_str(), text.size() + 1);
  std::memcpy(key, offeredKey.key.data(), offeredKey.key.size());
  return static_cast<unsigned int>(offeredKey.key.size());
}
using SslContext = std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)>;
using Ssl = std::unique_ptr<SSL, decltype(&SSL_free)>;

SslContext pskClient(const kit::PreSharedKey& psk) {
  offeredKey = psk;
  SslContext c(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
  SSL_CTX_set_min_proto_version(c.get(), TLS1_2_VERSION);
  SSL_CTX_set_max_proto_version(c.get(), TLS1_2_VERSION);
  SSL_CTX_set_cipher_list(c.get(), kit::TransportParameters::cipherName);
  SSL_CTX_set_psk_client_callback(c.get(), offerKey);
  return c;
}

// The TLS alert a failed handshake received, or -1.
int receivedAlert() {
  int alert = -1;
  while (unsigned long packed = ERR_get_error()) {
    int reason = ERR_GET_REASON(packed);
    if (ERR_GET_LIB(packed) == ERR_LIB_SSL && reason >= SSL_AD_REASON_OFFSET && reason < SSL_AD_REASON_OFFSET + 256) {
      alert = reason - SSL_AD_REASON_OFFSET;
    }
  }
  return alert;
}

// A blocking TLS connection on plain OpenSSL: for the cases that need the
// TLS session itself, a chosen source address or a small receive window.
struct RawTls {
  Fd socket;
  Ssl ssl{nullptr, SSL_free};
  bool connected = false, reused = false;
  int alert = -1;

  bool write(kit::ByteView bytes) {
    std::size_t n = 0;
    for (std::size_t done = 0; done < bytes.size(); done += n) {
      if (SSL_write_ex(ssl.get(), bytes.data() + done, bytes.size() - done, &n) != 1) return ERR_clear_error(), false;
    }
    return true;
  }
  Bytes exporter(std::string_view label, std::size_t length) {
    Bytes out(length);
    SSL_export_keying_material(ssl.get(), out.data(), length, label.data(), label.size(), nullptr, 0, 0);
    return out;
  }
};

// After a key change the listener restarts elsewhere: a closed port is tried again.
RawTls rawTls(SSL_CTX* context, const Desktop& desktop, const std::string& from = "127.0.0.1", int receiveBuffer = 0,
              const std::function<void(SSL*)>& prepare = [](SSL*) {}) {
  RawTls t;
  for (auto deadline = Clock::now() + 5s; (t.socket = socketTo(SOCK_STREAM, desktop.port(), from, receiveBuffer)).fd < 0;) {
    if (errno != ECONNREFUSED || Clock::now() >= deadline) return t;
    std::this_thread::sleep_for(50ms);
  }
  t.ssl.reset(SSL_new(context));
  SSL_set_fd(t.ssl.get(), t.socket.fd);
  prepare(t.ssl.get());
  t.connected = SSL_connect(t.ssl.get()) == 1;
  t.alert = t.connected ? -1 : receivedAlert();
  t.reused = SSL_session_reused(t.ssl.get()) == 1;
  return t;
}

// What the ClientHello offered: a session id of so many bytes, a ticket.
struct Offer {
  std::size_t sessionID = 0, ticket = 0;
};

void inspectClientHello(int writing, int, int contentType, const void* data, std::size_t length, SSL*, void* arg) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  if (!writing || contentType != SSL3_RT_HANDSHAKE || length < 39 || p[0] != SSL3_MT_CLIENT_HELLO) return;
  auto* offer = static_cast<Offer*>(arg);
  auto u16 = [&](std::size_t i) { return i + 2 <= length ? std::size_t{p[i]} << 8 | p[i + 1] : length; };
  std::size_t i = 4 + 2 + 32;  // header, version, random
  offer->sessionID = p[i];
  i += 1 + p[i];
  i += 2 + u16(i);                          // cipher suites
  i += i < length ? 1 + p[i] : 0;           // compression methods
  std::size_t end = std::min(length, i + 2 + u16(i));
  for (i += 2; i + 4 <= end; i += 4 + u16(i + 2)) {
    if (u16(i) == 35) offer->ticket = u16(i + 2);  // session_ticket
  }
}

int resume(Context& c) {
  auto context = pskClient(kit::testing::pskOf(c.phone.identity, c.phone.key));
  // Client-side caching on, tickets allowed: the phone offers what it may.
  SSL_CTX_set_session_cache_mode(context.get(), SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL);
  SSL_CTX_clear_options(context.get(), SSL_OP_NO_TICKET);
  auto first = rawTls(context.get(), c.desktop);
  if (!check(first.connected, "the phone's TLS handshake with its key")) return 1;
  std::unique_ptr<SSL_SESSION, decltype(&SSL_SESSION_free)> saved(SSL_get1_session(first.ssl.get()), SSL_SESSION_free);
  // With a close_notify: else OpenSSL would mark a session that has an id
  // unresumable, and a desktop that resumes would go unnoticed.
  SSL_shutdown(first.ssl.get());
  first = RawTls();
  // The desktop gives out no session id (its cache is off); give the saved
  // session one, so that resuming it by id is really attempted.
  unsigned int idLength = 0;
  SSL_SESSION_get_id(saved.get(), &idLength);
  if (idLength == 0) {
    auto id = kit::crypto::randomBytes(32);
    SSL_SESSION_set1_id(saved.get(), id.data(), static_cast<unsigned int>(id.size()));
  }
  auto ticket = kit::crypto::randomBytes(160);
  auto offerBoth = [&](const std::string& when, bool afterRevoke) {
    for (bool withTicket : {false, true}) {
      Offer offer;
      auto a = rawTls(context.get(), c.desktop, "127.0.0.1", 0, [&](SSL* ssl) {
        SSL_set_msg_callback(ssl, inspectClientHello);
        SSL_set_msg_callback_arg(ssl, &offer);
        SSL_set_session(ssl, saved.get());
        if (withTicket) SSL_set_session_ticket_ext(ssl, ticket.data(), static_cast<int>(ticket.size()));
      });
      std::string what = when + ", an offered " + (withTicket ? "session ticket" : "session id");
      check((withTicket ? offer.ticket : offer.sessionID) > 0, what + " is in the ClientHello");
      check(!a.reused, what + " is not resumed");
      if (afterRevoke) {
        check(!a.connected && a.alert == kit::TransportParameters::unknownPskIdentityAlert,
              what + ": the handshake fails with unknown_psk_identity", "alert " + std::to_string(a.alert));
      } else {
        check(a.connected, what + ": a full handshake with the key succeeds");
      }
    }
  };
  offerBoth("before the revoke", false);
  if (!check(c.desktop.revoke(c.phones.front()).has_value(), "the desktop revokes the phone")) return 1;
  offerBoth("after the revoke", true);
  return 0;
}

// A hello whose proof is bound to session A, sent on session B.
int replay(Context& c) {
  int rejected = c.desktop.count(c.desktop.err(), "Connection rejected");
  auto a = c.phone.connect(), b = c.phone.connect();
  Bytes proofA = c.phone.proofOn(a);
  check(proofA != c.phone.proofOn(b), "the two sessions bind different proofs");
  c.io.await(b.channel->send(c.phone.hello(proofA)));
  auto answer = c.phone.next(b, std::nullopt, 5s);
  check(!answer || !answer->is(MessageType::welcome), "session B: the hello proof of session A is refused",
        answer ? "answered " + std::string(answer->type()) : "");
  check(c.phone.endsWithin(b, 5s), "session B: the desktop closes the connection");
  check(c.desktop.waitCount(c.desktop.err(), "Connection rejected", rejected + 1, 5s), "the desktop logs \"Connection rejected\"");
  // The same proof on its own session: it was valid, only misplaced.
  c.io.await(a.channel->send(c.phone.hello(proofA)));
  check(c.phone.next(a, MessageType::welcome, 5s).has_value(), "session A: the same hello is welcomed");
  return 0;
}

// Frames no codec writes, each on a welcomed session.
int frames(Context& c) {
  Bytes filler(64, 0x41);
  // A ping's payload with its attachment part replaced by `tail`.
  auto ping = [&](const Bytes& tail) {
    Bytes p = kit::MessageCodec::encode(Message::ping({1, 0}));
    p.resize(p.size() - 2);  // its count of zero attachments
    return kit::Framing::frame(concat({p, tail}));
  };
  Bytes sixtyFiveEmpty = be(65, 2);
  for (int i = 0; i < 65; ++i) sixtyFiveEmpty = concat({sixtyFiveEmpty, be(0, 4)});
  const std::vector<std::pair<std::string, Bytes>> cases = {
      {"a frame announcing the maximum + 1 byte", concat({be(kit::Framing::maxPayloadLength + 1ull, 4), filler})},
      {"a frame announcing 4 GiB - 1", concat({be(0xFFFFFFFFu, 4), filler})},
      {"a JSON length beyond the frame", kit::Framing::frame(concat({be(0xFFFFFF00u, 4), Bytes{'{', '}'}, filler}))},
      {"65,535 attachments announced, none sent", ping(be(0xFFFF, 2))},
      {"65 empty attachments, one over the maximum", ping(sixtyFiveEmpty)},
      {"an attachment length of 4 GiB - 16", ping(concat({be(1, 2), be(0xFFFFFFF0u, 4), filler}))},
      {"an attachment length of 2 GiB", ping(concat({be(1, 2), be(0x80000000u, 4), filler}))},
      {"an attachment length one beyond the frame's end", ping(concat({be(1, 2), be(filler.size() + 1, 4), filler}))},
      {"bytes after the last attachment", ping(concat({be(0, 2), filler}))},
  };
  for (const auto& [name, bytes] : cases) {
    auto s = c.phone.open();
    s.tap->write(bytes);
    check(c.phone.endsWithin(s, 5s), name + ": the desktop closes the connection");
    check(c.desktop.alive(), name + ": the desktop is still running");
  }
  auto after = c.phone.open();
  check(c.phone.ping(after, 7).has_value(), "a new session afterwards: welcome and pong");
  return 0;
}

// Forged, replayed, truncated and oversize fast-channel datagrams.
int fast(Context& c) {
  Pointer pointer;
  auto s = c.phone.open();
  if (!check(s.welcome.fastPort.has_value(), "the session has a fast port")) return 1;
  std::uint16_t port = *s.welcome.fastPort;
  FastPhone phone(port, s.fastKeys);
  // One real move sideways: the datagram replayed below.
  auto p0 = pointer.where();
  auto [sx, sy] = pointer.towardMiddle();
  Bytes valid = phone.move(40 * sx, 0);
  if (!check(within(5s, [&] { return pointer.where().first != p0.first; }), "a real move moves the pointer sideways",
             pointer.shown())) {
    return 1;
  }
  auto p1 = pointer.where();

  // From many flows (addresses and ports), as a spoofing sender's would be,
  // and the phone's own for the replays.
  std::vector<Fd> flows;
  for (int i = 0; i < 256; ++i) flows.push_back(socketTo(SOCK_DGRAM, port, "127.0.0." + std::to_string(2 + i % 250)));
  std::mt19937_64 random(20240601);
  auto bytes = [&](std::size_t n) {
    Bytes b(n);
    for (auto& x : b) x = static_cast<std::uint8_t>(random());
    return b;
  };
  std::uint64_t forged = 1'000'000;
  auto hostile = [&](int i) -> Bytes {
    switch (i % 6) {
      case 0: return bytes(1 + random() % 400);
      // The session's tag and a fresh sequence: only the AEAD tag is wrong.
      case 1: return concat({Bytes{1}, be(s.fastKeys.sessionTag, 4), be(++forged, 8), bytes(1 + 9 + kit::FastPacket::tagLength)});
      case 2: return valid;  // replayed
      case 3: return Bytes(valid.begin(), valid.begin() + static_cast<long>(random() % valid.size()));
      case 4: return concat({valid, bytes(i % 12 == 4 ? 9000 : 1 + random() % 1200)});
      default: {  // well formed under a key nobody registered
        auto other = kit::testing::fastKeys(s.fastKeys.sessionTag, static_cast<std::uint8_t>(random()));
        return kit::FastPacket::seal({kit::FastEvent::pointerMove(40, 0)}, ++forged, other);
      }
    }
  };
  // Paced so that they reach the desktop rather than the kernel's bin; a
  // ping now and then, since a session silent for 10 s ends.
  auto lastPing = Clock::now();
  auto flood = [&](int count) {
    for (int i = 0; i < count; ++i) {
      Bytes d = hostile(i);
      if (i % 6 == 2) phone.sendRaw(d);
      else (void)::send(flows[i % flows.size()].fd, d.data(), d.size(), 0);
      if (i % 32 == 31 && c.desktop.udp(port).first > 64 * 1024) {
        within(2s, [&] { return c.desktop.udp(port).first <= 16 * 1024; }, 1ms);
      }
      if (Clock::now() - lastPing > 3s) {
        s.channel->sendWithoutWaiting(Message::ping({static_cast<std::uint64_t>(i), 0}));
        lastPing = Clock::now();
      }
    }
  };
  flood(10'000);  // warms up the desktop's buffers and allocator
  long drops0 = c.desktop.udp(port).second, rss0 = c.desktop.residentKiB();
  int files0 = c.desktop.openFiles();
  const int datagrams = 100'000;
  flood(datagrams);
  within(5s, [&] { return c.desktop.udp(port).first == 0; });
  long drops = c.desktop.udp(port).second - drops0, rss1 = c.desktop.residentKiB();
  int files1 = c.desktop.openFiles();
  check(drops * 10 < datagrams, "nine in ten datagrams reached the desktop", std::to_string(drops) + " dropped");
  // A datagram kept would cost at least its own size: 100,000 of them, tens of MiB.
  checkMemory(rss1 - rss0 <= 1024, "the desktop's resident memory stays flat (<= 1 MiB more)",
              std::to_string(rss0) + " -> " + std::to_string(rss1) + " KiB");
  // (Fewer is fine: a connection of the pairing may still have been closing.)
  check(files1 <= files0, "the desktop's open files do not grow", std::to_string(files0) + " -> " + std::to_string(files1));
  check(c.desktop.alive(), "the desktop is still running");

  // Replays would have pushed the pointer sideways; the phone's next real
  // move (up or down) must still count, and is the barrier for everything
  // sent before it on the phone's flow.
  auto p2 = pointer.where();
  check(p2.first == p1.first, "no replayed or forged move moved the pointer", pointer.shown());
  bool moved = false;
  for (int i = 0; i < 10 && !moved; ++i) {
    phone.move(0, 40 * sy);
    moved = within(500ms, [&] { return pointer.where().second != p2.second; });
  }
  check(moved, "the phone's next real move still moves the pointer", pointer.shown());
  check(pointer.where().first == p1.first, "and only that move: x is unchanged", pointer.shown());
  return 0;
}

// After the desktop's `ending` (disconnect or revoke) its connection to the
// phone must be gone within 4 s and the phone's fast moves must stop counting.
void demandEnded(Context& c, Pointer& pointer, FastPhone& phone, const std::string& ending, Clock::time_point endedAt) {
  bool gone = within(10s, [&] { return c.desktop.connections() == 0; });
  auto took = Clock::now() - endedAt;
  check(gone && took <= 4s, "after " + ending + " the connection is gone within 4 s",
        gone ? secondsText(took) : "still open after 10 s");
  check(!movesPointer(pointer, phone, 30, 1500ms), "after " + ending + " the phone's fast moves do nothing", pointer.shown());
}

// A valid ping written one byte a second, then `disconnect`.
int slow(Context& c) {
  Pointer pointer;
  auto s = c.phone.open();
  FastPhone phone(s.welcome.fastPort.value(), s.fastKeys);
  if (!check(movesPointer(pointer, phone, 20, 3s), "before: the phone's fast moves move the pointer")) return 1;
  Bytes frame = kit::MessageCodec::encodeFrame(Message::ping({99, 0}));
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (std::size_t i = 0; i < frame.size() && !stop && s.tap->write({frame[i]}); ++i) {
      within(1s, [&] { return stop.load(); });
    }
  });
  std::this_thread::sleep_for(2500ms);  // (the desktop must be mid-frame, not waiting on time)
  int ended = c.desktop.count(c.desktop.out(), "^No iPhone connected$");
  c.desktop.type("disconnect");
  auto endedAt = Clock::now();
  check(c.desktop.waitCount(c.desktop.out(), "^No iPhone connected$", ended + 1, 4s),
        "after disconnect the desktop shows no phone connected within 4 s");
  demandEnded(c, pointer, phone, "disconnect", endedAt);
  stop = true;
  writer.join();
  return 0;
}

// A phone with a 4 KiB receive window that never reads, flooding pings
// (each asks a pong) and large messages of a type the desktop ignores.
int deaf(Context& c) {
  Pointer pointer;
  auto fastPort = c.phone.open().welcome.fastPort.value();  // (the same for every session)
  auto context = pskClient(kit::testing::pskOf(c.phone.identity, c.phone.key));
  auto t = rawTls(context.get(), c.desktop, "127.0.0.1", 4096);
  auto binding = t.exporter(kit::KeyDerivation::helloExporterLabel, kit::KeyDerivation::helloBindingLength);
  if (!check(t.connected && t.write(kit::MessageCodec::encodeFrame(c.phone.hello(kit::KeyDerivation::helloProof(c.phone.key, binding, c.phone.identity)))),
             "the phone's hello")) {
    return 1;
  }
  FastPhone phone(fastPort, *kit::FastChannelKeys::fromExportedBytes(t.exporter(kit::FastChannelKeys::exporterLabel, kit::FastChannelKeys::exporterLength)));
  if (!check(movesPointer(pointer, phone, 20, 3s), "before: the phone's fast moves move the pointer")) return 1;
  Bytes pings;
  for (std::uint64_t i = 0; i < 512; ++i) pings = concat({pings, kit::MessageCodec::encodeFrame(Message::ping({1000 + i, 0}))});
  std::string json = "{\"body\":{\"padding\":\"" + std::string(1 << 20, 'x') + "\"},\"type\":\"hostilePadding\"}";
  Bytes large = kit::Framing::frame(kit::testing::payload(json));
  const long limitKiB = 32 * 1024;  // beyond this the flood stops: the desktop keeps it all
  long rss0 = c.desktop.residentKiB(), peak = rss0;
  std::atomic<bool> stop{false}, stalled{false};
  std::thread flooder([&] {
    // A desktop that stops reading stalls a write: it is not buffering then.
    for (int round = 0; !stop && !stalled; ++round) stalled = !t.write(round % 8 == 7 ? large : pings);
  });
  for (auto start = Clock::now(); Clock::now() - start < 4s && peak - rss0 < limitKiB && !stalled;) {
    peak = std::max(peak, c.desktop.residentKiB());
    std::this_thread::sleep_for(50ms);
  }
  if (peak - rss0 >= limitKiB) stop = true;
  checkMemory(peak - rss0 < limitKiB, "the desktop's memory stays bounded while the phone never reads (< 32 MiB more)",
              std::to_string(rss0) + " -> peak " + std::to_string(peak) + " KiB");
  auto revoked = c.desktop.revoke(c.phones.front());
  check(revoked.has_value(), "the desktop revokes the phone while it floods");
  demandEnded(c, pointer, phone, "revoke", revoked.value_or(Clock::now()));
  stop = true;
  flooder.join();  // its write ends with the connection, or after its 10 s
  check(c.desktop.alive(), "the desktop is still running");
  return 0;
}

// 5,000 raw connections a second for 5 s from 127.0.x.y (x < 4, y >= 2) while
// the phone pings, and reconnects 0.75 s in.
int burst(Context& c) {
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = files.rlim_max;
  setrlimit(RLIMIT_NOFILE, &files);
  auto s = c.phone.open();
  std::uint64_t id = 100;
  if (!check(c.phone.ping(s, ++id).has_value(), "a ping before the burst is answered")) return 1;
  int files0 = c.desktop.openFiles();

  const int rate = 5000;
  const auto span = 5s;
  Flood flood(c.desktop.port());
  auto start = Clock::now();
  std::thread burster([&] {
    for (long serial = 0; Clock::now() - start < span; flood.poll(1)) {
      auto due = static_cast<long>(std::chrono::duration<double>(Clock::now() - start).count() * rate);
      for (int n = 0; serial < due && n < 200; ++n, ++serial) {
        flood.open("127.0." + std::to_string(serial / 253 % 4) + "." + std::to_string(2 + serial % 253), serial % 2 == 1);
      }
    }
    flood.closeAll();  // what the desktop still holds open
  });
  // Early in the burst (its set-up slots full by then) the phone reconnects,
  // as a phone coming back would; its new session replaces the old one.
  struct Back {
    std::optional<Session> session;
    Clock::duration took{};
    bool inBurst = false;
  };
  std::future<Back> back;
  bool launched = false;
  auto takeBack = [&] {
    auto r = back.get();
    check(r.session && r.took <= 4s && r.inBurst, "a phone reconnecting during the burst gets in within 4 s, while it goes on",
          secondsText(r.took));
    if (r.session) s = std::move(*r.session);
  };
  Clock::duration worst{};
  int pings = 0;
  bool unanswered = false;
  while (Clock::now() - start < span + 1s && !unanswered) {
    if (!launched && Clock::now() - start >= 750ms) {
      launched = true;
      back = std::async(std::launch::async, [&] {
        Back r;
        for (auto tried = Clock::now(); !r.session && (r.took = Clock::now() - tried) < 4s;) {
          try {
            r.session = c.phone.open();
          } catch (const std::exception&) {
            std::this_thread::sleep_for(50ms);
          }
          r.took = Clock::now() - tried;
        }
        r.inBurst = Clock::now() - start < span;
        return r;
      });
    }
    if (back.valid() && back.wait_for(0s) == std::future_status::ready) takeBack();
    auto t = c.phone.ping(s, ++id);
    if (!t && back.valid()) {  // the reconnection may just have replaced this session
      takeBack();
      continue;
    }
    ++pings;
    unanswered = !t;
    worst = std::max(worst, t.value_or(5s));
    std::this_thread::sleep_for(100ms);
  }
  if (back.valid()) takeBack();
  burster.join();
  check(!unanswered && worst <= 1s, "every ping during the burst is answered within 1 s",
        std::to_string(pings) + " pings, max " + secondsText(worst) + "; " + std::to_string(flood.opened) +
            " connections (" + std::to_string(flood.opened / 5) + " a second), " + std::to_string(flood.failed) + " not made");
  // Stalled set-ups may hold their descriptors for the desktop's TLS limit,
  // while the phone keeps its session alive (a session silent for 10 s ends).
  auto lastPing = Clock::now();
  int files1 = 0;
  bool settled = within(20s, [&] {
    if (Clock::now() - lastPing > 2s) (void)c.phone.ping(s, ++id), lastPing = Clock::now();
    return (files1 = c.desktop.openFiles()) <= files0;
  });
  check(settled, "the desktop's open files return to what they were", std::to_string(files0) + " -> " + std::to_string(files1));
  check(c.desktop.alive() && c.phone.ping(s, ++id).has_value(), "the desktop runs and the phone's session works after the burst");
  return 0;
}

// Every way a secret could be written into a log line: hex in either case,
// Base64 in both alphabets with and without padding, and, for Base64 inside a
// longer blob, the characters that do not depend on neighbours at each of
// the three alignments. (name, text, whether case is ignored)
std::vector<std::tuple<std::string, std::string, bool>> formsOf(kit::ByteView secret) {
  using namespace kit::base64;
  std::vector<std::tuple<std::string, std::string, bool>> forms{{"hex", kit::testing::toHex(secret), true}};
  for (auto alphabet : {Alphabet::standard, Alphabet::urlSafe}) {
    std::string a = alphabet == Alphabet::standard ? "base64" : "base64url";
    forms.emplace_back(a, encode(secret, alphabet, Padding::required), false);
    forms.emplace_back(a + " unpadded", encode(secret, alphabet, Padding::none), false);
    for (std::size_t shift = 1; shift <= 2; ++shift) {
      std::string text = encode(concat({Bytes(shift, 0), Bytes(secret.begin(), secret.end())}), alphabet, Padding::none);
      // Character i covers bits 6i..6i+5; keep those inside the secret's bits.
      std::size_t first = (8 * shift + 5) / 6, last = (8 * (shift + secret.size())) / 6;
      forms.emplace_back(a + " at offset " + std::to_string(shift), text.substr(first, last - first), false);
    }
  }
  return forms;
}

struct Secret {
  std::string name;
  Bytes bytes;
  std::vector<std::string> texts;  // also searched as they are
};

// The lines of `log` that give a secret away, as "<line>: <secret> as <form>".
std::string leaks(const std::vector<std::string>& log, const std::vector<Secret>& secrets) {
  std::string found;
  for (std::size_t n = 0; n < log.size(); ++n) {
    std::string folded = log[n];
    for (auto& ch : folded) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    for (const auto& secret : secrets) {
      auto forms = formsOf(secret.bytes);
      for (const auto& text : secret.texts) forms.emplace_back("text", text, false);
      for (const auto& [form, text, anyCase] : forms) {
        if ((anyCase ? folded : log[n]).find(text) != std::string::npos) {
          found += "\n  line " + std::to_string(n + 1) + ": " + secret.name + " as " + form;
        }
      }
    }
  }
  return found;
}

// A session whose proof and fast-channel key this client knows, with moves,
// a ping and a bye; then no secret in the desktop's log or output.
int logs(Context& c) {
  Pointer pointer;
  auto s = c.phone.open();
  FastPhone phone(s.welcome.fastPort.value(), s.fastKeys);
  check(movesPointer(pointer, phone, 15, 3s), "the phone's moves arrive");
  check(c.phone.ping(s, 5).has_value(), "a ping is answered");
  std::vector<Secret> secrets;
  for (const auto& name : c.phones) secrets.push_back({"the device key of " + name, recordOf(c.dir / name).keyData.copy(), {}});
  secrets.push_back({"the hello proof", c.phone.proofOn(s), {}});
  secrets.push_back({"the hello binding", c.phone.exporter(s, kit::KeyDerivation::helloExporterLabel, kit::KeyDerivation::helloBindingLength), {}});
  secrets.push_back({"the fast-channel key", Bytes(s.fastKeys.key.begin(), s.fastKeys.key.end()), {}});
  c.io.await(s.channel->send(Message::bye({kit::ByeReason::userDisconnected})));
  check(c.phone.endsWithin(s, 5s), "the desktop closes after the phone's bye");

  auto out = linesOf(c.desktop.out());
  std::vector<std::string> otherOut;  // the output without its pairing code lines
  int codes = 0;
  for (const auto& line : out) {
    if (line.rfind(kit::PairingPayload::prefix, 0) != 0) {
      otherOut.push_back(line);
      continue;
    }
    auto payload = kit::PairingPayload::parse(line);
    std::string n = " of pairing code " + std::to_string(++codes), body = line.substr(kit::PairingPayload::prefix.size());
    using namespace kit::base64;
    secrets.push_back({"the text" + n, decode(body, Alphabet::urlSafe, Padding::none).value(), {line, body}});
    secrets.push_back({"the secret" + n, payload.secret.copy(), {}});
    secrets.push_back({"the pairing PSK" + n, kit::KeyDerivation::pairingPSK(payload).copy(), {}});
  }
  // The search itself must find a code where the desktop shows it, and each
  // form of a secret inside a longer line.
  check(codes > 0 && !leaks(out, secrets).empty(), "self-check: the search finds the pairing code on its output line");
  bool allForms = true;
  for (const auto& [form, text, anyCase] : formsOf(secrets.front().bytes)) {
    allForms = allForms && !leaks({"DEBUG x: blob=" + (anyCase ? "AB" + text : "QUJD" + text + "Zz") + ";"}, {secrets.front()}).empty();
  }
  check(allForms, "self-check: the search finds every form of a secret inside a line");
  auto err = linesOf(c.desktop.err());
  check(std::any_of(err.begin(), err.end(), [](auto& l) { return l.rfind("DEBUG", 0) == 0; }), "the desktop logged at debug level");
  auto inErr = leaks(err, secrets), inOut = leaks(otherOut, secrets);
  check(inErr.empty(), "no secret in the desktop's log", inErr);
  check(inOut.empty(), "no secret in the desktop's other output lines", inOut);
  return 0;
}

// 200 connections from 127.0.0.2, so that the desktop's per-address set-up
// limits meet them and not the phone: a third complete TLS with the phone's
// key and announce a frame beyond the maximum (or a legal huge one and keep
// sending past what an unauthenticated peer may), then the rest at once:
// bytes that are not TLS, or the start of a ClientHello. The desktop must
// close every one within 30 s (its TLS limit is 10 s).
int abuse(Context& c) {
  const std::string from = "127.0.0.2";
  const int tls = 68, raw = 132;
  auto context = pskClient(kit::testing::pskOf(c.phone.identity, c.phone.key));
  std::atomic<int> next{0}, handshakes{0}, closed{0};
  auto oversize = [&] {
    for (int i; (i = next++) < tls;) {
      auto t = rawTls(context.get(), c.desktop, from);
      if (!t.connected) {
        closed += t.socket.fd >= 0;  // refused in TLS: closed too
        continue;
      }
      ++handshakes;
      // Sixteen times what a peer may send before its hello proved a key.
      (void)t.write(i % 2 ? concat({be(kit::Framing::maxPayloadLength, 4), Bytes(16 * 64 * 1024, 0x5A)}) : be(0xFFFFFFFF, 4));
      char buffer[256];
      int n = 0;
      while ((n = SSL_read(t.ssl.get(), buffer, sizeof buffer)) > 0) {
      }
      // Else the socket's 10 s limit ran out first.
      closed += SSL_get_error(t.ssl.get(), n) != SSL_ERROR_SYSCALL || (errno != EAGAIN && errno != EWOULDBLOCK);
      ERR_clear_error();
    }
  };
  // Only two at a time: below the desktop's set-up limit per address.
  std::thread second(oversize);
  oversize();
  second.join();
  check(closed == tls && handshakes * 2 >= tls, "the desktop closes every oversize frame",
        std::to_string(handshakes) + " handshakes, " + std::to_string(closed) + " of " + std::to_string(tls) + " closed");
  Flood flood(c.desktop.port());
  for (int i = 0; i < raw; ++i) flood.open(from, i % 2 == 1);
  within(5s, [&] { return flood.poll(50), flood.unsent() == 0; });
  // The script tries the phone from 127.0.0.1 while these hold the slots.
  std::printf("flooding open=%ld\n", flood.stillOpen());
  std::fflush(stdout);
  within(30s, [&] { return flood.poll(200), flood.stillOpen() == 0; });
  check(flood.failed == 0 && flood.closed == raw, "the desktop closes every raw connection",
        std::to_string(flood.closed) + " of " + std::to_string(raw) + ", " + std::to_string(flood.failed) + " not made");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const std::map<std::string, int (*)(Context&)> cases = {
      {"resume", resume}, {"replay", replay}, {"frames", frames}, {"fast", fast}, {"slow", slow},
      {"deaf", deaf},     {"burst", burst},   {"logs", logs},     {"abuse", abuse},
  };
  std::string name = argc > 1 ? argv[1] : "";
  fs::path dir;
  pid_t pid = 0;
  std::vector<std::string> phones;
  for (int i = 2; i + 1 < argc; i += 2) {
    std::string option = argv[i], value = argv[i + 1];
    if (option == "--dir") dir = value;
    if (option == "--pid") pid = std::atoi(value.c_str());
    if (option == "--phone") phones.push_back(value);
  }
  if (!cases.count(name) || dir.empty() || pid <= 0 || phones.empty() || argc % 2) {
    std::fprintf(stderr, "usage: hostile_client <case> --dir <e2e folder> --pid <desktop pid> --phone <name>...\n");
    return 2;
  }
  try {
    Context context(dir, phones, pid);
    return cases.at(name)(context) != 0 || anyFailed ? 1 : 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "hostile_client %s: %s\n", name.c_str(), e.what());
    return 1;
  }
}
