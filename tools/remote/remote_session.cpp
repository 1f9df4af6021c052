#include "tools/remote/remote_session.h"

#include <asio/co_spawn.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/address.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ip/udp.hpp>
#include <asio/post.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <thread>

#include <poll.h>
#include <unistd.h>

#include "kit/common/coding_error.h"
#include "kit/pairing/crypto.h"
#include "kit/pairing/handshake.h"
#include "kit/pairing/key_derivation.h"
#include "kit/pairing/keychain_error.h"
#include "kit/pairing/pairing_flow.h"
#include "kit/pairing/record_store.h"
#include "kit/transport/channel_error.h"
#include "kit/transport/clock.h"
#include "kit/transport/fast_channel.h"
#include "kit/transport/message_channel.h"
#include "kit/transport/transport_parameters.h"
#include "kit/wire/wire_error.h"

namespace tillerpad::remote {
namespace {

using namespace asio::experimental::awaitable_operators;
using kit::Message;
using kit::MessageType;

// Ends a run whose reason is already printed.
struct Stop {
  Exit exit;
};

kit::PreSharedKey pskFor(kit::PeerIdentity identity, const kit::SymmetricKey& key) {
  kit::PreSharedKey psk{identity, {}};
  auto bytes = key.bytes();
  std::copy(bytes.begin(), bytes.end(), psk.key.begin());
  return psk;
}

double unixSeconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// Reads lines from a descriptor on its own thread. poll() with a short limit
// lets the destructor stop it even while nothing arrives.
class LineReader {
 public:
  // `deliver` gets each line, then nothing at the end of input.
  LineReader(int fd, std::function<void(std::optional<std::string>)> deliver)
      : fd_(fd), deliver_(std::move(deliver)), thread_([this] { loop(); }) {}
  ~LineReader() {
    stop_ = true;
    thread_.join();
  }

 private:
  void loop() {
    std::string buffer;
    char chunk[4096];
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      int ready = ::poll(&p, 1, 200);
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0) break;
      if (ready == 0) continue;
      ssize_t n = ::read(fd_, chunk, sizeof chunk);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n <= 0) break;
      buffer.append(chunk, static_cast<std::size_t>(n));
      for (std::size_t end; (end = buffer.find('\n')) != std::string::npos;) {
        deliver_(buffer.substr(0, end));
        buffer.erase(0, end + 1);
      }
    }
    if (stop_) return;
    if (!buffer.empty()) deliver_(buffer);
    deliver_(std::nullopt);
  }

  int fd_;
  std::function<void(std::optional<std::string>)> deliver_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// The image file for `clipboard set --image`: PNG or JPEG by its first
