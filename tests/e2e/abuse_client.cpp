// Misbehaving peers for the end-to-end robustness test. From one source
// address (so that the desktop's per-address limits meet it, not the phone's)
// it opens connections of three kinds and waits, bounded, until the desktop
// has closed every one of them:
//   oversize  TLS with the paired phone's own key, then a frame header larger
//             than any frame may be, or a legal but huge header followed by
//             more bytes than an unauthenticated peer may send;
//   garbage   bytes that are not TLS;
//   stall     the start of a ClientHello, then nothing.
//
//   abuse_client --port <port> --data-home <dir> [--host 127.0.0.1]
//                [--from 127.0.0.2] [--connections 200]
//
// Prints "flooding open=N" once the raw connections are in, then one line
// per kind ("<kind> connections=N tls=N closed=N open=N ...") and exits 0 when the desktop closed every connection within the limits,
// 1 otherwise, 2 for bad arguments or an unusable record.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "kit/wire/framing.h"
#include "tests/e2e/e2e_peer.h"

using namespace tillerpad;
using e2e::Fd;
using Clock = std::chrono::steady_clock;

namespace {

// Longer than the desktop's 10 s TLS limit, with room for a slow
// (sanitizer) build.
constexpr std::chrono::seconds closeLimit{30};
constexpr std::chrono::seconds socketLimit{15};
// Below the desktop's limit of connections per address in set-up, so that
// the TLS connections are not all turned away.
constexpr int tlsConcurrency = 2;

struct Options {
  std::string host = "127.0.0.1";
  std::string from = "127.0.0.2";
  std::uint16_t port = 0;
  std::filesystem::path dataHome;
  int connections = 200;
};

// A TCP connection from `options.from`; each call bounded by socketLimit.
std::optional<Fd> connectFrom(const Options& options) {
  return e2e::connectFrom(options.from, options.host, options.port, socketLimit);
}

enum class Outcome { noConnection, refusedInTls, closed, open };

// `legalHeader`: announce the largest allowed frame and keep sending; else
// announce one beyond the maximum.
Outcome oversize(const Options& options, e2e::PskClient& tls, bool legalHeader) {
  auto socket = connectFrom(options);
  if (!socket) return Outcome::noConnection;
  auto ssl = tls.newConnection(socket->fd);
  if (SSL_connect(ssl.get()) != 1) {
    ERR_clear_error();
    return Outcome::refusedInTls;
  }
  std::uint8_t header[4];
  if (legalHeader) {
    kit::Framing::writeHeader(kit::Framing::maxPayloadLength, header);
  } else {
    std::memset(header, 0xFF, sizeof header);
  }
  bool writing = SSL_write(ssl.get(), header, static_cast<int>(sizeof header)) == static_cast<int>(sizeof header);
  // Sixteen times what a peer may send before its hello proved a key.
  std::vector<std::uint8_t> filler(64 * 1024, 0x5A);
  for (int i = 0; writing && legalHeader && i < 16; ++i) {
    writing = SSL_write(ssl.get(), filler.data(), static_cast<int>(filler.size())) > 0;
  }
  ERR_clear_error();
  // The desktop must close: the read ends (or fails) instead of timing out.
  char buffer[256];
  for (;;) {
    errno = 0;
    int n = SSL_read(ssl.get(), buffer, sizeof buffer);
    if (n > 0) continue;
    int error = SSL_get_error(ssl.get(), n);
    int saved = errno;
    ERR_clear_error();
    if (error == SSL_ERROR_SYSCALL && (saved == EAGAIN || saved == EWOULDBLOCK)) return Outcome::open;
    return Outcome::closed;
  }
}

// MARK: raw connections

// A TLS record header announcing 512 bytes of ClientHello, and only its start.
std::vector<std::uint8_t> partialClientHello() {
  std::vector<std::uint8_t> bytes{0x16, 0x03, 0x01, 0x02, 0x00, 0x01, 0x00, 0x01, 0xFC, 0x03, 0x03};
  for (int i = 0; i < 32; ++i) bytes.push_back(static_cast<std::uint8_t>(i * 7));
  return bytes;
}

std::vector<std::uint8_t> garbage(int seed) {
  std::string text = "GET / HTTP/1.1\r\nHost: tillerpad\r\n\r\n";
  std::vector<std::uint8_t> bytes(text.begin(), text.end());
  std::uint32_t state = 2463534242u + static_cast<std::uint32_t>(seed);
  for (int i = 0; i < 1000; ++i) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    bytes.push_back(static_cast<std::uint8_t>(state));
  }
  return bytes;
}

struct Tally {
  int connections = 0, noConnection = 0, tls = 0, closed = 0, open = 0;
};

void print(const char* kind, const Tally& t) {
  std::printf("%s connections=%d tls=%d closed=%d open=%d unconnected=%d\n", kind, t.connections, t.tls, t.closed,
              t.open, t.noConnection);
  std::fflush(stdout);
}

