// Hostile phones for tests/e2e/hostile_test.sh and robustness_test.sh: each
// case attacks the real headless desktop on loopback with the paired phone's
// own key and checks what the desktop must do about it, by what it answers,
// what it logs, the X pointer, and its memory, files and sockets in /proc.
//
//   hostile_client <case> --dir <e2e folder> --pid <desktop pid> --phone <name> [--phone <name>]...
//
// The e2e folder holds the desktop's host.in (its standard input, a FIFO held
// open by the script), host.out and host.err, and each phone's data folder
// under its name. A session is plain OpenSSL (so that a case can choose the
// source address, the receive window or the TLS session) carrying kit's
// codec, hello proof and fast-channel sealing; bytes are forged by hand only
// where the case is about them. Prints "ok ..." or "FAIL ..." per demand;
// exits 0 when every one held, 1 when one failed, 2 for bad arguments.
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <thread>
#include <tuple>

#include "kit/common/base64.h"
#include "kit/pairing/crypto.h"
#include "kit/pairing/key_derivation.h"
#include "kit/pairing/paired_records.h"
#include "kit/pairing/pairing_payload.h"
#include "kit/pairing/record_store.h"
#include "kit/transport/fast_packet.h"
#include "kit/transport/transport_parameters.h"
#include "kit/wire/framing.h"
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
const bool sanitized = std::getenv("TILLERPAD_SANITIZED") != nullptr;

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
  Fd& operator=(Fd&& o) noexcept { return std::swap(fd, o.fd), *this; }
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