// bytes, at most the clipboard's limit. Read before connecting, so that a
// bad file costs no connection.
kit::ClipboardImage readImageFile(const std::string& path, Output& out) {
  std::error_code error;
  std::ifstream stream;
  if (std::filesystem::is_regular_file(path, error)) stream.open(path, std::ios::binary);
  if (!stream.is_open()) {
    out.failure("cannot read " + path);
    throw Stop{Exit::failed};
  }
  kit::Bytes data;
  char buffer[65536];
  while (stream.read(buffer, sizeof buffer) || stream.gcount() > 0) {
    data.insert(data.end(), buffer, buffer + stream.gcount());
    if (data.size() > kit::ClipboardContent::maxBytes) {
      out.failure(path + " is larger than the clipboard's limit of 16 MiB");
      throw Stop{Exit::usage};
    }
  }
  static const std::uint8_t png[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  if (data.size() >= sizeof png && std::equal(std::begin(png), std::end(png), data.begin())) {
    return {kit::ImageFormat::png, {std::move(data)}};
  }
  if (data.size() >= 3 && data[0] == 0xFF && data[1] == 0xD8 && data[2] == 0xFF) {
    return {kit::ImageFormat::jpeg, {std::move(data)}};
  }
  out.failure(path + " is neither a PNG nor a JPEG file");
  throw Stop{Exit::usage};
}

// One connection to the desktop. Everything runs on the io_context's one thread.
class Session {
 public:
  Session(asio::io_context& io, Output& out, const Setup& setup)
      : io_(io), out_(out), setup_(setup), resolver_(io.get_executor(), setup.lookup), wake_(io) {}

  Exit exit() const { return exit_; }

  asio::awaitable<void> pair(kit::PairingPayload payload, kit::NetworkEndpoint endpoint) {
    auto psk = pskFor(kit::PeerIdentity::pairing(payload.pairingID), kit::KeyDerivation::pairingPSK(payload));
    auto connecting = resolver_.connect(std::move(endpoint), psk, clock_);
    channel_ = co_await std::move(connecting);
    auto pairing = kit::PairingFlow::pair(channel_, payload, setup_.device);
    kit::PairedMac record = co_await std::move(pairing);
    kit::RecordStore<kit::PairedMac>(setup_.store).save(record);
    out_.line(formatPaired(record));
    auto closing = channel_->close(kit::ByeReason::userDisconnected);
    co_await std::move(closing);
  }

  // What `clipboard set` sends, made before connecting.
  std::optional<kit::ClipboardContent> outgoingClipboard;

  asio::awaitable<void> connect(kit::PairedMac record, kit::NetworkEndpoint endpoint, std::optional<Command> command,
                                std::optional<ScreenOptions> screen, std::optional<ClipboardOptions> clipboard,
                                std::optional<AppsOptions> apps) {
    auto identity = kit::PeerIdentity::device(record.deviceID);
    auto connecting = resolver_.connect(std::move(endpoint), pskFor(identity, record.keyData), clock_);
    channel_ = co_await std::move(connecting);
    auto handshake = kit::Handshake::connect(channel_, identity, record.keyData, setup_.device);
    kit::Welcome welcome = co_await std::move(handshake);
    out_.line(formatWelcome(welcome));
    auto deriving = kit::deriveFastChannelKeys(*channel_);
    auto keys = co_await std::move(deriving);
    if (welcome.fastPort && keys) {
      asio::ip::udp::endpoint desktop(asio::ip::make_address(channel_->remoteEndpoint().host), *welcome.fastPort);
      fast_ = std::make_unique<kit::FastChannelSender>(io_, desktop, *keys);
    }
    auto receiving = receiveLoop();
    auto pinging = pingLoop();
    auto commanding = apps        ? runApps(std::move(*apps))
                      : clipboard ? runClipboard(std::move(*clipboard))
                      : screen  ? runScreen(std::move(*screen))
                      : command ? runOne(std::move(*command))
                                : runLines();
    auto all = std::move(receiving) || std::move(pinging) || std::move(commanding);
    co_await std::move(all);
  }

 private:
  asio::awaitable<void> receiveLoop() {
    for (;;) {
      auto receiving = channel_->receive(receiveLimit);
      std::optional<Message> message;
      try {
        message = co_await std::move(receiving);
      } catch (...) {
        if (closing_) co_return;  // our own close ended the channel
        throw;
      }
      if (!message) {
        if (closing_) co_return;
        out_.line("closed");
        out_.failure("the desktop closed the connection");
        exit_ = Exit::endedByDesktop;
        co_return;
      }
      if (auto* pong = message->getIf<MessageType::pong>()) {
        auto waiting = awaited_.find(pong->id);
        if (waiting != awaited_.end()) {
          if (waiting->second) out_.line(formatMessage(*message));
          awaited_.erase(waiting);
          answered_.insert(pong->id);
          wake_.cancel();
        }
        continue;  // keep-alive answers are not news
      }
      if (auto* ping = message->getIf<MessageType::ping>()) {
        channel_->sendWithoutWaiting(Message::pong(*ping));
        continue;
      }
      if (auto* frame = message->getIf<MessageType::screenFrame>()) {
        if (screen_) receiveFrame(*frame);
        continue;
      }
      if (auto* list = message->getIf<MessageType::appList>(); list && apps_) {
        for (const auto& line : formatAppList(*list)) out_.line(line);
        ++appListsSeen_;
        wake_.cancel();
        continue;
      }
      if (auto* icon = message->getIf<MessageType::appIcon>(); icon && apps_ && icon->bundleID == apps_->id && !iconSeen_) {
        receiveIcon(*icon);
        continue;
      }
      if (auto* content = message->getIf<MessageType::clipboard>(); content && clipboard_) {
        receiveClipboard(*content);
        continue;
      }
      out_.line(formatMessage(*message));
      if (auto* error = message->getIf<MessageType::error>(); error && screen_) {
        screenError_ = error->code.rawValue;
        wake_.cancel();
      }
      if (auto* error = message->getIf<MessageType::error>(); error && settingClipboard_) {
        clipboardError_ = error->code.rawValue;
      }
      if (message->is(MessageType::sharingSettings)) {
        // The desktop's last opening message: its fast-channel session is set up by now.
        sessionReady_ = true;
        wake_.cancel();
      }
      if (auto* bye = message->getIf<MessageType::bye>()) {
        out_.failure("the desktop ended the session: " + bye->reason.rawValue);
        exit_ = Exit::endedByDesktop;
        co_return;
      }
    }
  }

  asio::awaitable<void> pingLoop() {
    asio::steady_timer timer(io_);
    for (;;) {
      timer.expires_after(pingInterval);
      auto waiting = timer.async_wait(asio::use_awaitable);
      co_await std::move(waiting);
      channel_->sendWithoutWaiting(Message::ping({nextPing_++, unixSeconds()}));
    }
  }

  // One command, then a silent ping so that the desktop has handled it (and
  // a fast-channel datagram had its time) before the bye.
  asio::awaitable<void> runOne(Command command) {
    bool isPing = std::holds_alternative<PingCommand>(command.action);
    auto performing = perform(std::move(command), true);
    co_await std::move(performing);
    if (!isPing) {
      auto syncing = ping(false);
      co_await std::move(syncing);
    }
    auto closing = close();
    co_await std::move(closing);
  }

  asio::awaitable<void> runLines() {
    reader_ = std::make_unique<LineReader>(setup_.input, [this](std::optional<std::string> line) {
      asio::post(io_, [this, line = std::move(line)] {
        lines_.push_back(line);
        wake_.cancel();
      });
    });
    for (;;) {
      while (lines_.empty()) {
        auto waiting = waitForWake(std::nullopt);
        co_await std::move(waiting);
      }
      std::optional<std::string> line = std::move(lines_.front());
      lines_.pop_front();
      if (!line) break;
      SessionLine parsed;
      try {
        parsed = parseSessionLine(*line);
      } catch (const UsageError& e) {
        out_.line("invalid " + quoted(e.what()));
        continue;
      }
      if (std::holds_alternative<QuitCommand>(parsed)) break;
      if (auto* command = std::get_if<Command>(&parsed)) {
        auto performing = perform(std::move(*command), false);
        co_await std::move(performing);
      }
    }
    auto closing = close();
    co_await std::move(closing);
  }

  asio::awaitable<void> perform(Command command, bool oneShot) {
    if (std::holds_alternative<PingCommand>(command.action)) {
      auto pinging = ping(true);
      co_await std::move(pinging);
    } else if (auto* event = std::get_if<kit::FastEvent>(&command.action)) {
      if (!fast_) {
        out_.failure("the desktop offers no fast channel; " + command.name + " is not available");
        if (oneShot) throw Stop{Exit::rejected};
        out_.line("invalid " + quoted("no fast channel"));
        co_return;
      }
      // A datagram sent before the desktop registered this connection's keys
      // would be dropped: wait for its opening messages first (bounded).
      auto deadline = std::chrono::steady_clock::now() + pongLimit;
      while (!sessionReady_ && std::chrono::steady_clock::now() < deadline) {
        auto waiting = waitForWake(deadline);
        co_await std::move(waiting);
      }
      fast_->send({*event});
      out_.line("sent " + command.name);
    } else {
      auto sending = channel_->send(std::get<Message>(command.action));
      co_await std::move(sending);
      out_.line("sent " + command.name);
    }
  }

  bool enoughFrames() const { return screen_ && screen_->frames && framesSeen_ >= *screen_->frames; }

  // Written (when asked), then acknowledged: the acknowledgement is what
  // lets the desktop send the next one.
  void receiveFrame(const kit::ScreenFrame& frame) {
    if (enoughFrames()) return;
    std::optional<std::string> file;
    if (screen_->out) {
      file = (std::filesystem::path(*screen_->out) / ("frame-" + std::to_string(frame.frameID) + ".jpg")).string();
      std::ofstream stream(*file, std::ios::binary | std::ios::trunc);
      stream.write(reinterpret_cast<const char*>(frame.jpeg.data.data()),
                   static_cast<std::streamsize>(frame.jpeg.data.size()));
      if (!stream.flush()) {
        out_.failure("cannot write " + *file);
        screenError_ = "localWriteFailed";
        wake_.cancel();
        return;
      }
    }
    channel_->sendWithoutWaiting(Message::screenFrameAck({frame.frameID}));
    auto now = std::chrono::steady_clock::now();
    if (framesSeen_ == 0) firstFrameAt_ = now;
    lastFrameAt_ = now;
    ++framesSeen_;
    out_.line(formatFrame(frame, file));
    if (enoughFrames()) wake_.cancel();
  }

  // The folder that saved frames or images go to; the tool stops when it can't be made.
  void makeFolder(const std::optional<std::string>& folder) {
    if (!folder) return;
    std::error_code error;
    std::filesystem::create_directories(*folder, error);
    if (error) {
      out_.failure("cannot create " + *folder + ": " + error.message());
      throw Stop{Exit::failed};
    }
  }

  // SIGINT or SIGTERM ends a watch as if enough had arrived.
  void endOnSignal(asio::signal_set& signals) {
    signals.async_wait([this](const std::error_code& error, int) {
      if (error) return;
      interrupted_ = true;
      wake_.cancel();
    });
  }

  // Asks for the stream and takes frames until there are enough, the desktop
  // refuses or ends it, or the user interrupts; then stops it and says bye.
  asio::awaitable<void> runScreen(ScreenOptions options) {
    makeFolder(options.out);
    screen_ = options;
    asio::signal_set signals(io_, SIGINT, SIGTERM);
    endOnSignal(signals);
    auto starting = channel_->send(Message::screenStart({options.display, options.width, options.framesPerSecond}));
    co_await std::move(starting);
    out_.line("sent screen");
    while (!interrupted_ && !screenError_ && !enoughFrames()) {
      auto waiting = waitForWake(std::nullopt);
      co_await std::move(waiting);
    }
    signals.cancel();
    if (!screenError_) {
      auto stopping = channel_->send(Message::screenStop({}));
      co_await std::move(stopping);
      out_.line("sent screenStop");
    }
    out_.line(formatScreenSummary(framesSeen_, std::chrono::duration<double>(lastFrameAt_ - firstFrameAt_).count()));
    // Set before closing: the receive loop may then end first, normally.
    if (screenError_) {
      if (*screenError_ != "localWriteFailed") out_.failure("the desktop did not stream: " + *screenError_);
      exit_ = *screenError_ == "localWriteFailed" ? Exit::failed : Exit::rejected;
    }
    auto closing = close();
    co_await std::move(closing);
  }

  bool enoughClipboards() const { return clipboard_ && clipboard_->count && clipboardsSeen_ >= *clipboard_->count; }

  void receiveClipboard(const kit::ClipboardContent& content) {
    if (enoughClipboards()) return;
    ++clipboardsSeen_;
    std::optional<std::string> file;
    if (clipboard_->out && content.image) {
      auto extension = content.image->format == kit::ImageFormat::png ? ".png" : ".jpg";
      file = (std::filesystem::path(*clipboard_->out) / ("clipboard-" + std::to_string(clipboardsSeen_) + extension))
                 .string();
      std::ofstream stream(*file, std::ios::binary | std::ios::trunc);
      const auto& data = content.image->data.data;
      stream.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
      if (!stream.flush()) {
        out_.failure("cannot write " + *file);
        file.reset();
      }
    }
    out_.line(formatClipboard(content, file));
    if (enoughClipboards()) wake_.cancel();
  }

  // set: sends the content, then a ping as a barrier, so that a refusal
  // (sent before the pong) is seen. watch: subscribes and prints what comes
  // until there is enough or the user interrupts, then unsubscribes.
  asio::awaitable<void> runClipboard(ClipboardOptions options) {
    if (options.action == ClipboardOptions::Action::set) {
      settingClipboard_ = true;
      auto sending = channel_->send(Message::clipboard(outgoingClipboard.value_or(kit::ClipboardContent{})));
      co_await std::move(sending);
      out_.line("sent clipboard");
      auto syncing = ping(false);
      co_await std::move(syncing);
      if (clipboardError_) {
        out_.failure("the desktop refused the clipboard: " + *clipboardError_);
        exit_ = Exit::rejected;
      }
      auto closing = close();
      co_await std::move(closing);
      co_return;
    }
    makeFolder(options.out);
    clipboard_ = options;
    asio::signal_set signals(io_, SIGINT, SIGTERM);
    endOnSignal(signals);
    auto subscribing = channel_->send(Message::clipboardSubscription({true}));
    co_await std::move(subscribing);
    out_.line("sent clipboardSubscription");
    while (!interrupted_ && !enoughClipboards()) {
      auto waiting = waitForWake(std::nullopt);
      co_await std::move(waiting);
    }
    signals.cancel();
    auto unsubscribing = channel_->send(Message::clipboardSubscription({false}));
    co_await std::move(unsubscribing);
    auto closing = close();
    co_await std::move(closing);
  }

  bool enoughAppLists() const {
    if (apps_->action == AppsOptions::Action::watch) return apps_->count && appListsSeen_ >= *apps_->count;
    return appListsSeen_ > 0;
  }

  void receiveIcon(const kit::AppIcon& icon) {
    iconSeen_ = true;
    wake_.cancel();
    std::ofstream stream(apps_->out, std::ios::binary | std::ios::trunc);
    stream.write(reinterpret_cast<const char*>(icon.png.data.data()), static_cast<std::streamsize>(icon.png.data.size()));
    if (!stream.flush()) {
      out_.failure("cannot write " + apps_->out);
      exit_ = Exit::failed;
      return;
    }
    out_.line(formatAppIcon(icon, apps_->out));
  }

  // list: asks once and prints the answer; watch: then every pushed list
  // too, until there are enough or the user interrupts; icon: asks and
  // writes the icon, or says that none came in time.
  asio::awaitable<void> runApps(AppsOptions options) {
    apps_ = options;
    asio::signal_set signals(io_, SIGINT, SIGTERM);
    signals.async_wait([this](const std::error_code& error, int) {
      if (error) return;
      interrupted_ = true;
      wake_.cancel();
    });
    const bool icon = options.action == AppsOptions::Action::icon;
    auto asking = channel_->send(icon ? Message::appIconRequest({options.id, options.size}) : Message::appListRequest({}));
    co_await std::move(asking);
    out_.line(icon ? "sent appIconRequest" : "sent appListRequest");
    // Watching waits without a limit; the keep-alive pings show the desktop is there.
    auto limit = options.action == AppsOptions::Action::watch
                     ? std::nullopt
                     : std::optional(std::chrono::steady_clock::now() + (icon ? iconLimit : appListLimit));
    while (!interrupted_ && !(icon ? iconSeen_ : enoughAppLists()) && (!limit || std::chrono::steady_clock::now() < *limit)) {
      auto waiting = waitForWake(limit);
      co_await std::move(waiting);
    }
    signals.cancel();
    if (icon && !iconSeen_ && !interrupted_) {
      out_.failure("the desktop sent no icon for " + options.id + " within " + std::to_string(iconLimit.count()) + " s");
      exit_ = Exit::rejected;
    } else if (!icon && limit && !enoughAppLists() && !interrupted_) {
      out_.failure("the desktop sent no application list within " + std::to_string(appListLimit.count()) + " s");
      exit_ = Exit::timedOut;
    }
    auto closing = close();
    co_await std::move(closing);
  }

  // Sends a ping and waits for its pong; `print` shows the pong.
  asio::awaitable<void> ping(bool print) {
    std::uint64_t id = nextPing_++;
    awaited_[id] = print;
    auto sending = channel_->send(Message::ping({id, unixSeconds()}));
    co_await std::move(sending);
    auto deadline = std::chrono::steady_clock::now() + pongLimit;
    while (!answered_.count(id)) {
      if (std::chrono::steady_clock::now() >= deadline) throw kit::ChannelError::timedOut();
      auto waiting = waitForWake(deadline);
      co_await std::move(waiting);
    }
    answered_.erase(id);
  }

  // Returns when wake_ is cancelled (news) or the deadline passes; rethrows
  // when this coroutine itself is cancelled.
  asio::awaitable<void> waitForWake(std::optional<std::chrono::steady_clock::time_point> deadline) {
    wake_.expires_at(deadline.value_or(std::chrono::steady_clock::time_point::max()));
    auto waiting = wake_.async_wait(asio::experimental::as_tuple(asio::use_awaitable));
    co_await std::move(waiting);
    auto state = co_await asio::this_coro::cancellation_state;
    if (state.cancelled() != asio::cancellation_type::none) throw std::system_error(asio::error::operation_aborted);
  }

  asio::awaitable<void> close() {
    closing_ = true;
    auto closing = channel_->close(kit::ByeReason::userDisconnected);
    co_await std::move(closing);
  }

  asio::io_context& io_;
  Output& out_;
  const Setup& setup_;
  std::shared_ptr<kit::Clock> clock_ = std::make_shared<kit::SteadyClock>();
  kit::EndpointResolver resolver_;
  std::shared_ptr<kit::MessageChannel> channel_;
  std::unique_ptr<kit::FastChannelSender> fast_;
  bool sessionReady_ = false;
  asio::steady_timer wake_;
  std::deque<std::optional<std::string>> lines_;
  std::map<std::uint64_t, bool> awaited_;  // ping id -> print its pong
  std::set<std::uint64_t> answered_;
  std::uint64_t nextPing_ = 1;
  bool closing_ = false;
  Exit exit_ = Exit::ok;
  std::optional<ScreenOptions> screen_;
  std::optional<std::string> screenError_;
  bool interrupted_ = false;
  std::int64_t framesSeen_ = 0;
  std::optional<ClipboardOptions> clipboard_;  // watching
  std::int64_t clipboardsSeen_ = 0;
  bool settingClipboard_ = false;
  std::optional<std::string> clipboardError_;
  std::optional<AppsOptions> apps_;
  std::int64_t appListsSeen_ = 0;
  bool iconSeen_ = false;
  std::chrono::steady_clock::time_point firstFrameAt_, lastFrameAt_;
  std::unique_ptr<LineReader> reader_;  // last: stopped before the rest goes
};

// Prints a failure in one line and picks its exit status.
Exit report(std::exception_ptr error, bool pairing, Output& out) {
  try {
    std::rethrow_exception(error);
  } catch (const Stop& stop) {
    return stop.exit;
  } catch (const kit::ResolveError& e) {
    if (e.errorCase() == kit::ResolveError::Case::timedOut) {
      out.failure("timed out reaching the desktop");
      return Exit::timedOut;
    }
    out.failure("cannot reach the desktop" + (e.networkError() ? ": " + e.networkError()->message() : std::string()));
    return Exit::connectionFailed;
  } catch (const kit::ConnectionError& e) {
    if (kit::TransportParameters::isUnknownIdentity(e)) {
      out.failure(pairing ? "refused: the desktop does not know this pairing code (expired, used, or pairing stopped)"
                          : "refused: the desktop no longer knows this phone (unknown PSK identity); pair again");
    } else {
      out.failure(std::string("connection failed: ") + e.what());
    }
    return Exit::connectionFailed;
  } catch (const kit::ChannelError& e) {
    if (e.errorCase() == kit::ChannelError::Case::timedOut) {
      out.failure("timed out waiting for the desktop");
      return Exit::timedOut;
    }
    out.failure("the desktop closed the connection");
    return Exit::connectionFailed;
  } catch (const kit::HandshakeError& e) {
    switch (e.errorCase()) {
      case kit::HandshakeError::Case::rejected:
        out.line(formatMessage(Message::error({e.code(), std::nullopt})));
        out.failure("the desktop rejected the connection: " + e.code().rawValue);
        return Exit::rejected;
      case kit::HandshakeError::Case::connectionClosed:
        out.failure("the desktop closed the connection during the handshake");
        return Exit::connectionFailed;
      default:
        out.failure(std::string("handshake failed: ") + e.what());
        return Exit::rejected;
    }
  } catch (const kit::PairingError& e) {
    if (e.errorCase() == kit::PairingError::Case::rejected) {
      out.line(formatRejection(e.rejection()));
      out.failure("pairing rejected: " + e.rejection().rawValue);
      return Exit::rejected;
    }
    out.failure(std::string("pairing failed: ") + e.what());
    return e.errorCase() == kit::PairingError::Case::connectionClosed ? Exit::connectionFailed : Exit::rejected;
  } catch (const kit::KeychainError& e) {
    out.failure(std::string("pairing records: ") + e.what());
    return Exit::failed;
  } catch (const kit::WireError& e) {
    out.failure(std::string("the desktop sent invalid data: ") + e.what());
    return Exit::connectionFailed;
  } catch (const kit::DecodingError& e) {
    out.failure(std::string("the desktop sent invalid data: ") + e.what());
    return Exit::connectionFailed;
  } catch (const std::exception& e) {
    out.failure(e.what());
    return Exit::failed;
  }
}

// The desktop's address: given, or found by its ID through DNS-SD.
std::optional<kit::NetworkEndpoint> locate(const Options& options, const kit::Uuid& macID, const Setup& setup,
                                           Output& out) {
  if (options.host) {
    // The connection takes an address; a name is looked up once here.
    std::error_code error;
    asio::ip::make_address(*options.host, error);
    if (!error) return kit::Endpoint::hostPort(*options.host, *options.port);
    asio::io_context io;
    asio::ip::tcp::resolver resolver(io);
    auto results = resolver.resolve(*options.host, "", error);
    if (error || results.empty()) {
      out.failure("cannot find the address of \"" + *options.host + "\"" + (error ? ": " + error.message() : ""));
      return std::nullopt;
    }
    // IPv4 first: "localhost" and dual-stack names then mean the same on every machine.
    auto chosen = std::find_if(results.begin(), results.end(), [](const auto& r) { return r.endpoint().address().is_v4(); });
    if (chosen == results.end()) chosen = results.begin();
    return kit::Endpoint::hostPort(chosen->endpoint().address().to_string(), *options.port);
  }
  try {
    if (!setup.browser) throw platform::BrowserUnavailable("no DNS-SD browser");
    if (auto found = setup.browser->find(macID, browseLimit)) return *found;
    out.failure("no desktop with ID " + macID.text() + " answered on DNS-SD within " +
                std::to_string(browseLimit.count()) + " s; is it running? Else give --host and --port");
  } catch (const platform::BrowserUnavailable& e) {
    out.failure(std::string("DNS-SD is unavailable (") + e.what() + "); give --host <address> --port <port>");
  }
  return std::nullopt;
}

}  // namespace

