// Hostile phones for tests/e2e/hostile_test.sh: each case attacks the real
// headless desktop on loopback with the paired phone's own key and checks
// what the desktop must do about it, by what it answers, what it logs, the
// X pointer, and its resident memory and open files in /proc.
//
//   hostile_client <case> --dir <e2e folder> --pid <desktop pid> --phone <name> [--phone <name>]...
//
// The e2e folder holds the desktop's host.in (its standard input, a FIFO
// held open by the script), host.out and host.err, and each phone's data
// folder under its name. Cases: resume, replay, frames, fast, slow, deaf,
// burst, logs. Prints one line per step ("ok ..." or "FAIL ...") and figures;
// exits 0 when every check held, 1 when one failed, 2 for bad arguments.
#include <cstdlib>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <optional>
#include <random>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "kit/common/base64.h"
#include "kit/pairing/crypto.h"
#include "kit/pairing/key_derivation.h"
#include "kit/pairing/pairing_payload.h"
#include "kit/transport/fast_packet.h"
#include "kit/transport/transport_parameters.h"
#include "kit/wire/framing.h"
#include "kit/wire/message.h"
#include "kit/wire/message_codec.h"
#include "tests/e2e/e2e_peer.h"

// Last: its macros (None, Status, ...) would break the headers above.
#include <X11/Xlib.h>

using namespace tillerpad;
using namespace std::chrono_literals;
using e2e::Fd;
using kit::Message;
using kit::MessageType;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

// MARK: reporting

bool anyFailed = false;

void say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

// One demanded property: "ok <what>" or "FAIL <what>: <why>".
bool check(bool held, const std::string& what, const std::string& why = "") {
  if (held) {
    say("ok " + what);
  } else {
    anyFailed = true;
    say("FAIL " + what + (why.empty() ? "" : ": " + why));
    std::fprintf(stderr, "hostile_client: FAIL %s%s\n", what.c_str(), why.empty() ? "" : (": " + why).c_str());
  }
  return held;
}

// Resident memory is a fair measure only without a sanitizer, whose allocator
// keeps freed memory in quarantine; under one the figure is reported only.
bool checkMemory(bool held, const std::string& what, const std::string& why) {
  if (!held && std::getenv("TILLERPAD_SANITIZED")) {
    say("not checked under a sanitizer: " + what + " (" + why + ")");
    return true;
  }
  return check(held, what, why);
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::string fixed(double value, int digits = 2) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", digits, value);
  return text;
}

// Polls `done` every 20 ms until it holds or `limit` passed.
bool within(Clock::duration limit, const std::function<bool()>& done) {
  auto deadline = Clock::now() + limit;
  for (;;) {
    if (done()) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::stringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// MARK: the desktop

// The desktop process as its terminal and /proc show it.
class Desktop {
 public:
  Desktop(fs::path dir, pid_t pid) : dir_(std::move(dir)), pid_(pid) {}

  fs::path out() const { return dir_ / "host.out"; }
  fs::path err() const { return dir_ / "host.err"; }
  pid_t pid() const { return pid_; }

  // A line on its standard input, as the user types it.
  void type(const std::string& line) {
    int fd = ::open((dir_ / "host.in").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("cannot open the desktop's standard input");
    std::string text = line + "\n";
    ssize_t n = ::write(fd, text.data(), text.size());
    ::close(fd);
    if (n != static_cast<ssize_t>(text.size())) throw std::runtime_error("cannot type to the desktop");
  }

  int count(const fs::path& file, const std::string& pattern) const {
    std::regex re(pattern);
    int n = 0;
    for (const auto& line : splitLines(readFile(file))) n += std::regex_search(line, re) ? 1 : 0;
    return n;
  }
  bool waitCount(const fs::path& file, const std::string& pattern, int want, Clock::duration limit) const {
    return within(limit, [&] { return count(file, pattern) >= want; });
  }

  // The newest listener's port.
  std::uint16_t port() const {
    std::regex re("^Listening on port ([0-9]+)$");
    std::uint16_t port = 0;
    for (const auto& line : splitLines(readFile(out()))) {
      std::smatch m;
      if (std::regex_match(line, m, re)) port = static_cast<std::uint16_t>(std::stoi(m[1]));
    }
    return port;
  }

  bool alive() const {
    std::string state = statusField("State:");
    return !state.empty() && state[0] != 'Z' && state[0] != 'X';
  }
  long residentKiB() const {
    std::string value = statusField("VmRSS:");
    return value.empty() ? -1 : std::stol(value);
  }
  int openFiles() const {
    int n = 0;
    std::error_code error;
    for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid_) + "/fd", error);
         !error && it != fs::directory_iterator(); it.increment(error)) {
      ++n;
    }
    return n;
  }

  // Whether the desktop still has a TCP socket open whose peer is our local
  // `port` (the kernel's tables, matched to the desktop's descriptors).
  bool holdsConnectionFrom(std::uint16_t port) const {
    auto inodes = socketInodes();
    for (const char* table : {"/proc/net/tcp6", "/proc/net/tcp"}) {
      for (const auto& row : rows(table)) {
        if (row.size() > 9 && portOf(row[2]) == port && inodes.count(row[9])) return true;
      }
    }
    return false;
  }

  // Bytes waiting in the desktop's UDP socket on `port` (the only socket on
  // that port), and the datagrams the kernel dropped there for want of room.
  struct UdpQueue {
    long queued = -1;
    long drops = -1;
  };
  UdpQueue udp(std::uint16_t port) const {
    for (const char* table : {"/proc/net/udp6", "/proc/net/udp"}) {
      for (const auto& row : rows(table)) {
        if (row.size() > 12 && portOf(row[1]) == port) {
          return {std::stol(row[4].substr(row[4].find(':') + 1), nullptr, 16), std::stol(row[12])};
        }
      }
    }
    return {};
  }

  // `revoke <name>` and the user's y: the moment y was typed, once the
  // desktop said "Done." and its listener restarted without the phone's key.
  std::optional<Clock::time_point> revoke(const std::string& name) {
    int asked = count(out(), "^Revoke\\? \\[y/N\\]$");
    int done = count(out(), "^Done\\.$");
    int listeners = count(out(), "^Listening on port");
    type("revoke " + name);
    if (!waitCount(out(), "^Revoke\\? \\[y/N\\]$", asked + 1, 10s)) return std::nullopt;
    type("y");
    auto typed = Clock::now();
    if (!waitCount(out(), "^Done\\.$", done + 1, 10s)) return std::nullopt;
    if (!waitCount(out(), "^Listening on port", listeners + 1, 10s)) return std::nullopt;
    return typed;
  }

 private:
  std::string statusField(const std::string& key) const {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
    for (std::string line; std::getline(in, line);) {
      if (line.rfind(key, 0) == 0) {
        std::stringstream fields(line.substr(key.size()));
        std::string value;
        fields >> value;
        return value;
      }
    }
    return "";
  }
  std::map<std::string, bool> socketInodes() const {
    std::map<std::string, bool> inodes;
    std::error_code error;
    for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid_) + "/fd", error);
         !error && it != fs::directory_iterator(); it.increment(error)) {
      std::string target = fs::read_symlink(it->path(), error).string();
      if (target.rfind("socket:[", 0) == 0) inodes[target.substr(8, target.size() - 9)] = true;
    }
    return inodes;
  }
  static std::vector<std::vector<std::string>> rows(const char* table) {
    std::vector<std::vector<std::string>> result;
    auto lines = splitLines(readFile(table));
    for (std::size_t i = 1; i < lines.size(); ++i) {
      std::stringstream fields(lines[i]);
      std::vector<std::string> row;
      for (std::string f; fields >> f;) row.push_back(f);
      result.push_back(std::move(row));
    }
    return result;
  }
  static std::uint16_t portOf(const std::string& address) {
    return static_cast<std::uint16_t>(std::stoul(address.substr(address.find(':') + 1), nullptr, 16));
  }

  fs::path dir_;
  pid_t pid_;
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

 private:
  Display* display_;
};