// A socket of `type` from `from` connected to the desktop's `port`; -1 in
// its fd when that failed (errno says why). Blocking calls wait 10 s at most.
Fd socketTo(int type, std::uint16_t port, const std::string& from = "127.0.0.1", int receiveBuffer = 0) {
  Fd s(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
  timeval limit{10, 0};
  for (int option : {SO_RCVTIMEO, SO_SNDTIMEO}) setsockopt(s.fd, SOL_SOCKET, option, &limit, sizeof limit);
  // Before connect, so that the window the desktop sees is small from the start.
  if (receiveBuffer) setsockopt(s.fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  sockaddr_in local{AF_INET, 0, {}, {}}, remote{AF_INET, htons(port), {}, {}};
  inet_pton(AF_INET, from.c_str(), &local.sin_addr);
  inet_pton(AF_INET, "127.0.0.1", &remote.sin_addr);
  bool made = ::bind(s.fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
              ::connect(s.fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) == 0;
  return made ? std::move(s) : Fd();
}

// MARK: the desktop as its terminal and /proc show it

struct Desktop {
  fs::path dir, proc, out = dir / "host.out", err = dir / "host.err";

  // A line on its standard input, as the user types it.
  void type(const std::string& line) const { std::ofstream(dir / "host.in") << line << std::endl; }
  // Lines of `file` that hold `text`.
  int count(const fs::path& file, const std::string& text) const {
    return static_cast<int>(std::ranges::count_if(linesOf(file), [&](auto& l) { return l.find(text) != l.npos; }));
  }
  bool waitCount(const fs::path& file, const std::string& text, int want, Clock::duration limit = 10s) const {
    return within(limit, [&] { return count(file, text) >= want; });
  }
  // The number after `prefix` on the last line of `file` that starts with it, or `otherwise`.
  static long lastValue(const fs::path& file, const std::string& prefix, long otherwise) {
    for (const auto& line : linesOf(file)) {
      if (line.rfind(prefix, 0) == 0) otherwise = std::stol(line.substr(prefix.size()));
    }
    return otherwise;
  }
  // The newest listener's port.
  std::uint16_t port() const { return static_cast<std::uint16_t>(lastValue(out, "Listening on port ", 0)); }
  long residentKiB() const { return lastValue(proc / "status", "VmRSS:", -1); }
  int openFiles() const {
    std::error_code e;
    return static_cast<int>(std::distance(fs::directory_iterator(proc / "fd", e), fs::directory_iterator()));
  }
  // Bytes waiting in its UDP socket on `port`, and the datagrams the kernel
  // dropped there for want of room.
  std::pair<long, long> udp(std::uint16_t port) const {
    for (const auto* table : {"/proc/net/udp6", "/proc/net/udp"}) {
      for (const auto& row : linesOf(table)) {
        unsigned local = 0;
        unsigned long queued = 0;
        long drops = 0;
        if (std::sscanf(row.c_str(), "%*s %*[0-9A-Fa-f]:%x %*s %*s %*x:%lx %*s %*s %*s %*s %*s %*s %*s %ld", &local,
                        &queued, &drops) == 3 && local == port) {
          return {static_cast<long>(queued), drops};
        }
      }
    }
    return {-1, -1};
  }

  // `revoke <name>` and the user's y: the moment y was typed, once the
  // desktop said "Done." and its listener restarted without the phone's key.
  std::optional<Clock::time_point> revoke(const std::string& name) const {
    int asked = count(out, "Revoke? [y/N]"), done = count(out, "Done."), listeners = count(out, "Listening on port");
    type("revoke " + name);
    if (!waitCount(out, "Revoke? [y/N]", asked + 1)) return std::nullopt;
    type("y");
    auto typed = Clock::now();
    if (!waitCount(out, "Done.", done + 1) || !waitCount(out, "Listening on port", listeners + 1)) return std::nullopt;
    return typed;
  }
};

// MARK: the X pointer

struct Pointer {
  Display* display = XOpenDisplay(nullptr);
  Pointer() {
    if (!display) throw std::runtime_error("cannot open the X display");
  }
  ~Pointer() { XCloseDisplay(display); }
  std::pair<int, int> where() {
    Window root = DefaultRootWindow(display), child = 0;
    int x = 0, y = 0, wx = 0, wy = 0;
    unsigned int mask = 0;
    XQueryPointer(display, root, &root, &child, &x, &y, &wx, &wy, &mask);
    return {x, y};
  }
  // +1 or -1 per axis: the way to the middle of the screen, where a move
  // always shows (at an edge it would be clamped away).
  std::pair<float, float> towardMiddle() {
    auto [x, y] = where();
    return {x < DisplayWidth(display, 0) / 2 ? 1.f : -1.f, y < DisplayHeight(display, 0) / 2 ? 1.f : -1.f};
  }
  std::string shown() { return "at (" + std::to_string(where().first) + ", " + std::to_string(where().second) + ")"; }
};

// MARK: a phone's TLS session on plain OpenSSL

kit::PreSharedKey offeredKey;  // the one phone key a client of this process offers
unsigned int offerKey(SSL*, const char*, char* identity, unsigned int maxIdentity, unsigned char* key, unsigned int maxKey) {
  std::string text = offeredKey.identity.text();
  if (text.size() + 1 > maxIdentity || maxKey < offeredKey.key.size()) return 0;
  std::memcpy(identity, text.c_str(), text.size() + 1);
  std::memcpy(key, offeredKey.key.data(), offeredKey.key.size());
  return static_cast<unsigned int>(offeredKey.key.size());
}
using SslContext = std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)>;

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
    int reason = ERR_GET_REASON(packed) - SSL_AD_REASON_OFFSET;
    if (ERR_GET_LIB(packed) == ERR_LIB_SSL && reason >= 0 && reason < 256) alert = reason;
  }
  return alert;
}

struct Tls {
  Fd socket;
  std::unique_ptr<SSL, decltype(&SSL_free)> ssl{nullptr, SSL_free};
  bool connected = false, reused = false;
  int alert = -1;
  kit::Welcome welcome;  // once open
  kit::FrameDecoder received;