Exit run(const Options& options, const Setup& setup, Output& output) {
  bool pairing = options.mode == Options::Mode::pair;
  asio::io_context io;
  Session session(io, output, setup);
  std::optional<asio::awaitable<void>> work;
  try {
    if (pairing) {
      kit::PairingPayload payload = kit::PairingPayload::parse(options.pairingCode);
      if (payload.isExpired(std::chrono::system_clock::now())) {
        output.failure("this pairing code has expired; ask the desktop for a new one");
        return Exit::rejected;
      }
      auto endpoint = locate(options, payload.macID, setup, output);
      if (!endpoint) return Exit::unknownDesktop;
      work = session.pair(payload, *endpoint);
    } else {
      auto records = kit::RecordStore<kit::PairedMac>(setup.store).all();
      std::erase_if(records, [&](const kit::PairedMac& r) { return options.macID && r.id != *options.macID; });
      if (records.empty()) {
        output.failure(options.macID ? "not paired with desktop " + options.macID->text()
                                     : std::string("not paired with any desktop; run \"tillerpad-remote pair <code>\" first"));
        return Exit::unknownDesktop;
      }
      auto latest = std::max_element(records.begin(), records.end(),
                                     [](const auto& a, const auto& b) { return a.pairedAt < b.pairedAt; });
      auto endpoint = locate(options, latest->id, setup, output);
      if (!endpoint) return Exit::unknownDesktop;
      auto screen = options.mode == Options::Mode::screen ? std::optional<ScreenOptions>(options.screen) : std::nullopt;
      auto clipboard =
          options.mode == Options::Mode::clipboard ? std::optional<ClipboardOptions>(options.clipboard) : std::nullopt;
      if (clipboard && clipboard->action == ClipboardOptions::Action::set) {
        try {
          session.outgoingClipboard =
              clipboard->text ? kit::ClipboardContent::fromText(*clipboard->text, clipboard->paste)
                              : kit::ClipboardContent::fromImage(readImageFile(*clipboard->image, output), clipboard->paste);
        } catch (const Stop& stop) {
          return stop.exit;
        }
      }
      auto apps = options.mode == Options::Mode::apps ? std::optional<AppsOptions>(options.apps) : std::nullopt;
      work = session.connect(*latest, *endpoint, options.command, screen, clipboard, apps);
    }
  } catch (const kit::PairingCodeError& e) {
    output.failure(e.errorCase() == kit::PairingCodeError::Case::unsupportedVersion
                       ? "this pairing code is of a newer format; update tillerpad-remote"
                       : "not a pairing code (it starts with \"TILLERPAD:\")");
    return Exit::usage;
  } catch (const kit::KeychainError& e) {
    output.failure(std::string("pairing records: ") + e.what());
    return Exit::failed;
  }
  std::exception_ptr failure;
  asio::co_spawn(io, std::move(*work), [&](std::exception_ptr error) {
    failure = error;
    io.stop();
  });
  io.run();
  if (failure) return report(failure, pairing, output);
  return session.exit();
}

}  // namespace tillerpad::remote