std::string shown(std::pair<int, int> p) { return "(" + std::to_string(p.first) + ", " + std::to_string(p.second) + ")"; }

// MARK: a phone's connection

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

// One blocking TLS connection of the phone with a frame decoder; every read
// is bounded by poll().
class Link {
 public:
  Link(Fd socket, e2e::SslPtr ssl) : socket_(std::move(socket)), ssl_(std::move(ssl)) {}

  SSL* ssl() const { return ssl_.get(); }
  std::uint16_t localPort() const {
    sockaddr_in a{};
    socklen_t n = sizeof a;
    getsockname(socket_.fd, reinterpret_cast<sockaddr*>(&a), &n);
    return ntohs(a.sin_port);
  }

  kit::Bytes exporter(std::string_view label, std::size_t length) const {
    kit::Bytes out(length);
    std::string text(label);
    if (SSL_export_keying_material(ssl_.get(), out.data(), out.size(), text.c_str(), text.size(), nullptr, 0, 0) != 1) {
      throw std::runtime_error("no exporter");
    }
    return out;
  }

  bool send(kit::ByteView bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      std::size_t n = 0;
      if (SSL_write_ex(ssl_.get(), bytes.data() + done, bytes.size() - done, &n) != 1) {
        ERR_clear_error();
        return false;
      }
      done += n;
    }
    return true;
  }
  bool send(const Message& message) { return send(kit::MessageCodec::encodeFrame(message)); }

  enum class Got { message, closed, timedOut };
  Got receive(std::optional<Message>& message, Clock::duration limit) {
    auto deadline = Clock::now() + limit;
    for (;;) {
      if (auto payload = decoder_.next()) {
        message = kit::MessageCodec::decode(*payload);
        return Got::message;
      }
      if (SSL_pending(ssl_.get()) == 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return Got::timedOut;
        pollfd p{socket_.fd, POLLIN, 0};
        int ready = ::poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) return Got::timedOut;
      }
      std::uint8_t buffer[16384];
      std::size_t n = 0;
      if (SSL_read_ex(ssl_.get(), buffer, sizeof buffer, &n) == 1) {
        decoder_.append({buffer, n});
        continue;
      }
      int error = SSL_get_error(ssl_.get(), 0);
      ERR_clear_error();
      if (error == SSL_ERROR_WANT_READ) continue;
      return Got::closed;
    }
  }

  // The next message of `type` within `limit`, skipping others (the
  // desktop's opening messages, keep-alive answers).
  std::optional<Message> expect(MessageType type, Clock::duration limit) {
    auto deadline = Clock::now() + limit;
    std::optional<Message> message;
    while (receive(message, deadline - Clock::now()) == Got::message) {
      if (message->is(type)) return message;
    }
    return std::nullopt;
  }

  // Reads and drops everything until the desktop closes; the time it took,
  // or nothing when it kept the connection open for `limit`.
  std::optional<Clock::duration> closedWithin(Clock::duration limit) {
    auto start = Clock::now();
    std::optional<Message> message;
    for (;;) {
      Got got;
      try {
        got = receive(message, start + limit - Clock::now());
      } catch (const std::exception&) {
        got = Got::closed;  // the desktop does not send bad frames; treat as the end
      }
      if (got == Got::closed) return Clock::now() - start;
      if (got == Got::timedOut) return std::nullopt;
    }
  }

 private:
  Fd socket_;
  e2e::SslPtr ssl_;
  kit::FrameDecoder decoder_;
};

// What a handshake attempt gave: a link, or the alert that refused it.
struct Attempt {
  std::unique_ptr<Link> link;
  int alert = -1;
  bool reused = false;
  std::string error;
};

struct Connector {
  e2e::PskClient& client;
  const Desktop& desktop;
  std::string from = "127.0.0.1";
  int receiveBuffer = 0;
  std::function<void(SSL*)> prepare = [](SSL*) {};

  // TCP and TLS; a closed port (the listener restarted elsewhere after a
  // key change) is tried again on the newest port for a few seconds.
  Attempt operator()() const {
    Attempt attempt;
    std::optional<Fd> socket;
    auto deadline = Clock::now() + 5s;
    for (;;) {
      socket = e2e::connectFrom(from, "127.0.0.1", desktop.port(), 10s, receiveBuffer);
      if (socket || errno != ECONNREFUSED || Clock::now() >= deadline) break;
      std::this_thread::sleep_for(50ms);
    }
    if (!socket) {
      attempt.error = std::string("no TCP connection: ") + std::strerror(errno);
      return attempt;
    }
    auto ssl = client.newConnection(socket->fd);
    prepare(ssl.get());
    if (SSL_connect(ssl.get()) != 1) {
      attempt.alert = receivedAlert();
      attempt.reused = SSL_session_reused(ssl.get()) == 1;
      attempt.error = "TLS handshake failed" + (attempt.alert >= 0 ? " with alert " + std::to_string(attempt.alert) : "");
      return attempt;
    }
    attempt.reused = SSL_session_reused(ssl.get()) == 1;
    attempt.link = std::make_unique<Link>(std::move(*socket), std::move(ssl));
    return attempt;
  }
};

kit::DeviceInfo hostileDevice() { return {"hostile", "Test", "0", "0"}; }

// A phone's identity and key, and what it proves on a link.
struct PhoneKey {
  kit::PeerIdentity identity = kit::PeerIdentity::device(kit::Uuid());
  kit::SymmetricKey key;

  kit::Bytes proofFor(const Link& link) const {
    auto binding = link.exporter(kit::KeyDerivation::helloExporterLabel, kit::KeyDerivation::helloBindingLength);
    return kit::KeyDerivation::helloProof(key, binding, identity);
  }
  Message hello(kit::Bytes proof) const {
    return Message::hello({kit::ProtocolVersion::current, identity, std::move(proof), hostileDevice()});
  }
};

// A session as a phone has it: TLS, hello, welcome, the opening messages,
// and the fast channel's keys.
struct Session {
  std::unique_ptr<Link> link;
  kit::Welcome welcome;
  kit::FastChannelKeys fastKeys;
  kit::Bytes proof;
};