  // All of `bytes` or false (a blocking socket and no partial writes).
  bool write(kit::ByteView bytes) {
    std::size_t n = 0;
    return SSL_write_ex(ssl.get(), bytes.data(), bytes.size(), &n) == 1 || (ERR_clear_error(), false);
  }
  bool send(const Message& m) { return write(kit::MessageCodec::encodeFrame(m)); }
  Bytes exporter(std::string_view label, std::size_t length) {
    Bytes out(length);
    SSL_export_keying_material(ssl.get(), out.data(), length, label.data(), label.size(), nullptr, 0, 0);
    return out;
  }
  // What a hello proof on this session is bound to.
  Bytes binding() { return exporter(kit::KeyDerivation::helloExporterLabel, kit::KeyDerivation::helloBindingLength); }
  // Reads what arrives before `deadline`: 1 when something did, 0 at the
  // connection's end, -1 when time ran out.
  int receive(Clock::time_point deadline) {
    pollfd p{socket.fd, POLLIN, 0};
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (SSL_pending(ssl.get()) == 0 && ::poll(&p, 1, static_cast<int>(std::max<long>(left, 0))) == 0) return -1;
    std::uint8_t buffer[16384];
    std::size_t n = 0;
    if (SSL_read_ex(ssl.get(), buffer, sizeof buffer, &n) == 1) return received.append({buffer, n}), 1;
    bool timedOut = SSL_get_error(ssl.get(), 0) == SSL_ERROR_SYSCALL && (errno == EAGAIN || errno == EWOULDBLOCK);
    ERR_clear_error();
    return timedOut ? -1 : 0;
  }
  // The next message of `type` within `limit`, others skipped; nothing when
  // the connection ended or time ran out.
  std::optional<Message> next(std::optional<MessageType> type, Clock::duration limit) {
    auto deadline = Clock::now() + limit;
    try {
      do {
        while (auto payload = received.next()) {
          auto m = kit::MessageCodec::decode(*payload);
          if (!type || m.is(*type)) return m;
        }
      } while (receive(deadline) > 0);
    } catch (const std::exception&) {
    }
    return std::nullopt;
  }
  // Whether the desktop ends the connection within `limit`, whatever it sends before.
  bool endsWithin(Clock::duration limit) {
    int r = 1;
    for (auto deadline = Clock::now() + limit; r > 0;) r = receive(deadline);
    return r == 0;
  }
  bool pingAnswered() { return send(Message::ping({7, 0})) && next(MessageType::pong, 5s); }
};

// After a key change the listener restarts elsewhere: a closed port is tried again.
Tls rawTls(SSL_CTX* context, const Desktop& desktop, const std::string& from = "127.0.0.1", int receiveBuffer = 0,
           const std::function<void(SSL*)>& prepare = [](SSL*) {}) {
  Tls t;
  within(5s, [&] {
    return (t.socket = socketTo(SOCK_STREAM, desktop.port(), from, receiveBuffer)).fd >= 0 || errno != ECONNREFUSED;
  }, 50ms);
  if (t.socket.fd < 0) return t;
  t.ssl.reset(SSL_new(context));
  SSL_set_fd(t.ssl.get(), t.socket.fd);
  prepare(t.ssl.get());
  t.connected = SSL_connect(t.ssl.get()) == 1;
  t.alert = t.connected ? -1 : receivedAlert();
  t.reused = SSL_session_reused(t.ssl.get()) == 1;
  return t;
}

// The paired phone, with the key it stored, on the desktop's newest port.
struct Phone {
  const Desktop& desktop;
  kit::PeerIdentity identity;
  kit::SymmetricKey key;
  SslContext context = pskClient(kit::testing::pskOf(identity, key));

