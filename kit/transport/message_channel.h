#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/strand.hpp>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "kit/common/bytes.h"
#include "kit/transport/channel_error.h"
#include "kit/transport/clock.h"
#include "kit/transport/connection.h"
#include "kit/wire/framing.h"
#include "kit/wire/message.h"

namespace tillerpad::kit {

// One connection as a two-way stream of messages. All state lives on the
// channel's own strand; the public operations may be called from any thread
// and hop onto it. Callbacks of the connection hold the channel weakly.
//
// Errors (thrown from the awaitables): ChannelError, the connection's error
// (ConnectionError), WireError or DecodingError for invalid incoming data,
// EncodingError for a message that cannot be sent, and std::system_error
// with std::errc::operation_canceled for a receive cancelled through asio's
// per-operation cancellation.
class MessageChannel : public std::enable_shared_from_this<MessageChannel> {
 public:
  using Duration = Clock::Duration;

  static constexpr std::size_t readSize = 262'144;
  // Bytes handed to the connection and not yet taken by it. They grow only
  // while the peer does not read; past this the channel fails (a single
  // larger frame is still sent when nothing else waits).
  static constexpr std::size_t maxUnsentBytes = 8 * 1024 * 1024;
  // What a queued write costs beside its bytes (its buffer, its completion,
  // the queue's node): counted too, so that many small frames (pongs to a
  // flood of pings) are bounded by the memory they really take.
  static constexpr std::size_t perWriteOverhead = 256;
  // Decoded messages waiting for the reader; past this, reading pauses until
  // half of them were taken (one read's worth may come on top).
  static constexpr std::size_t maxInbox = 256;
  // How long close() waits for its bye before it ends the connection anyway.
  static constexpr std::chrono::milliseconds closeLimit{2000};

  // Wraps a connection that has not been started; nothing starts yet.
  static std::shared_ptr<MessageChannel> create(asio::any_io_executor executor, std::unique_ptr<Connection> connection,
                                                std::string label, std::shared_ptr<Clock> clock);
  ~MessageChannel();

  MessageChannel(const MessageChannel&) = delete;
  MessageChannel& operator=(const MessageChannel&) = delete;

  // Starts the connection; completes when it is ready. Fails with the
  // connection's error, ChannelError::closed or ChannelError::timedOut (the
  // connection is then cancelled). The keying material in `exportedAtOpen` is
  // exported as the connection becomes ready, on the strand, and from then on
  // exportKeyingMaterial() answers for it without a hop there and back.
  asio::awaitable<void> open(Duration timeout, std::vector<KeyingMaterialRequest> exportedAtOpen = {});

  // Completes when the transport has taken the frame. With a time limit, a
  // frame not taken by then cancels the connection and fails with
  // ChannelError::timedOut.
  // Not a coroutine: the message is encoded at the call, so the caller's
  // message is neither copied nor needed afterwards; an encoding failure is
  // thrown from the await, and nothing is written.
  asio::awaitable<void> send(const Message& message, std::optional<Duration> timeout = std::nullopt);
  // Every failure is dropped silently.
  void sendWithoutWaiting(const Message& message);
  // Frames written from now on wait and leave together, in one write, at
  // releaseWrites(), close() or the channel's end: a reply and the messages
  // that follow it at once cost the peer one wake-up instead of several.
  // Both take effect in call order with the sends around them.
  void holdWrites();
  void releaseWrites();

  // The next message; nothing once the channel ended normally. At most one
  // receive may be pending (a second one throws std::logic_error).
  asio::awaitable<std::optional<Message>> receive(std::optional<Duration> timeout = std::nullopt);

  // Sends bye with `reason` (failures ignored), then cancels the connection;
  // a peer that does not take the bye within `limit` does not hold it up.
  asio::awaitable<void> close(ByeReason reason, Duration limit = closeLimit);
  // Ends the connection at once, without a bye; a pending receive ends too.
  void cancel();
  // Receives and drops messages until the channel ends, a receive fails, or
  // the time is up. Never fails.
  asio::awaitable<void> waitUntilClosed(Duration timeout);