std::optional<Session> openSession(const Connector& connect, const PhoneKey& phone, std::string* why = nullptr) {
  auto attempt = connect();
  auto fail = [&](std::string text) -> std::optional<Session> {
    if (why) *why = std::move(text);
    return std::nullopt;
  };
  if (!attempt.link) return fail(attempt.error);
  Session s;
  s.link = std::move(attempt.link);
  s.proof = phone.proofFor(*s.link);
  if (!s.link->send(phone.hello(s.proof))) return fail("the hello could not be sent");
  auto welcome = s.link->expect(MessageType::welcome, 10s);
  if (!welcome) return fail("no welcome");
  s.welcome = welcome->get<MessageType::welcome>();
  // The last opening message: the desktop has registered the fast keys.
  if (!s.link->expect(MessageType::sharingSettings, 10s)) return fail("no sharingSettings");
  auto keys = kit::FastChannelKeys::fromExportedBytes(
      s.link->exporter(kit::FastChannelKeys::exporterLabel, kit::FastChannelKeys::exporterLength));
  if (!keys) return fail("no fast-channel keys");
  s.fastKeys = *keys;
  return s;
}

// Round trip of one ping; nothing when no pong came within `limit`.
std::optional<Clock::duration> pingTime(Link& link, std::uint64_t id, Clock::duration limit) {
  auto start = Clock::now();
  if (!link.send(Message::ping({id, 0}))) return std::nullopt;
  auto deadline = start + limit;
  while (Clock::now() < deadline) {
    auto pong = link.expect(MessageType::pong, deadline - Clock::now());
    if (!pong) return std::nullopt;
    if (pong->get<MessageType::pong>().id == id) return Clock::now() - start;
  }
  return std::nullopt;
}

// MARK: the fast channel