  Tls connect(const std::string& from = "127.0.0.1", int receiveBuffer = 0) const {
    return rawTls(context.get(), desktop, from, receiveBuffer);
  }
  Message hello(Bytes proof) const { return Message::hello({kit::ProtocolVersion::current, identity, std::move(proof), {"hostile", "Test", "0", "0"}}); }
  Bytes proofOn(Tls& t) const { return kit::KeyDerivation::helloProof(key, t.binding(), identity); }
  // Hello, welcome, and the last opening message: the desktop has
  // registered the fast keys by then.
  Tls open(int receiveBuffer = 0) const {
    Tls t = connect("127.0.0.1", receiveBuffer);
    auto welcome = t.connected && t.send(hello(proofOn(t))) ? t.next(std::nullopt, 10s) : std::nullopt;
    if (!welcome || !welcome->is(MessageType::welcome) || !t.next(MessageType::sharingSettings, 10s)) {
      throw std::runtime_error("the phone's session did not open");
    }
    t.welcome = welcome->get<MessageType::welcome>();
    return t;
  }
};

// The phone's own fast channel, sealed with kit's code, from one flow so
// that its datagrams can be replayed from it.
struct FastPhone {
  kit::FastChannelKeys keys;
  Fd socket;
  std::uint64_t sequence = 0;
  explicit FastPhone(Tls& session)
      : keys(*kit::FastChannelKeys::fromExportedBytes(session.exporter(kit::FastChannelKeys::exporterLabel, kit::FastChannelKeys::exporterLength))),
        socket(socketTo(SOCK_DGRAM, session.welcome.fastPort.value())) {}
  Bytes move(float dx, float dy) {
    Bytes datagram = kit::FastPacket::seal({kit::FastEvent::pointerMove(dx, dy)}, ++sequence, keys);
    (void)::send(socket.fd, datagram.data(), datagram.size(), 0);
    return datagram;
  }
};

// Whether the pointer moves while `phone` sends moves of `step` (towards the
// middle; up or down only if `onlyY`) for `span`: the positive control before
// an ending, the demand after.
bool movesPointer(Pointer& pointer, FastPhone& phone, float step, Clock::duration span, bool onlyY = false) {
  auto start = pointer.where();
  auto [sx, sy] = pointer.towardMiddle();
  for (auto deadline = Clock::now() + span; Clock::now() < deadline;) {
    phone.move(onlyY ? 0 : sx * step, sy * step);
    if (within(150ms, [&] { return pointer.where() != start; })) return true;
  }
  return false;
}

// MARK: cases

// The desktop a phone paired with last, as tillerpad-remote stored it.
kit::PairedMac recordOf(const fs::path& dataHome) {
  auto store = std::make_shared<platform::FileCredentialStore>(dataHome, "app.tillerpad.remote.macs");
  auto records = kit::RecordStore<kit::PairedMac>(store).all();
  if (records.empty()) throw std::runtime_error("no paired desktop in " + dataHome.string());
  return *std::max_element(records.begin(), records.end(), [](auto& a, auto& b) { return a.pairedAt < b.pairedAt; });
}

struct Context {
  fs::path dir;
  std::vector<std::string> phones;
  Desktop desktop;
  kit::PairedMac record = recordOf(dir / phones.front());  // of the first phone
  Phone phone{desktop, kit::PeerIdentity::device(record.deviceID), record.keyData};
};

// Keeps the ClientHello a connection writes, in the Bytes at `arg`.
void keepClientHello(int writing, int, int contentType, const void* data, std::size_t length, SSL*, void* arg) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  if (writing && contentType == SSL3_RT_HANDSHAKE && length > 0 && p[0] == SSL3_MT_CLIENT_HELLO) static_cast<Bytes*>(arg)->assign(p, p + length);
}