Options parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (i + 1 >= argc) throw std::invalid_argument(a + " needs a value");
    std::string v = argv[++i];
    if (a == "--host") options.host = v;
    else if (a == "--from") options.from = v;
    else if (a == "--port") options.port = static_cast<std::uint16_t>(std::stoi(v));
    else if (a == "--data-home") options.dataHome = v;
    else if (a == "--connections") options.connections = std::stoi(v);
    else throw std::invalid_argument("unknown option " + a);
  }
  if (options.port == 0 || options.dataHome.empty() || options.connections < 3) {
    throw std::invalid_argument("usage: abuse_client --port <port> --data-home <dir> [--host A] [--from A] [--connections N>=3]");
  }
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  Options options;
  kit::PreSharedKey psk;
  try {
    options = parse(argc, argv);
    // The phone's own record, as tillerpad-remote stored it.
    psk = e2e::pskOf(e2e::phoneRecord(options.dataHome));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "abuse_client: %s\n", e.what());
    return 2;
  }
  int third = options.connections / 3;
  Tally oversized, garbaged, stalled;

  // TLS first and only a few at a time: the stalled connections below would
  // hold this address's set-up slots for the desktop's whole TLS limit.
  oversized.connections = options.connections - 2 * third;
  e2e::PskClient tls(psk);
  std::atomic<int> next{0};
  std::mutex mutex;
  std::vector<std::thread> workers;
  for (int w = 0; w < tlsConcurrency; ++w) {
    workers.emplace_back([&] {
      for (int i; (i = next++) < oversized.connections;) {
        Outcome outcome = oversize(options, tls, i % 2 == 1);
        std::lock_guard lock(mutex);
        switch (outcome) {
          case Outcome::noConnection: ++oversized.noConnection; break;
          case Outcome::refusedInTls: ++oversized.closed; break;
          case Outcome::closed: ++oversized.tls; ++oversized.closed; break;
          case Outcome::open: ++oversized.tls; ++oversized.open; break;
        }
      }
    });
  }
  for (auto& w : workers) w.join();
  print("oversize", oversized);

  // Then the flood: every raw connection at once.
  struct Raw {
    Fd socket;
    bool stall;
  };
  std::vector<Raw> raw;
  auto hello = partialClientHello();
  for (int i = 0; i < 2 * third; ++i) {
    bool stall = i % 2 == 1;
    Tally& tally = stall ? stalled : garbaged;
    ++tally.connections;
    auto socket = connectFrom(options);
    if (!socket) {
      ++tally.noConnection;
      continue;
    }
    auto bytes = stall ? hello : garbage(i);
    // The desktop may have closed it already; what counts is that it closes.
    (void)::send(socket->fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    raw.push_back({std::move(*socket), stall});
  }
  // The desktop's set-up slots for this address are taken now, for up to
  // its TLS limit; the test tries a phone from another address meanwhile.
  std::printf("flooding open=%zu\n", raw.size());
  std::fflush(stdout);
  auto deadline = Clock::now() + closeLimit;
  std::size_t left = raw.size();
  while (left > 0 && Clock::now() < deadline) {
    std::vector<pollfd> polled;
    std::vector<std::size_t> which;
    for (std::size_t i = 0; i < raw.size(); ++i) {
      if (raw[i].socket.fd < 0) continue;
      polled.push_back({raw[i].socket.fd, POLLIN, 0});
      which.push_back(i);
    }
    int ready = ::poll(polled.data(), polled.size(), 200);
    if (ready < 0 && errno != EINTR) break;
    for (std::size_t k = 0; k < polled.size(); ++k) {
      if (polled[k].revents == 0) continue;
      char buffer[4096];
      ssize_t n = ::recv(polled[k].fd, buffer, sizeof buffer, 0);
      if (n > 0) continue;  // an alert, say; the close is what is awaited
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      Raw& r = raw[which[k]];
      ++(r.stall ? stalled : garbaged).closed;
      r.socket.reset();
      --left;
    }
  }
  for (auto& r : raw) {
    if (r.socket.fd >= 0) ++(r.stall ? stalled : garbaged).open;
  }
  print("garbage", garbaged);
  print("stall", stalled);

  bool ok = true;
  auto fail = [&](const std::string& why) {
    std::fprintf(stderr, "abuse_client: %s\n", why.c_str());
    ok = false;
  };
  for (const auto* t : {&oversized, &garbaged, &stalled}) {
    if (t->open > 0) fail(std::to_string(t->open) + " connection(s) still open after the desktop's limits");
    if (t->noConnection > 0) fail(std::to_string(t->noConnection) + " connection(s) could not be made");
  }
  // Most must get through TLS, else the frame checks were never reached.
  if (oversized.tls * 2 < oversized.connections) {
    fail("only " + std::to_string(oversized.tls) + " of " + std::to_string(oversized.connections) +
         " TLS connections got through the handshake");
  }
  return ok ? 0 : 1;
}