  // Nothing without a TLS session. Material taken at open is given as it was
  // taken, even once the channel has ended.
  asio::awaitable<std::optional<Bytes>> exportKeyingMaterial(std::string label, std::size_t length);
  asio::awaitable<std::optional<std::uint16_t>> negotiatedCipherSuite();
  Endpoint remoteEndpoint() const { return remoteEndpoint_; }
  const std::string& label() const { return label_; }

 private:
  struct ReceiveToken {
    bool isCancelled = false;
  };
  struct Waiter {
    std::shared_ptr<ReceiveToken> token;
    std::function<void(std::exception_ptr, std::optional<Message>)> complete;
    std::unique_ptr<Clock::Timer> timer;
  };
  // Null error: ended normally (closed).
  struct Ending {
    std::exception_ptr error;
  };

  MessageChannel(asio::any_io_executor executor, std::unique_ptr<Connection> connection, std::string label,
                 std::shared_ptr<Clock> clock);

  void startOpen(Duration timeout, std::vector<KeyingMaterialRequest> exportedAtOpen,
                 std::function<void(std::exception_ptr)> complete);
  void startReceive(std::shared_ptr<ReceiveToken> token, std::optional<Duration> timeout,
                    std::function<void(std::exception_ptr, std::optional<Message>)> complete);
  void cancelReceive(const std::shared_ptr<ReceiveToken>& token);
  // The coroutine behind send(); parameters by value.
  static asio::awaitable<void> sendFrame(std::weak_ptr<MessageChannel> weak, std::shared_ptr<BytePieces> frame,
                                         std::exception_ptr encodingError, std::optional<Duration> timeout);
  void startSend(BytePieces frame, std::optional<Duration> timeout, std::function<void(std::exception_ptr)> complete);
  // Hands a frame to the connection, counting it as unsent until the
  // connection reports it written; false (and the channel failed) when the
  // peer has let too much pile up.
  bool write(BytePieces frame, std::function<void(std::exception_ptr)> written);
  void handToConnection(BytePieces frame, std::size_t size, std::function<void(std::exception_ptr)> written);
  void flushHeldWrites();

  void onState(Connection::State state, std::exception_ptr error);
  void readNext();
  void onRead(ByteView bytes, bool endOfStream, std::exception_ptr error);
  void deliver(Message message);
  void finish(std::exception_ptr error);
  std::exception_ptr endingError() const;

  asio::strand<asio::any_io_executor> strand_;
  std::unique_ptr<Connection> connection_;
  std::string label_;
  std::shared_ptr<Clock> clock_;
  Endpoint remoteEndpoint_;

  // Written on the strand before `exported_` is set, never after: readable
  // from any thread once the flag is seen.
  struct Exported {
    std::string label;
    std::size_t length;
    std::optional<Bytes> bytes;
  };
  std::vector<Exported> exportedAtOpen_;
  std::atomic<bool> exported_{false};

  // Strand-confined state.
  FrameDecoder decoder_;
  std::deque<Message> inbox_;
  std::optional<Waiter> waiter_;
  std::optional<Ending> ending_;
  std::function<void(std::exception_ptr)> openCompletion_;
  std::vector<KeyingMaterialRequest> exportRequests_;
  std::unique_ptr<Clock::Timer> openTimer_;
  std::size_t unsentBytes_ = 0;
  bool writesHeld_ = false;
  BytePieces heldFrames_;
  std::size_t heldSize_ = 0;
  std::vector<std::function<void(std::exception_ptr)>> heldWritten_;
  bool started_ = false;
  bool cancelledBeforeStart_ = false;
  bool readPaused_ = false;
};

}  // namespace tillerpad::kit