// Resumption needs a client that offers it: client-side caching on, tickets allowed.
int resume(Context& c) {
  SSL_CTX* context = c.phone.context.get();
  SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL);
  SSL_CTX_clear_options(context, SSL_OP_NO_TICKET);
  auto first = c.phone.connect();
  if (!check(first.connected, "the phone's TLS handshake with its key")) return 1;
  std::unique_ptr<SSL_SESSION, decltype(&SSL_SESSION_free)> saved(SSL_get1_session(first.ssl.get()), SSL_SESSION_free);
  // With a close_notify: else OpenSSL would mark a session that has an id
  // unresumable, and a desktop that resumes would go unnoticed.
  SSL_shutdown(first.ssl.get());
  first = Tls();
  // The desktop gives out no session id (its cache is off); give the saved
  // session one, so that resuming it by id is really attempted.
  unsigned int idLength = 0;
  Bytes id = kit::crypto::randomBytes(32);
  if (const unsigned char* given = SSL_SESSION_get_id(saved.get(), &idLength); idLength > 0) id.assign(given, given + idLength);
  else SSL_SESSION_set1_id(saved.get(), id.data(), static_cast<unsigned int>(id.size()));
  auto ticket = kit::crypto::randomBytes(160);
  auto offerBoth = [&](const std::string& when, bool afterRevoke) {
    for (bool withTicket : {false, true}) {
      Bytes hello;
      auto a = rawTls(context, c.desktop, "127.0.0.1", 0, [&](SSL* ssl) {
        SSL_set_msg_callback(ssl, keepClientHello);
        SSL_set_msg_callback_arg(ssl, &hello);
        SSL_set_session(ssl, saved.get());
        if (withTicket) SSL_set_session_ticket_ext(ssl, ticket.data(), static_cast<int>(ticket.size()));
      });
      std::string what = when + ", an offered " + (withTicket ? "session ticket" : "session id");
      const Bytes& offered = withTicket ? ticket : id;
      check(std::search(hello.begin(), hello.end(), offered.begin(), offered.end()) != hello.end(), what + " is in the ClientHello");
      check(!a.reused, what + " is not resumed");
      bool refused = !a.connected && a.alert == kit::TransportParameters::unknownPskIdentityAlert;
      check(afterRevoke ? refused : a.connected,
            what + (afterRevoke ? ": the handshake fails with unknown_psk_identity" : ": a full handshake with the key succeeds"),
            "alert " + std::to_string(a.alert));
    }
  };
  offerBoth("before the revoke", false);
  if (!check(c.desktop.revoke(c.phones.front()).has_value(), "the desktop revokes the phone")) return 1;
  offerBoth("after the revoke", true);
  return 0;
}

// A hello whose proof is bound to session A, sent on session B.
int replay(Context& c) {
  int rejected = c.desktop.count(c.desktop.err, "Connection rejected");
  auto a = c.phone.connect(), b = c.phone.connect();
  Bytes proofA = c.phone.proofOn(a);
  check(proofA != c.phone.proofOn(b), "the two sessions bind different proofs");
  b.send(c.phone.hello(proofA));
  auto answer = b.next(std::nullopt, 5s);
  check(!answer || !answer->is(MessageType::welcome), "session B: the hello proof of session A is refused",
        answer ? "answered " + std::string(answer->type()) : "");
  check(b.endsWithin(5s), "session B: the desktop closes the connection");
  check(c.desktop.waitCount(c.desktop.err, "Connection rejected", rejected + 1, 5s), "the desktop logs \"Connection rejected\"");
  // The same proof on its own session: it was valid, only misplaced.
  a.send(c.phone.hello(proofA));
  check(a.next(MessageType::welcome, 5s).has_value(), "session A: the same hello is welcomed");
  return 0;
}