// A UDP socket from `from`, connected to the desktop's fast port.
Fd udpTo(std::uint16_t port, const std::string& from = "127.0.0.1") {
  Fd s(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_in local = e2e::ipv4(from, 0);
  sockaddr_in remote = e2e::ipv4("127.0.0.1", port);
  if (s.fd < 0 || ::bind(s.fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      ::connect(s.fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
    throw std::runtime_error(std::string("UDP socket: ") + std::strerror(errno));
  }
  return s;
}

// The phone's own fast channel, with sealed datagrams kept for replays.
class FastPhone {
 public:
  FastPhone(std::uint16_t port, kit::FastChannelKeys keys) : socket_(udpTo(port)), keys_(keys) {}
  kit::Bytes move(float dx, float dy) {
    kit::Bytes datagram = kit::FastPacket::seal({kit::FastEvent::pointerMove(dx, dy)}, ++sequence_, keys_);
    (void)::send(socket_.fd, datagram.data(), datagram.size(), 0);
    return datagram;
  }
  void sendRaw(kit::ByteView bytes) { (void)::send(socket_.fd, bytes.data(), bytes.size(), 0); }
  const kit::FastChannelKeys& keys() const { return keys_; }

 private:
  Fd socket_;
  kit::FastChannelKeys keys_;
  std::uint64_t sequence_ = 0;
};

// Whether the pointer moves while `phone` sends moves of `step` (towards the
// middle of the screen) for `span`: the positive control before an ending,
// the demand after it.
bool movesPointer(Pointer& pointer, FastPhone& phone, float step, Clock::duration span) {
  auto start = pointer.where();
  auto [sx, sy] = pointer.towardMiddle();
  auto deadline = Clock::now() + span;
  while (Clock::now() < deadline) {
    phone.move(sx * step, sy * step);
    if (within(150ms, [&] { return pointer.where() != start; })) return true;
  }
  return false;
}

// MARK: options

struct Options {
  std::string name;
  fs::path dir;
  pid_t pid = 0;
  std::vector<std::string> phones;
  int datagrams = 100'000;
  int rate = 5000;
  int burstSeconds = 5;
};

Options parse(int argc, char** argv) {
  if (argc < 2) throw std::invalid_argument("no case");
  Options o;
  o.name = argv[1];
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    if (i + 1 >= argc) throw std::invalid_argument(a + " needs a value");
    std::string v = argv[++i];
    if (a == "--dir") o.dir = v;
    else if (a == "--pid") o.pid = static_cast<pid_t>(std::stoi(v));
    else if (a == "--phone") o.phones.push_back(v);
    else if (a == "--datagrams") o.datagrams = std::stoi(v);
    else if (a == "--rate") o.rate = std::stoi(v);
    else if (a == "--burst-seconds") o.burstSeconds = std::stoi(v);
    else throw std::invalid_argument("unknown option " + a);
  }
  if (o.dir.empty() || o.pid <= 0 || o.phones.empty()) {
    throw std::invalid_argument(
        "usage: hostile_client <case> --dir <e2e folder> --pid <desktop pid> --phone <name> [--phone <name>]...");
  }
  return o;
}

// Everything a case gets.
struct Context {
  Options options;
  Desktop desktop;
  kit::PairedMac record;  // of the first --phone
  PhoneKey phone;
  e2e::PskClient client;
  Connector connect;

  explicit Context(Options o, kit::PairedMac r)
      : options(std::move(o)),
        desktop(options.dir, options.pid),
        record(std::move(r)),
        phone{kit::PeerIdentity::device(record.deviceID), record.keyData},
        client(e2e::pskOf(record)),
        connect{client, desktop} {}
};

// MARK: 1 resumption after a revoke

// What the phone's ClientHello offered: its session id and ticket lengths.
struct Offer {
  std::size_t sessionID = 0;
  std::optional<std::size_t> ticket;
};

void inspectClientHello(int writing, int, int contentType, const void* data, std::size_t length, SSL*, void* arg) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  if (!writing || contentType != SSL3_RT_HANDSHAKE || length < 4 || p[0] != SSL3_MT_CLIENT_HELLO) return;
  auto* offer = static_cast<Offer*>(arg);
  auto u16 = [&](std::size_t i) { return std::size_t{p[i]} << 8 | p[i + 1]; };
  std::size_t i = 4 + 2 + 32;  // header, version, random
  if (i >= length) return;
  offer->sessionID = p[i];
  i += 1 + p[i];
  if (i + 2 > length) return;
  i += 2 + u16(i);  // cipher suites
  if (i >= length) return;
  i += 1 + p[i];  // compression methods
  if (i + 2 > length) return;
  std::size_t end = std::min(length, i + 2 + u16(i));
  for (i += 2; i + 4 <= end; i += 4 + u16(i + 2)) {
    if (u16(i) == 35) offer->ticket = u16(i + 2);  // session_ticket
  }
}

int resume(Context& c) {
  // Client-side caching on, tickets allowed: the phone offers what it may.
  SSL_CTX_set_session_cache_mode(c.client.context.get(), SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL);
  SSL_CTX_clear_options(c.client.context.get(), SSL_OP_NO_TICKET);
  std::string why;
  auto first = openSession(c.connect, c.phone, &why);
  if (!check(first.has_value(), "the phone connects with its key", why)) return 1;
  e2e::SessionPtr saved(SSL_get1_session(first->link->ssl()));
  if (!check(saved != nullptr, "the phone saved its TLS session")) return 1;
  // Freed only now: OpenSSL marks a session that has an id unresumable when
  // its connection goes without a close_notify.
  first->link.reset();
  // The desktop gives out no session id (its cache is off); give the saved
  // session one, so that resuming it by id is really attempted.
  unsigned int idLength = 0;
  SSL_SESSION_get_id(saved.get(), &idLength);
  say("session id from the desktop: " + std::to_string(idLength) + " bytes");
  if (idLength == 0) {
    auto id = kit::crypto::randomBytes(32);
    SSL_SESSION_set1_id(saved.get(), id.data(), static_cast<unsigned int>(id.size()));
  }

  auto ticket = kit::crypto::randomBytes(160);
  struct Way {
    const char* name;
    bool withTicket;
  };
  const Way ways[] = {{"session id", false}, {"session ticket", true}};
  auto tryResume = [&](const Way& way, Offer& offer) {
    Connector connect = c.connect;
    connect.prepare = [&](SSL* ssl) {
      SSL_set_msg_callback(ssl, inspectClientHello);
      SSL_set_msg_callback_arg(ssl, &offer);
      SSL_set_session(ssl, saved.get());
      if (way.withTicket) SSL_set_session_ticket_ext(ssl, ticket.data(), static_cast<int>(ticket.size()));
    };
    return connect();
  };
  auto offered = [](const Way& way, const Offer& offer) {
    return way.withTicket ? offer.ticket.value_or(0) > 0 : offer.sessionID > 0;
  };

  for (const auto& way : ways) {
    Offer offer;
    auto attempt = tryResume(way, offer);
    std::string what = std::string("before the revoke, an offered ") + way.name;
    check(offered(way, offer), what + " is in the ClientHello",
          "session id " + std::to_string(offer.sessionID) + " bytes, ticket " +
              std::to_string(offer.ticket.value_or(0)) + " bytes");
    check(attempt.link != nullptr, what + ": a full handshake with the key succeeds", attempt.error);
    check(!attempt.reused, what + " is not resumed (SSL_session_reused 0)");
  }

  if (!check(c.desktop.revoke(c.options.phones.front()).has_value(), "the desktop revokes the phone")) return 1;
  for (const auto& way : ways) {
    Offer offer;
    auto attempt = tryResume(way, offer);
    std::string what = std::string("after the revoke, an offered ") + way.name;
    check(offered(way, offer), what + " is in the ClientHello");
    check(!attempt.reused, what + " is not resumed (SSL_session_reused 0)");
    check(attempt.link == nullptr && attempt.alert == kit::TransportParameters::unknownPskIdentityAlert,
          what + ": the handshake fails with unknown_psk_identity",
          attempt.link ? "the handshake succeeded" : attempt.error);
  }
  return anyFailed ? 1 : 0;
}

// MARK: 2 a hello proof replayed on another TLS session

int replay(Context& c) {
  int rejected = c.desktop.count(c.desktop.err(), "Connection rejected");
  auto a = c.connect();
  auto b = c.connect();
  if (!check(a.link && b.link, "two TLS sessions with the phone's key", a.error + b.error)) return 1;
  auto bindingA = a.link->exporter(kit::KeyDerivation::helloExporterLabel, kit::KeyDerivation::helloBindingLength);
  auto bindingB = b.link->exporter(kit::KeyDerivation::helloExporterLabel, kit::KeyDerivation::helloBindingLength);
  check(bindingA != bindingB, "the two sessions have different hello bindings");
  kit::Bytes proofA = c.phone.proofFor(*a.link);

  b.link->send(c.phone.hello(proofA));
  std::optional<Message> answer;
  auto got = b.link->receive(answer, 5s);
  bool refused = got == Link::Got::closed || (got == Link::Got::message && !answer->is(MessageType::welcome));
  check(refused, "session B: the hello proof of session A is refused",
        got == Link::Got::message ? "answered " + std::string(answer->type()) : "no answer within 5 s");
  if (got == Link::Got::message && answer->is(MessageType::error)) {
    say("session B answer: error " + answer->get<MessageType::error>().code.rawValue);
  }
  auto closed = b.link->closedWithin(5s);
  check(closed.has_value(), "session B: the desktop closes the connection");
  check(c.desktop.waitCount(c.desktop.err(), "Connection rejected", rejected + 1, 5s),
        "the desktop logs \"Connection rejected\"");

  // The same proof on its own session: it was a valid proof, only misplaced.
  a.link->send(c.phone.hello(proofA));
  check(a.link->expect(MessageType::welcome, 5s).has_value(), "session A: the same hello is welcomed");
  return anyFailed ? 1 : 0;
}

// MARK: 4 oversize frames and attachment counts

kit::Bytes bigEndian(std::uint64_t value, int bytes) {
  kit::Bytes out;
  for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
  return out;
}

kit::Bytes framed(const kit::Bytes& payload) {
  kit::Bytes out = bigEndian(payload.size(), 4);
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

// A ping's payload with its attachment part replaced by `tail`.
kit::Bytes pingWithAttachments(const kit::Bytes& tail) {
  kit::Bytes payload = kit::MessageCodec::encode(Message::ping({1, 0}));
  payload.resize(payload.size() - 2);  // its count of zero attachments
  payload.insert(payload.end(), tail.begin(), tail.end());
  return payload;
}

kit::Bytes concat(std::initializer_list<kit::Bytes> parts) {
  kit::Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

int frames(Context& c) {
  struct Case {
    const char* name;
    kit::Bytes bytes;
  };
  kit::Bytes filler(64, 0x41);
  kit::Bytes sixtyFiveEmpty = bigEndian(65, 2);
  for (int i = 0; i < 65; ++i) sixtyFiveEmpty = concat({sixtyFiveEmpty, bigEndian(0, 4)});
  const std::vector<Case> cases = {
      {"a frame announcing the maximum + 1 byte", concat({bigEndian(kit::Framing::maxPayloadLength + 1ull, 4), filler})},
      {"a frame announcing 4 GiB - 1", concat({bigEndian(0xFFFFFFFFu, 4), filler})},
      {"a JSON length beyond the frame", framed(concat({bigEndian(0xFFFFFF00u, 4), kit::Bytes{'{', '}'}, filler}))},
      {"65,535 attachments announced, none sent", framed(pingWithAttachments(bigEndian(0xFFFF, 2)))},
      {"65 empty attachments, one over the maximum", framed(pingWithAttachments(sixtyFiveEmpty))},
      {"an attachment length of 4 GiB - 16 in a small frame",
       framed(pingWithAttachments(concat({bigEndian(1, 2), bigEndian(0xFFFFFFF0u, 4), filler})))},
      {"an attachment length of 2 GiB in a small frame",
       framed(pingWithAttachments(concat({bigEndian(1, 2), bigEndian(0x80000000u, 4), filler})))},
      {"an attachment length one beyond the frame's end",
       framed(pingWithAttachments(concat({bigEndian(1, 2), bigEndian(filler.size() + 1, 4), filler})))},
      {"bytes after the last attachment", framed(pingWithAttachments(concat({bigEndian(0, 2), filler})))},
  };
  for (const auto& k : cases) {
    std::string why;
    auto s = openSession(c.connect, c.phone, &why);
    if (!check(s.has_value(), std::string(k.name) + ": an authenticated session first", why)) continue;
    long before = c.desktop.residentKiB();
    s->link->send(k.bytes);
    auto closed = s->link->closedWithin(5s);
    check(closed.has_value(), std::string(k.name) + ": the desktop closes the connection",
          "still open after 5 s");
    if (closed) say("  closed after " + fixed(seconds(*closed), 3) + " s; resident " + std::to_string(before) +
                    " -> " + std::to_string(c.desktop.residentKiB()) + " KiB");
    check(c.desktop.alive(), std::string(k.name) + ": the desktop is still running");
  }
  std::string why;
  auto after = openSession(c.connect, c.phone, &why);
  check(after && pingTime(*after->link, 7, 5s).has_value(), "a new session afterwards: welcome and pong", why);
  return anyFailed ? 1 : 0;
}

// MARK: 3 forged, replayed, truncated and oversize fast-channel datagrams

int fast(Context& c) {
  Pointer pointer;
  std::string why;
  auto s = openSession(c.connect, c.phone, &why);
  if (!check(s && s->welcome.fastPort, "the phone's session with a fast port", why)) return 1;
  std::uint16_t port = *s->welcome.fastPort;
  FastPhone phone(port, s->fastKeys);

  // One real move sideways: the datagram that is replayed below.
  auto p0 = pointer.where();
  auto [sx, sy] = pointer.towardMiddle();
  kit::Bytes valid = phone.move(40 * sx, 0);
  if (!check(within(5s, [&] { return pointer.where().first != p0.first; }), "a real move moves the pointer sideways",
             "it stays at " + shown(pointer.where()))) {
    return 1;
  }
  auto p1 = pointer.where();

  // The flood comes from many flows (addresses and ports), as a spoofing
  // sender's would, plus the phone's own flow for the replays.
  std::vector<Fd> flows;
  for (int i = 0; i < 256; ++i) flows.push_back(udpTo(port, "127.0.0." + std::to_string(2 + i % 250)));
  std::mt19937_64 random(20240601);
  auto bytes = [&](std::size_t n) {
    kit::Bytes b(n);
    for (auto& x : b) x = static_cast<std::uint8_t>(random());
    return b;
  };
  std::map<std::string, int> sent;
  std::uint64_t forgedSequence = 1'000'000;
  auto hostile = [&](int i) -> std::pair<const char*, kit::Bytes> {
    switch (i % 6) {
      case 0: return {"random", bytes(1 + random() % 400)};
      case 1: {  // the session's own tag and a fresh sequence: only the AEAD tag is wrong
        kit::Bytes d = concat({kit::Bytes{1}, bigEndian(s->fastKeys.sessionTag, 4), bigEndian(++forgedSequence, 8),
                               bytes(1 + 9 + kit::FastPacket::tagLength)});
        return {"wrong tag", d};
      }
      case 2: return {"replayed", valid};
      case 3: return {"truncated", kit::Bytes(valid.begin(), valid.begin() + static_cast<long>(random() % valid.size()))};
      case 4: {  // a valid datagram with bytes after it, or far beyond the largest
        kit::Bytes d = valid;
        kit::Bytes extra = bytes(i % 12 == 4 ? 9000 : 1 + random() % 1200);
        d.insert(d.end(), extra.begin(), extra.end());
        return {"oversize", d};
      }
      default: {  // a well-formed datagram under a key nobody registered
        kit::FastChannelKeys other{};
        auto k = bytes(32);
        std::copy(k.begin(), k.end(), other.key.begin());
        other.sessionTag = s->fastKeys.sessionTag;
        return {"foreign key", kit::FastPacket::seal({kit::FastEvent::pointerMove(40, 0)}, ++forgedSequence, other)};
      }
    }
  };
  // Sends `count` datagrams, keeping the desktop's socket from filling so
  // that they reach the desktop instead of the kernel's bin; and a ping now
  // and then, since a session silent for 10 s ends.
  auto lastPing = Clock::now();
  std::uint64_t pingID = 1000;
  auto flood = [&](int count) {
    for (int i = 0; i < count;) {
      for (int end = std::min(count, i + 32); i < end; ++i) {
        auto [kind, d] = hostile(i);
        ++sent[kind];
        if (std::string(kind) == "replayed") {
          phone.sendRaw(d);
        } else {
          (void)::send(flows[i % flows.size()].fd, d.data(), d.size(), 0);
        }
      }
      if (c.desktop.udp(port).queued > 64 * 1024) {
        auto deadline = Clock::now() + 2s;
        while (c.desktop.udp(port).queued > 16 * 1024 && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
      }
      if (Clock::now() - lastPing > 3s) {
        s->link->send(Message::ping({++pingID, 0}));  // (its pong waits unread)
        lastPing = Clock::now();
      }
    }
  };
  flood(10'000);  // warms up the desktop's buffers and allocator
  long drops0 = c.desktop.udp(port).drops;
  long rss0 = c.desktop.residentKiB();
  int files0 = c.desktop.openFiles();
  auto start = Clock::now();
  sent.clear();
  flood(c.options.datagrams);
  double took = seconds(Clock::now() - start);
  within(5s, [&] { return c.desktop.udp(port).queued == 0; });
  long drops = c.desktop.udp(port).drops - drops0;
  long rss1 = c.desktop.residentKiB();
  int files1 = c.desktop.openFiles();
  std::string kinds;
  for (const auto& [kind, n] : sent) kinds += " " + std::string(kind) + "=" + std::to_string(n);
  say("sent " + std::to_string(c.options.datagrams) + " datagrams in " + fixed(took) + " s:" + kinds);
  say("kernel drops at the desktop's socket: " + std::to_string(drops) + "; resident " + std::to_string(rss0) +
      " -> " + std::to_string(rss1) + " KiB; open files " + std::to_string(files0) + " -> " + std::to_string(files1));
  check(drops * 10 < c.options.datagrams, "nine in ten datagrams reached the desktop");
  // A datagram kept would cost at least its own size: 100,000 of them, tens of MiB.
  checkMemory(rss1 - rss0 <= 1024, "the desktop's resident memory stays flat (<= 1 MiB more)",
              std::to_string(rss1 - rss0) + " KiB more");
  // (Fewer is fine: a connection of the pairing may still have been closing.)
  check(files1 <= files0, "the desktop's open files do not grow");
  check(c.desktop.alive(), "the desktop is still running");

  // Replays would have pushed the pointer sideways; the phone's next real
  // move (up or down) must still count, and is the barrier for everything
  // sent before it on the phone's flow.
  auto p2 = pointer.where();
  check(p2.first == p1.first, "no replayed or forged move moved the pointer", shown(p1) + " -> " + shown(p2));
  bool down = false;  // (or up)
  for (int i = 0; i < 10 && !down; ++i) {
    phone.move(0, 40 * sy);
    down = within(500ms, [&] { return pointer.where().second != p2.second; });
  }
  check(down, "the phone's next real move still moves the pointer", "it stays at " + shown(pointer.where()));
  check(pointer.where().first == p1.first, "and only that move: x is unchanged", shown(pointer.where()));
  return anyFailed ? 1 : 0;
}

// MARK: 5 a slow writer and a phone that never reads, ended from the desktop

// After the desktop's `ending` (disconnect or revoke), the phone's TCP
// connection must be gone within 4 s and its fast moves must stop counting.
void demandEnded(Context& c, Pointer& pointer, FastPhone& phone, std::uint16_t localPort, const std::string& ending,
                 Clock::time_point endedAt) {
  bool gone = within(10s, [&] { return !c.desktop.holdsConnectionFrom(localPort); });
  double took = seconds(Clock::now() - endedAt);
  say("after " + ending + ": the desktop held the connection for " + fixed(took) + " s" +
      (gone ? "" : " (and still holds it)"));
  check(gone && took <= 4.0, "after " + ending + " the connection is gone within 4 s",
        gone ? fixed(took) + " s" : "still open after 10 s");
  check(!movesPointer(pointer, phone, 30, 1500ms), "after " + ending + " the phone's fast moves do nothing",
        "the pointer moved to " + shown(pointer.where()));
}

int slow(Context& c) {
  Pointer pointer;
  std::string why;
  auto s = openSession(c.connect, c.phone, &why);
  if (!check(s && s->welcome.fastPort, "the phone's session", why)) return 1;
  FastPhone phone(*s->welcome.fastPort, s->fastKeys);
  if (!check(movesPointer(pointer, phone, 20, 3s), "before: the phone's fast moves move the pointer")) return 1;

  // A valid ping, one byte a second, never finished within this case.
  kit::Bytes frame = kit::MessageCodec::encodeFrame(Message::ping({99, 0}));
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (std::size_t i = 0; i < frame.size() && !stop; ++i) {
      if (!s->link->send(kit::ByteView(frame).subspan(i, 1))) break;
      for (int t = 0; t < 50 && !stop; ++t) std::this_thread::sleep_for(20ms);
    }
  });
  std::this_thread::sleep_for(2500ms);  // (the desktop must be mid-frame, not waiting on time)
  long rss = c.desktop.residentKiB();
  int ended = c.desktop.count(c.desktop.out(), "^No iPhone connected$");
  c.desktop.type("disconnect");
  auto endedAt = Clock::now();
  check(c.desktop.waitCount(c.desktop.out(), "^No iPhone connected$", ended + 1, 4s),
        "after disconnect the desktop shows no phone connected within 4 s");
  demandEnded(c, pointer, phone, s->link->localPort(), "disconnect", endedAt);
  stop = true;
  writer.join();
  say("resident during the slow write " + std::to_string(rss) + " KiB, after " +
      std::to_string(c.desktop.residentKiB()) + " KiB");
  return anyFailed ? 1 : 0;
}

int deaf(Context& c) {
  Pointer pointer;
  std::string why;
  Connector small = c.connect;
  small.receiveBuffer = 4096;  // fills soon: the desktop's replies back up
  auto s = openSession(small, c.phone, &why);
  if (!check(s && s->welcome.fastPort, "the phone's session", why)) return 1;
  FastPhone phone(*s->welcome.fastPort, s->fastKeys);
  if (!check(movesPointer(pointer, phone, 20, 3s), "before: the phone's fast moves move the pointer")) return 1;

  // Batches of pings, each asking a pong, and large valid messages of a
  // type the desktop ignores; nothing is ever read.
  kit::Bytes pings;
  for (int i = 0; i < 512; ++i) {
    auto f = kit::MessageCodec::encodeFrame(Message::ping({static_cast<std::uint64_t>(1000 + i), 0}));
    pings.insert(pings.end(), f.begin(), f.end());
  }
  std::string padding(1 << 20, 'x');
  std::string json = "{\"body\":{\"padding\":\"" + padding + "\"},\"type\":\"hostilePadding\"}";
  kit::Bytes large = framed(concat({bigEndian(json.size(), 4), kit::Bytes(json.begin(), json.end()), bigEndian(0, 2)}));
  const long limitKiB = 32 * 1024;  // beyond this the flood stops: the desktop keeps it all
  long rss0 = c.desktop.residentKiB();
  std::atomic<long> peak{rss0};
  std::atomic<bool> stop{false};
  std::atomic<long> sentBytes{0};
  std::atomic<bool> stalled{false};
  std::thread flooder([&] {
    // Each write is bounded by the socket's 10 s limit; a desktop that stops
    // reading stalls it, which is fine: it is not buffering then.
    for (int round = 0; !stop; ++round) {
      const kit::Bytes& batch = round % 8 == 7 ? large : pings;
      if (!s->link->send(batch)) {
        stalled = true;
        break;
      }
      sentBytes += static_cast<long>(batch.size());
    }
  });
  auto floodStart = Clock::now();
  while (Clock::now() - floodStart < 4s && peak - rss0 < limitKiB && !stalled) {
    peak = std::max(peak.load(), c.desktop.residentKiB());
    std::this_thread::sleep_for(50ms);
  }
  say("flooded " + std::to_string(sentBytes / 1024) + " KiB in " + fixed(seconds(Clock::now() - floodStart)) +
      " s; desktop resident " + std::to_string(rss0) + " -> peak " + std::to_string(peak) + " KiB" +
      (stalled ? "; writes stalled (the desktop stopped reading)" : ""));
  if (peak - rss0 >= limitKiB) stop = true;
  checkMemory(peak - rss0 < limitKiB,
              "the desktop's memory stays bounded while the phone never reads (< 32 MiB more)",
              std::to_string(peak - rss0) + " KiB more");

  auto revoked = c.desktop.revoke(c.options.phones.front());
  check(revoked.has_value(), "the desktop revokes the phone while it floods");
  demandEnded(c, pointer, phone, s->link->localPort(), "revoke", revoked.value_or(Clock::now()));
  stop = true;
  // The flooder's write ends with the connection, or after its 10 s limit.
  flooder.join();
  check(c.desktop.alive(), "the desktop is still running");
  return anyFailed ? 1 : 0;
}

// MARK: 6 a burst of connections from many loopback addresses

// Opens connections at `rate` per second for `span` from 127.0.x.y (x < 4,
// y >= 2, so never the phone's 127.0.0.1): half send bytes that are not TLS,
// half the start of a ClientHello and nothing more. Each stays open until
// the desktop closes it, as an attacker's would, and what is still open when
// the burst is over is closed then.
class Burst {
 public:

  Burst(std::uint16_t port, int rate, Clock::duration span) : port_(port), rate_(rate), span_(span) {}

  void run() {
    Fd poller(epoll_create1(EPOLL_CLOEXEC));
    auto start = Clock::now();
    std::uint64_t serial = 0;
    while (Clock::now() - start < span_) {
      auto due = static_cast<long>(seconds(Clock::now() - start) * rate_);
      for (int n = 0; opened_ < due && n < 200; ++n) openOne(poller.fd, serial++);
      epoll_event events[256];
      int ready = epoll_wait(poller.fd, events, 256, 1);
      for (int i = 0; i < ready; ++i) handle(poller.fd, events[i]);
    }
    leftOpen_ = static_cast<long>(open_.size());
    for (const auto& [fd, pending] : open_) ::close(fd);
    open_.clear();
  }

  long opened() const { return opened_; }
  long failed() const { return failed_; }
  long closedByDesktop() const { return closedByDesktop_; }
  long leftOpen() const { return leftOpen_; }
  // Connections opened during the burst's span, per second.
  double achievedRate() const { return static_cast<double>(opened_) / seconds(span_); }

 private:
  struct Pending {
    bool sent = false;
    bool stall = false;
  };

  void openOne(int poller, std::uint64_t serial) {
    ++opened_;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      ++failed_;
      return;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
    std::string from = "127.0." + std::to_string(serial / 253 % 4) + "." + std::to_string(2 + serial % 253);
    sockaddr_in local = e2e::ipv4(from, 0);
    sockaddr_in remote = e2e::ipv4("127.0.0.1", port_);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        (::connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0 && errno != EINPROGRESS)) {
      ::close(fd);
      ++failed_;
      return;
    }
    epoll_event e{};
    e.events = EPOLLOUT | EPOLLIN | EPOLLRDHUP;
    e.data.fd = fd;
    epoll_ctl(poller, EPOLL_CTL_ADD, fd, &e);
    open_[fd] = {false, serial % 2 == 1};
  }

  void handle(int poller, const epoll_event& e) {
    auto it = open_.find(e.data.fd);
    if (it == open_.end()) return;
    if (e.events & (EPOLLERR | EPOLLHUP | EPOLLRDHUP | EPOLLIN)) {
      ++closedByDesktop_;
      drop(poller, it);
      return;
    }
    if ((e.events & EPOLLOUT) && !it->second.sent) {
      static const std::uint8_t hello[] = {0x16, 0x03, 0x01, 0x02, 0x00, 0x01, 0x00, 0x01, 0xFC, 0x03, 0x03};
      static const char garbage[] = "GET / HTTP/1.1\r\nHost: tillerpad\r\n\r\n\x01\x02\x03\xff\xfe";
      if (it->second.stall) {
        (void)::send(e.data.fd, hello, sizeof hello, MSG_NOSIGNAL);
      } else {
        (void)::send(e.data.fd, garbage, sizeof garbage - 1, MSG_NOSIGNAL);
      }
      it->second.sent = true;
      epoll_event only{};
      only.events = EPOLLIN | EPOLLRDHUP;
      only.data.fd = e.data.fd;
      epoll_ctl(poller, EPOLL_CTL_MOD, e.data.fd, &only);
    }
  }

  void drop(int poller, std::map<int, Pending>::iterator it) {
    epoll_ctl(poller, EPOLL_CTL_DEL, it->first, nullptr);
    ::close(it->first);
    open_.erase(it);
  }

  std::uint16_t port_;
  int rate_;
  Clock::duration span_;
  std::map<int, Pending> open_;
  long opened_ = 0, failed_ = 0, closedByDesktop_ = 0, leftOpen_ = 0;
};

int burst(Context& c) {
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = files.rlim_max;
  setrlimit(RLIMIT_NOFILE, &files);

  std::string why;
  auto session = openSession(c.connect, c.phone, &why);
  if (!check(session.has_value(), "the phone's session before the burst", why)) return 1;
  if (!check(pingTime(*session->link, 1, 5s).has_value(), "a ping before the burst is answered")) return 1;
  int files0 = c.desktop.openFiles();
  say("open files with the phone connected: " + std::to_string(files0));

  auto span = std::chrono::seconds(c.options.burstSeconds);
  Burst flood(c.desktop.port(), c.options.rate, span);
  auto start = Clock::now();
  std::thread burster([&] { flood.run(); });

  // The phone pings throughout. Early in the burst (its set-up slots full by
  // then) it reconnects, as a phone coming back would, so that its 4 s lie
  // inside the burst; its new session replaces the old one.
  struct Reconnect {
    std::optional<Session> session;
    Clock::duration took{};
    int attempts = 0;
    bool duringBurst = false;
    std::string why;
  };
  std::future<Reconnect> reconnecting;
  bool reconnectStarted = false, reconnectDone = false;
  // Takes the reconnected session once it is there; true when it was taken now.
  auto takeReconnected = [&] {
    if (!reconnectStarted || reconnectDone || reconnecting.wait_for(0s) != std::future_status::ready) return false;
    reconnectDone = true;
    Reconnect r = reconnecting.get();
    say("reconnecting during the burst: " + std::string(r.session ? "in" : "not in") + " after " +
        fixed(seconds(r.took)) + " s, " + std::to_string(r.attempts) + " attempt(s)" +
        (r.session ? "" : "; last: " + r.why));
    check(r.session && r.took <= 4s && r.duringBurst,
          "a phone reconnecting during the burst gets in within 4 s, while the burst goes on");
    if (r.session) session = std::move(r.session);  // else the old session goes on
    return true;
  };
  Clock::duration worst{};
  int pings = 0, unanswered = 0;
  std::uint64_t id = 100;
  while (Clock::now() - start < span + 1s) {
    if (!reconnectStarted && Clock::now() - start >= 750ms) {
      reconnectStarted = true;
      reconnecting = std::async(std::launch::async, [&c, start, span] {
        Reconnect r;
        auto tried = Clock::now();
        while (!r.session && Clock::now() - tried < 4s) {
          if (r.attempts++ > 0) std::this_thread::sleep_for(50ms);
          r.session = openSession(c.connect, c.phone, &r.why);
        }
        r.took = Clock::now() - tried;
        r.duringBurst = Clock::now() - start < span;
        return r;
      });
    }
    takeReconnected();
    auto t = pingTime(*session->link, ++id, 5s);
    if (!t && reconnectStarted && !reconnectDone) {
      // The reconnection may just have replaced this session: ask the new one.
      reconnecting.wait();
      if (takeReconnected()) continue;
    }
    ++pings;
    if (!t) {
      ++unanswered;
      worst = std::max<Clock::duration>(worst, 5s);
      break;
    }
    worst = std::max(worst, *t);
    std::this_thread::sleep_for(100ms);
  }
  if (reconnectStarted && !reconnectDone) {
    reconnecting.wait();
    takeReconnected();
  }
  burster.join();
  say("burst: " + std::to_string(flood.opened()) + " connections in " + std::to_string(c.options.burstSeconds) +
      " s (" + fixed(flood.achievedRate(), 0) + " per second, asked " + std::to_string(c.options.rate) + "); " +
      std::to_string(flood.failed()) + " not made, " + std::to_string(flood.closedByDesktop()) +
      " closed by the desktop, " + std::to_string(flood.leftOpen()) + " still open at the end");
  say("pings during the burst: " + std::to_string(pings) + ", unanswered " + std::to_string(unanswered) +
      ", max latency " + fixed(seconds(worst) * 1000, 1) + " ms");
  check(unanswered == 0 && worst <= 1s, "every ping during the burst is answered within 1 s",
        "max " + fixed(seconds(worst) * 1000, 1) + " ms, unanswered " + std::to_string(unanswered));

  // Stalled set-ups may hold their descriptors for the desktop's TLS limit.
  int files1 = c.desktop.openFiles();
  // Meanwhile the phone keeps its session alive, as a phone does (the desktop
  // ends a session silent for 10 s, and on a slow machine this wait is long).
  auto lastPing = Clock::now();
  bool back = within(20s, [&] {
    if (session && Clock::now() - lastPing > 2s) {
      (void)pingTime(*session->link, ++id, 5s);
      lastPing = Clock::now();
    }
    return (files1 = c.desktop.openFiles()) <= files0;
  });
  say("open files after the burst: " + std::to_string(files1) + " (before: " + std::to_string(files0) + ")");
  check(back, "the desktop's open files return to what they were");
  check(c.desktop.alive(), "the desktop is still running");
  if (session) check(pingTime(*session->link, ++id, 5s).has_value(), "the phone's session works after the burst");
  return anyFailed ? 1 : 0;
}

// MARK: 7 no key material in the logs

// Every way a secret could be written into a log line: hex in either case,
// Base64 in both alphabets with and without padding, and, for Base64 inside
// a longer encoded blob, the characters that do not depend on neighbours at
// each of the three alignments.
struct Form {
  std::string name;
  std::string text;
  bool anyCase = false;
};

std::vector<Form> formsOf(kit::ByteView secret) {
  using kit::base64::Alphabet;
  using kit::base64::Padding;
  static const char* digits = "0123456789abcdef";
  std::string hex;
  for (auto b : secret) {
    hex += digits[b >> 4];
    hex += digits[b & 15];
  }
  std::vector<Form> forms{{"hex", hex, true}};
  for (auto alphabet : {Alphabet::standard, Alphabet::urlSafe}) {
    std::string a = alphabet == Alphabet::standard ? "base64" : "base64url";
    forms.push_back({a, kit::base64::encode(secret, alphabet, Padding::required)});
    forms.push_back({a + " unpadded", kit::base64::encode(secret, alphabet, Padding::none)});
    for (std::size_t shift = 1; shift <= 2; ++shift) {
      kit::Bytes shifted(shift, 0);
      shifted.insert(shifted.end(), secret.begin(), secret.end());
      std::string text = kit::base64::encode(shifted, alphabet, Padding::none);
      // Character i covers bits 6i..6i+5; keep those inside the secret's bits.
      std::size_t first = (8 * shift + 5) / 6;
      std::size_t last = (8 * (shift + secret.size())) / 6;  // one past
      forms.push_back({a + " at offset " + std::to_string(shift), text.substr(first, last - first)});
    }
  }
  return forms;
}

std::string lower(std::string text) {
  for (auto& ch : text) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return text;
}

struct Secret {
  std::string name;
  kit::Bytes bytes;
  std::vector<std::string> texts;  // also searched as they are
};

// The lines of `log` that give a secret away, as "<line>: <secret> as <form>".
std::vector<std::string> leaks(const std::vector<std::string>& log, const std::vector<Secret>& secrets) {
  std::vector<std::string> found;
  for (std::size_t n = 0; n < log.size(); ++n) {
    std::string folded = lower(log[n]);
    for (const auto& secret : secrets) {
      for (const auto& form : formsOf(secret.bytes)) {
        const std::string& in = form.anyCase ? folded : log[n];
        if (in.find(form.text) != std::string::npos) found.push_back(std::to_string(n + 1) + ": " + secret.name + " as " + form.name);
      }
      for (const auto& text : secret.texts) {
        if (log[n].find(text) != std::string::npos) found.push_back(std::to_string(n + 1) + ": " + secret.name + " as text");
      }
    }
  }
  return found;
}

int logs(Context& c) {
  Pointer pointer;
  // A session whose proof and fast-channel key this client knows, with moves.
  std::string why;
  auto s = openSession(c.connect, c.phone, &why);
  if (!check(s && s->welcome.fastPort, "the phone's session", why)) return 1;
  FastPhone phone(*s->welcome.fastPort, s->fastKeys);
  check(movesPointer(pointer, phone, 15, 3s), "the phone's moves arrive");
  check(pingTime(*s->link, 5, 5s).has_value(), "a ping is answered");

  std::vector<Secret> secrets;
  for (const auto& name : c.options.phones) {
    auto record = e2e::phoneRecord(c.options.dir / name);
    secrets.push_back({"the device key of " + name, record.keyData.copy(), {}});
  }
  secrets.push_back({"the hello proof", s->proof, {}});
  secrets.push_back({"the hello binding",
                     s->link->exporter(kit::KeyDerivation::helloExporterLabel, kit::KeyDerivation::helloBindingLength),
                     {}});
  secrets.push_back({"the fast-channel key", kit::Bytes(s->fastKeys.key.begin(), s->fastKeys.key.end()), {}});
  s->link->send(Message::bye({kit::ByeReason::userDisconnected}));
  check(s->link->closedWithin(5s).has_value(), "the desktop closes after the phone's bye");
  auto out = splitLines(readFile(c.desktop.out()));
  std::vector<std::string> shownOut;  // the desktop's output without its pairing code lines
  int codes = 0;
  for (const auto& line : out) {
    if (line.rfind(kit::PairingPayload::prefix, 0) != 0) {
      shownOut.push_back(line);
      continue;
    }
    auto payload = kit::PairingPayload::parse(line);
    std::string n = " of pairing code " + std::to_string(++codes);
    std::string body = line.substr(kit::PairingPayload::prefix.size());
    secrets.push_back({"the text" + n, *kit::base64::decode(body, kit::base64::Alphabet::urlSafe,
                                                             kit::base64::Padding::none),
                       {line, body}});
    secrets.push_back({"the secret" + n, payload.secret.copy(), {}});
    secrets.push_back({"the pairing PSK" + n, kit::KeyDerivation::pairingPSK(payload).copy(), {}});
  }
  check(codes > 0, "the desktop printed its pairing codes on standard output");
  // The search itself: it must find a code where the desktop shows it, and
  // each form of a secret inside a longer line.
  check(!leaks(out, secrets).empty(), "self-check: the search finds the pairing code on its standard output line");
  bool allForms = true;
  for (const auto& form : formsOf(secrets.front().bytes)) {
    std::string line = "DEBUG x: blob=" + (form.anyCase ? std::string("AB") + form.text : "QUJD" + form.text + "Zz") + ";";
    allForms = allForms && !leaks({line}, {secrets.front()}).empty();
  }
  check(allForms, "self-check: the search finds every form of a secret inside a line");

  auto err = splitLines(readFile(c.desktop.err()));
  say("searched " + std::to_string(err.size()) + " log lines (standard error, debug level) and " +
      std::to_string(shownOut.size()) + " output lines for " + std::to_string(secrets.size()) + " secrets");
  check(std::count_if(err.begin(), err.end(), [](const auto& l) { return l.rfind("DEBUG", 0) == 0; }) > 0,
        "the desktop logged at debug level");
  auto inErr = leaks(err, secrets);
  std::string where;
  for (const auto& l : inErr) where += "\n  host.err line " + l;
  check(inErr.empty(), "no secret in the desktop's log", where);
  auto inOut = leaks(shownOut, secrets);
  where.clear();
  for (const auto& l : inOut) where += "\n  host.out line " + l;
  check(inOut.empty(), "no secret in the desktop's other output lines", where);
  return anyFailed ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const std::map<std::string, int (*)(Context&)> cases = {
      {"resume", resume}, {"replay", replay}, {"frames", frames}, {"fast", fast},
      {"slow", slow},     {"deaf", deaf},     {"burst", burst},   {"logs", logs},
  };
  Options options;
  try {
    options = parse(argc, argv);
    if (!cases.count(options.name)) throw std::invalid_argument("no case " + options.name);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "hostile_client: %s\n", e.what());
    return 2;
  }
  try {
    Context context(options, e2e::phoneRecord(options.dir / options.phones.front()));
    return cases.at(options.name)(context);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "hostile_client: %s: %s\n", options.name.c_str(), e.what());
    return 1;
  }
}