// Frames no codec writes, each on a welcomed session.
int frames(Context& c) {
  using kit::Framing::frame, kit::testing::payload;
  Bytes filler(64, 0x41), encoded = kit::MessageCodec::encode(Message::ping({1, 0}));
  std::string ping(encoded.begin() + 4, encoded.end() - 2);  // a real ping's JSON
  const std::vector<std::pair<std::string, Bytes>> cases = {
      {"a frame announcing the maximum + 1 byte", concat({be(kit::Framing::maxPayloadLength + 1ull, 4), filler})},
      {"a frame announcing 4 GiB - 1", concat({be(0xFFFFFFFFu, 4), filler})},
      {"a JSON length beyond the frame", frame(concat({be(0xFFFFFF00u, 4), Bytes{'{', '}'}, filler}))},
      {"65,535 attachments announced, none sent", frame(payload(ping, {}, 0xFFFF))},
      {"65 empty attachments, one over the maximum", frame(payload(ping, std::vector<Bytes>(65)))},
      {"an attachment length of 4 GiB - 16", frame(concat({payload(ping, {}, 1), be(0xFFFFFFF0u, 4), filler}))},
      {"an attachment length of 2 GiB", frame(concat({payload(ping, {}, 1), be(0x80000000u, 4), filler}))},
      {"an attachment length one beyond the frame's end", frame(concat({payload(ping, {}, 1), be(filler.size() + 1, 4), filler}))},
      {"bytes after the last attachment", frame(concat({payload(ping), filler}))},
  };
  // (A desktop that died there fails the next session's opening.)
  for (const auto& [name, bytes] : cases) {
    auto s = c.phone.open();
    s.write(bytes);
    check(s.endsWithin(5s), name + ": the desktop closes the connection");
  }
  check(c.phone.open().pingAnswered(), "a new session afterwards: welcome and pong");
  return 0;
}

// Forged, replayed, truncated and oversize fast-channel datagrams.
int fast(Context& c) {
  Pointer pointer;
  auto s = c.phone.open();
  FastPhone phone(s);  // (without a fast port: bad_optional_access, a failure)
  std::uint16_t port = *s.welcome.fastPort;
  // One real move sideways: the datagram replayed below.
  auto p0 = pointer.where();
  Bytes valid = phone.move(40 * pointer.towardMiddle().first, 0);
  bool sideways = within(5s, [&] { return pointer.where().first != p0.first; });
  if (!check(sideways, "a real move moves the pointer sideways", pointer.shown())) return 1;
  auto p1 = pointer.where();

  // From many flows (addresses and ports), as a spoofing sender's would be,
  // and the phone's own for the replays.
  std::vector<Fd> flows;
  for (int i = 0; i < 256; ++i) flows.push_back(socketTo(SOCK_DGRAM, port, "127.0.0." + std::to_string(2 + i % 250)));
  std::mt19937_64 random(20240601);
  auto bytes = [](std::size_t n) { return kit::crypto::randomBytes(n); };
  std::uint64_t forged = 1'000'000;
  auto hostile = [&](int i) -> Bytes {
    switch (i % 6) {
      case 0: return bytes(1 + random() % 400);
      // The session's tag and a fresh sequence: only the AEAD tag is wrong.
      case 1: return concat({Bytes{1}, be(phone.keys.sessionTag, 4), be(++forged, 8), bytes(1 + 9 + kit::FastPacket::tagLength)});
      case 2: return valid;  // replayed
      case 3: return Bytes(valid.begin(), valid.begin() + static_cast<long>(random() % valid.size()));
      case 4: return concat({valid, bytes(i % 12 == 4 ? 9000 : 1 + random() % 1200)});
      default:  // well formed under a key nobody registered
        return kit::FastPacket::seal({kit::FastEvent::pointerMove(40, 0)}, ++forged, kit::testing::fastKeys(phone.keys.sessionTag, static_cast<std::uint8_t>(random())));
    }
  };
  // Paced so that they reach the desktop rather than the kernel's bin; a
  // ping now and then, since a session silent for 10 s ends.
  auto lastPing = Clock::now();
  auto flood = [&](int count) {
    for (int i = 0; i < count; ++i) {
      Bytes d = hostile(i);
      (void)::send(i % 6 == 2 ? phone.socket.fd : flows[i % flows.size()].fd, d.data(), d.size(), 0);
      if (i % 32 == 31 && c.desktop.udp(port).first > 64 * 1024) {
        within(2s, [&] { return c.desktop.udp(port).first <= 16 * 1024; }, 1ms);
      }
      if (Clock::now() - lastPing > 3s) s.send(Message::ping({static_cast<std::uint64_t>(i), 0})), lastPing = Clock::now();
    }
  };
  flood(10'000);  // warms up the desktop's buffers and allocator
  long drops0 = c.desktop.udp(port).second, rss0 = c.desktop.residentKiB(), files0 = c.desktop.openFiles();
  const int datagrams = 100'000;
  flood(datagrams);
  within(5s, [&] { return c.desktop.udp(port).first == 0; });
  long drops = c.desktop.udp(port).second - drops0, rss1 = c.desktop.residentKiB(), files1 = c.desktop.openFiles();
  check(drops * 10 < datagrams, "nine in ten datagrams reached the desktop", std::to_string(drops) + " dropped");
  // A datagram kept would cost at least its own size: 100,000 of them, tens of MiB.
  check(sanitized || rss1 - rss0 <= 1024, "the desktop's resident memory stays flat (<= 1 MiB more)",
              std::to_string(rss0) + " -> " + std::to_string(rss1) + " KiB");
  // (Fewer is fine: a connection of the pairing may still have been closing.)
  check(files1 <= files0, "the desktop's open files do not grow", std::to_string(files0) + " -> " + std::to_string(files1));

  // Replays would have pushed the pointer sideways; the phone's next real
  // move (up or down) must still count, and is the barrier for everything
  // sent before it on the phone's flow.
  check(pointer.where().first == p1.first, "no replayed or forged move moved the pointer", pointer.shown());
  bool moved = movesPointer(pointer, phone, 40, 5s, true);
  check(moved, "the phone's next real move still moves the pointer", pointer.shown());
  check(pointer.where().first == p1.first, "and only that move: x is unchanged", pointer.shown());
  return 0;
}

// A phone with a 4 KiB receive window that never reads, flooding pings
// (each asks a pong) and large messages of a type the desktop ignores.
int deaf(Context& c) {
  Pointer pointer;
  auto t = c.phone.open(4096);
  FastPhone phone(t);
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
  within(4s, [&] { return (peak = std::max(peak, c.desktop.residentKiB())) - rss0 >= limitKiB || stalled; }, 50ms);
  if (peak - rss0 >= limitKiB) stop = true;
  check(sanitized || peak - rss0 < limitKiB, "the desktop's memory stays bounded while the phone never reads (< 32 MiB more)",
              std::to_string(rss0) + " -> peak " + std::to_string(peak) + " KiB");
  auto revoked = c.desktop.revoke(c.phones.front());
  check(revoked.has_value(), "the desktop revokes the phone while it floods");
  stop = true;
  flooder.join();  // its write ends with the connection, or after its 10 s
  // Its reader paused mid-stream, the session must still end at once.
  bool gone = t.endsWithin(10s);
  auto took = Clock::now() - revoked.value_or(Clock::now());
  check(gone && took <= 4s, "after the revoke the connection is gone within 4 s", gone ? std::to_string(took / 1ms) + " ms" : "still open after 10 s");
  check(!movesPointer(pointer, phone, 30, 1500ms), "after the revoke the phone's fast moves do nothing", pointer.shown());
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
  FastPhone phone(s);
  check(movesPointer(pointer, phone, 15, 3s), "the phone's moves arrive");
  check(s.pingAnswered(), "a ping is answered");
  std::vector<Secret> secrets;
  for (const auto& name : c.phones) secrets.push_back({"the device key of " + name, recordOf(c.dir / name).keyData.copy(), {}});
  secrets.push_back({"the hello proof", c.phone.proofOn(s), {}});
  secrets.push_back({"the hello binding", s.binding(), {}});
  secrets.push_back({"the fast-channel key", Bytes(phone.keys.key.begin(), phone.keys.key.end()), {}});
  s.send(Message::bye({kit::ByeReason::userDisconnected}));
  check(s.endsWithin(5s), "the desktop closes after the phone's bye");

  auto out = linesOf(c.desktop.out);
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
  auto err = linesOf(c.desktop.err);
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
  const int tls = 68;
  const std::size_t raw = 132;
  std::atomic<int> next{0}, handshakes{0}, closed{0};
  auto oversize = [&] {
    for (int i; (i = next++) < tls;) {
      auto t = c.phone.connect(from);
      auto connected = Clock::now();
      handshakes += t.connected;
      // Sixteen times what a peer may send before its hello proved a key.
      if (t.connected) (void)t.write(i % 2 ? concat({be(kit::Framing::maxPayloadLength, 4), Bytes(16 * 64 * 1024, 0x5A)}) : be(0xFFFFFFFF, 4));
      // Well before the desktop's 5 s limit for a hello would end it anyway.
      closed += t.connected ? t.endsWithin(2500ms) && Clock::now() - connected < 2500ms : t.socket.fd >= 0;  // refused in TLS: closed too
    }
  };
  // Only two at a time: below the desktop's set-up limit per address.
  std::thread second(oversize);
  oversize();
  second.join();
  check(closed == tls && handshakes * 2 >= tls, "the desktop closes every oversize frame",
        std::to_string(handshakes) + " handshakes, " + std::to_string(closed) + " of " + std::to_string(tls) + " closed");

  static const std::uint8_t hello[] = {0x16, 0x03, 0x01, 0x02, 0x00, 0x01, 0x00, 0x01, 0xFC, 0x03, 0x03};
  static const char garbage[] = "GET / HTTP/1.1\r\nHost: tillerpad\r\n\r\n\x01\x02\x03\xff\xfe";
  std::vector<Fd> sockets;
  std::vector<pollfd> open;
  for (std::size_t i = 0; i < raw; ++i) {
    auto& s = sockets.emplace_back(socketTo(SOCK_STREAM, c.desktop.port(), from));
    if (s.fd < 0) continue;
    open.push_back({s.fd, POLLIN | POLLRDHUP, 0});
    (void)::send(s.fd, i % 2 ? static_cast<const void*>(hello) : garbage, i % 2 ? sizeof hello : sizeof garbage - 1, MSG_NOSIGNAL);
  }
  // The script tries the phone from 127.0.0.1 while these hold the slots.
  std::printf("flooding open=%zu\n", open.size());
  std::size_t ended = 0;
  within(30s, [&] {
    ::poll(open.data(), open.size(), 200);
    for (auto& p : open) {
      char buffer[512];
      ssize_t n = p.fd >= 0 && p.revents ? ::recv(p.fd, buffer, sizeof buffer, MSG_DONTWAIT) : 1;
      if (n == 0 || (n < 0 && errno != EAGAIN)) p.fd = -1, ++ended;  // an alert first (n > 0) awaits the close
    }
    return ended == open.size();
  });
  check(open.size() == raw && ended == open.size(), "the desktop closes every raw connection",
        std::to_string(ended) + " of " + std::to_string(raw) + ", " + std::to_string(raw - open.size()) + " not made");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const std::map<std::string, int (*)(Context&)> cases = {
      {"resume", resume}, {"replay", replay}, {"frames", frames}, {"fast", fast},
      {"deaf", deaf},     {"logs", logs},     {"abuse", abuse},
  };
  std::string name = argc > 1 ? argv[1] : "";
  std::multimap<std::string, std::string> options;
  for (int i = 2; i + 1 < argc; i += 2) options.emplace(argv[i], argv[i + 1]);
  std::vector<std::string> phones;
  for (auto [at, end] = options.equal_range("--phone"); at != end; ++at) phones.push_back(at->second);
  if (!cases.count(name) || !options.count("--dir") || !options.count("--pid") || phones.empty() || argc % 2) {
    std::fprintf(stderr, "usage: hostile_client <case> --dir <e2e folder> --pid <desktop pid> --phone <name>...\n");
    return 2;
  }
  try {
    fs::path dir = options.find("--dir")->second;
    Context context{dir, phones, {dir, "/proc/" + options.find("--pid")->second}};
    return cases.at(name)(context) != 0 || anyFailed ? 1 : 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "hostile_client %s: %s\n", name.c_str(), e.what());
    return 1;
  }
}
