#include "kit/transport/message_channel.h"

#include <asio/cancellation_type.hpp>
#include <asio/post.hpp>

#include <algorithm>
#include <stdexcept>
#include <system_error>

#include "kit/transport/completion.h"
#include "kit/wire/message_codec.h"

namespace tillerpad::kit {

namespace {

std::exception_ptr cancelledError() {
  return std::make_exception_ptr(std::system_error(std::make_error_code(std::errc::operation_canceled),
                                                   "The receive was cancelled"));
}

std::exception_ptr closedError() { return std::make_exception_ptr(ChannelError::closed()); }

}  // namespace

std::shared_ptr<MessageChannel> MessageChannel::create(asio::any_io_executor executor,
                                                       std::unique_ptr<Connection> connection, std::string label,
                                                       std::shared_ptr<Clock> clock) {
  return std::shared_ptr<MessageChannel>(
      new MessageChannel(std::move(executor), std::move(connection), std::move(label), std::move(clock)));
}

MessageChannel::MessageChannel(asio::any_io_executor executor, std::unique_ptr<Connection> connection,
                               std::string label, std::shared_ptr<Clock> clock)
    : strand_(asio::make_strand(std::move(executor))),
      connection_(std::move(connection)),
      label_(std::move(label)),
      clock_(std::move(clock)),
      remoteEndpoint_(connection_->remoteEndpoint()) {}

MessageChannel::~MessageChannel() {
  // Connection operations belong on the strand; the connection goes along
  // and is cancelled there.
  std::shared_ptr<Connection> connection(std::move(connection_));
  asio::post(strand_, [connection] { connection->cancel(); });
}

// MARK: open

// Initiation lambdas are named locals, never temporaries inside a co_await
// expression: GCC 12 destroys such temporaries twice.
//
// The waiting coroutines of open, send and receive hold the channel weakly:
// their completions are stored in the channel, and a strong reference would
// keep a dropped channel alive for as long as nothing arrives.

asio::awaitable<void> MessageChannel::open(Duration timeout, std::vector<KeyingMaterialRequest> exportedAtOpen) {
  std::weak_ptr<MessageChannel> weak = weak_from_this();
  auto initiate = [weak, timeout, exportedAtOpen = std::move(exportedAtOpen)](auto handler) mutable {
    auto complete = detail::Completion<std::exception_ptr>::wrap(std::move(handler));
    auto self = weak.lock();
    if (!self) return complete(closedError());
    asio::post(self->strand_, [self, timeout, exportedAtOpen = std::move(exportedAtOpen), complete]() mutable {
      self->startOpen(timeout, std::move(exportedAtOpen), std::move(complete));
    });
  };
  co_await asio::async_initiate<const asio::use_awaitable_t<>&, void(std::exception_ptr)>(std::move(initiate),
                                                                                          asio::use_awaitable);
}

void MessageChannel::startOpen(Duration timeout, std::vector<KeyingMaterialRequest> exportedAtOpen,
                               std::function<void(std::exception_ptr)> complete) {
  if (started_) {
    complete(std::make_exception_ptr(std::logic_error("A channel is opened only once")));
    return;
  }
  started_ = true;
  if (cancelledBeforeStart_) {
    // Cancelled before it started: a connection never started reports no
    // state, so the open would otherwise wait out its whole time limit.
    complete(closedError());
    return;
  }
  openCompletion_ = std::move(complete);
  exportRequests_ = std::move(exportedAtOpen);
  std::weak_ptr<MessageChannel> weak = weak_from_this();
  connection_->setStateHandler([weak](Connection::State state, std::exception_ptr error) {
    if (auto self = weak.lock()) self->onState(state, std::move(error));
  });
  connection_->start(strand_);
  openTimer_ = clock_->schedule(strand_, timeout, [weak] {
    auto self = weak.lock();
    if (!self || !self->openCompletion_) return;
    std::exchange(self->openCompletion_, nullptr)(std::make_exception_ptr(ChannelError::timedOut()));
    self->connection_->cancel();
  });
}

void MessageChannel::onState(Connection::State state, std::exception_ptr error) {
  switch (state) {
    case Connection::State::ready:
      if (openCompletion_) {
        openTimer_.reset();
        for (const KeyingMaterialRequest& request : std::exchange(exportRequests_, {})) {
          exportedAtOpen_.push_back({std::string(request.label), request.length,
                                     connection_->exportKeyingMaterial(request.label, request.length)});
        }
        exported_.store(true, std::memory_order_release);
        std::exchange(openCompletion_, nullptr)(nullptr);
      }
      if (!ending_) readNext();
      break;
    case Connection::State::waiting:
      finish(error);
      connection_->cancel();
      break;
    case Connection::State::failed:
      finish(error);
      break;
    case Connection::State::cancelled:
      finish(nullptr);
      break;
    case Connection::State::setup:
    case Connection::State::preparing:
      break;
  }
}

// MARK: reading

void MessageChannel::readNext() {
  std::weak_ptr<MessageChannel> weak = weak_from_this();
  auto handler = [weak](ByteView bytes, bool endOfStream, std::exception_ptr error) {
    if (auto self = weak.lock()) self->onRead(bytes, endOfStream, std::move(error));
  };
  // TLS decrypts straight into the decoder's buffer: no copy between the two.
  auto room = [weak](std::size_t maximum) -> std::span<std::uint8_t> {
    if (auto self = weak.lock()) return self->decoder_.room(maximum);
    return {};
  };
  connection_->receiveInto(1, readSize, std::move(handler), std::move(room));
}

void MessageChannel::onRead(ByteView bytes, bool endOfStream, std::exception_ptr error) {
  if (ending_) return;  // a read that raced the cancel; the ending is recorded already
  if (!bytes.empty()) {
    decoder_.append(bytes);
    try {
      // Frames are decoded as soon as they are complete, reader or not.
      // A large attachment keeps the buffer it was decrypted into instead of
      // being copied out of it.
      while (auto payload = decoder_.next()) deliver(MessageCodec::decode(*payload, decoder_.share(*payload)));
    } catch (...) {
      finish(std::current_exception());
      connection_->cancel();
      return;
    }
  }
  if (error) {
    finish(std::move(error));
    connection_->cancel();
  } else if (endOfStream) {
    finish(nullptr);
    connection_->cancel();
  } else if (inbox_.size() >= maxInbox) {
    // The reader is behind: reading stops until it catches up, so a peer
    // that sends faster than it is served meets TCP's flow control instead
    // of growing this queue.
    readPaused_ = true;
  } else {
    readNext();
  }
}

void MessageChannel::deliver(Message message) {
  if (waiter_) {
    auto waiter = std::move(*waiter_);
    waiter_.reset();
    waiter.complete(nullptr, std::move(message));
  } else {
    inbox_.push_back(std::move(message));
  }
}

void MessageChannel::finish(std::exception_ptr error) {
  // The first ending wins; later ones only report the recorded one.
  if (!ending_) ending_ = Ending{std::move(error)};
  // Held frames are not written any more: their sends fail with the ending.
  writesHeld_ = false;
  if (!heldFrames_.empty()) {
    unsentBytes_ -= std::min(unsentBytes_, std::exchange(heldSize_, 0));
    heldFrames_.clear();
    auto failed = endingError();
    for (const auto& written : std::exchange(heldWritten_, {})) written(failed);
  }
  auto recorded = ending_->error;
  if (openCompletion_) {
    openTimer_.reset();
    std::exchange(openCompletion_, nullptr)(recorded ? recorded : closedError());
  }
  if (waiter_) {
    auto waiter = std::move(*waiter_);
    waiter_.reset();
    waiter.complete(recorded, std::nullopt);
  }
}

std::exception_ptr MessageChannel::endingError() const {
  if (!ending_) return nullptr;
  return ending_->error ? ending_->error : closedError();
}

// MARK: receive

asio::awaitable<std::optional<Message>> MessageChannel::receive(std::optional<Duration> timeout) {
  std::weak_ptr<MessageChannel> weak = weak_from_this();
  auto token = std::make_shared<ReceiveToken>();
  auto initiate = [weak, token, timeout](auto handler) {
    auto slot = asio::get_associated_cancellation_slot(handler);
    if (slot.is_connected()) {
      // Runs on the thread that cancels; the decision is made on the strand.
      slot.assign([weak, token](asio::cancellation_type) {
        if (auto channel = weak.lock()) {
          asio::post(channel->strand_, [channel, token] { channel->cancelReceive(token); });
        }
      });
    }
    auto complete = detail::Completion<std::exception_ptr, std::optional<Message>>::wrap(std::move(handler));
    auto self = weak.lock();
    if (!self) return complete(closedError(), std::nullopt);
    asio::post(self->strand_, [self, token, timeout, complete]() mutable {
      self->startReceive(token, timeout, std::move(complete));
    });
  };
  auto message = co_await asio::async_initiate<const asio::use_awaitable_t<>&,
                                               void(std::exception_ptr, std::optional<Message>)>(std::move(initiate),
                                                                                                 asio::use_awaitable);
  co_return message;
}

void MessageChannel::startReceive(std::shared_ptr<ReceiveToken> token, std::optional<Duration> timeout,
                                  std::function<void(std::exception_ptr, std::optional<Message>)> complete) {
  if (token->isCancelled) return complete(cancelledError(), std::nullopt);
  if (waiter_) {
    return complete(std::make_exception_ptr(std::logic_error("Only one receive may wait on a channel")),
                    std::nullopt);
  }
  if (!inbox_.empty()) {
    // Queued messages are delivered even after the channel ended.
    auto message = std::move(inbox_.front());
    inbox_.pop_front();
    if (readPaused_ && !ending_ && inbox_.size() <= maxInbox / 2) {
      readPaused_ = false;
      readNext();
    }
    return complete(nullptr, std::move(message));
  }
  if (ending_) return complete(ending_->error, std::nullopt);

  waiter_ = Waiter{token, std::move(complete), nullptr};
  if (timeout) {
    std::weak_ptr<MessageChannel> weak = weak_from_this();
    waiter_->timer = clock_->schedule(strand_, *timeout, [weak, token] {
      auto self = weak.lock();
      // A late time-out finds another receive, or none, and does nothing.
      if (!self || !self->waiter_ || self->waiter_->token != token) return;
      auto waiter = std::move(*self->waiter_);
      self->waiter_.reset();
      waiter.complete(std::make_exception_ptr(ChannelError::timedOut()), std::nullopt);
    });
  }
}

void MessageChannel::cancelReceive(const std::shared_ptr<ReceiveToken>& token) {
  token->isCancelled = true;
  if (!waiter_ || waiter_->token != token) return;
  auto waiter = std::move(*waiter_);
  waiter_.reset();
  waiter.complete(cancelledError(), std::nullopt);
}

// MARK: send

asio::awaitable<void> MessageChannel::send(const Message& message, std::optional<Duration> timeout) {
  // Encoded here, from the caller's message, so that the message itself is
  // never copied; a failure is kept for the await.
  // Large attachments are not copied: the frame shares their storage.
  auto frame = std::make_shared<BytePieces>();
  std::exception_ptr encodingError;
  try {
    *frame = MessageCodec::encodeFramePieces(message);
  } catch (...) {
    encodingError = std::current_exception();
  }
  return sendFrame(weak_from_this(), std::move(frame), std::move(encodingError), timeout);
}

asio::awaitable<void> MessageChannel::sendFrame(std::weak_ptr<MessageChannel> weak, std::shared_ptr<BytePieces> frame,
                                                std::exception_ptr encodingError, std::optional<Duration> timeout) {
  // Encoding failures reach the caller at once and nothing is written.
  if (encodingError) std::rethrow_exception(encodingError);
  auto initiate = [weak, frame, timeout](auto handler) {
    auto complete = detail::Completion<std::exception_ptr>::wrap(std::move(handler));
    auto self = weak.lock();
    if (!self) return complete(closedError());
    asio::post(self->strand_, [self, frame, timeout, complete]() mutable {
      self->startSend(std::move(*frame), timeout, std::move(complete));
    });
  };
  co_await asio::async_initiate<const asio::use_awaitable_t<>&, void(std::exception_ptr)>(std::move(initiate),
                                                                                          asio::use_awaitable);
}

void MessageChannel::startSend(BytePieces frame, std::optional<Duration> timeout,
                               std::function<void(std::exception_ptr)> complete) {
  // Completed once: by the write, or by the time limit, whichever is first.
  struct Pending {
    std::function<void(std::exception_ptr)> complete;
    std::unique_ptr<Clock::Timer> timer;
  };
  auto pending = std::make_shared<Pending>(Pending{std::move(complete), nullptr});
  std::weak_ptr<MessageChannel> weak = weak_from_this();
  if (timeout) {
    // Weak: the write's handler keeps the pending send alive, the timer must not.
    pending->timer = clock_->schedule(strand_, *timeout, [weak, weakPending = std::weak_ptr<Pending>(pending)] {
      auto pending = weakPending.lock();
      if (!pending) return;
      auto finish = std::exchange(pending->complete, nullptr);
      if (!finish) return;
      if (auto self = weak.lock()) self->connection_->cancel();
      finish(std::make_exception_ptr(ChannelError::timedOut()));
    });
  }
  write(std::move(frame), [weak, pending](std::exception_ptr error) {
    auto finish = std::exchange(pending->complete, nullptr);
    pending->timer.reset();
    if (!finish) return;
    if (!error) return finish(nullptr);
    auto self = weak.lock();
    if (self && self->ending_) return finish(self->endingError());
    finish(std::move(error));
  });
}

bool MessageChannel::write(BytePieces frame, std::function<void(std::exception_ptr)> written) {
  std::size_t size = perWriteOverhead;
  for (const auto& piece : frame) size += piece.size();
  if (unsentBytes_ > 0 && unsentBytes_ + size > maxUnsentBytes) {
    // The peer stopped reading long ago: nothing more is queued for it.
    finish(std::make_exception_ptr(ConnectionError(
        std::make_error_code(std::errc::no_buffer_space),
        "The peer does not read: " + std::to_string(unsentBytes_) + " bytes wait to be sent")));
    connection_->cancel();
    if (written) written(endingError());
    return false;
  }
  unsentBytes_ += size;
  if (writesHeld_) {
    heldFrames_.insert(heldFrames_.end(), std::make_move_iterator(frame.begin()), std::make_move_iterator(frame.end()));
    heldSize_ += size;
    if (written) heldWritten_.push_back(std::move(written));
    return true;
  }
  handToConnection(std::move(frame), size, std::move(written));
  return true;
}

void MessageChannel::handToConnection(BytePieces frame, std::size_t size,
                                      std::function<void(std::exception_ptr)> written) {
  std::weak_ptr<MessageChannel> weak = weak_from_this();
  connection_->sendPieces(std::move(frame), [weak, size, written = std::move(written)](std::exception_ptr error) {
    if (auto self = weak.lock()) self->unsentBytes_ -= std::min(self->unsentBytes_, size);
    if (written) written(std::move(error));
  });
}

void MessageChannel::holdWrites() {
  asio::post(strand_, [self = shared_from_this()] {
    if (!self->ending_) self->writesHeld_ = true;
  });
}

void MessageChannel::releaseWrites() {
  asio::post(strand_, [self = shared_from_this()] { self->flushHeldWrites(); });
}

void MessageChannel::flushHeldWrites() {
  writesHeld_ = false;
  if (heldFrames_.empty()) return;
  std::function<void(std::exception_ptr)> written;
  if (!heldWritten_.empty()) {
    written = [all = std::exchange(heldWritten_, {})](const std::exception_ptr& error) {
      for (const auto& each : all) each(error);
    };
  }
  // One piece list: the connection seals it into as few records as it can
  // and writes them at once.
  handToConnection(std::exchange(heldFrames_, {}), std::exchange(heldSize_, 0), std::move(written));
}

void MessageChannel::sendWithoutWaiting(const Message& message) {
  BytePieces frame;
  try {
    frame = MessageCodec::encodeFramePieces(message);
  } catch (...) {
    return;
  }
  asio::post(strand_, [self = shared_from_this(), frame = std::move(frame)]() mutable {
    self->write(std::move(frame), nullptr);
  });
}

// MARK: closing

asio::awaitable<void> MessageChannel::close(ByeReason reason, Duration limit) {
  releaseWrites();
  try {
    auto bye = Message::bye(Bye{std::move(reason)});
    auto sending = send(std::move(bye), limit);
    co_await std::move(sending);
  } catch (...) {
    // The peer may be gone already, or not reading; closing goes on regardless.
  }
  auto self = shared_from_this();
  auto cancel = [self] {
    self->connection_->cancel();
    return true;
  };
  co_await detail::runOn<bool>(strand_, std::move(cancel));
}

void MessageChannel::cancel() {
  asio::post(strand_, [self = shared_from_this()] {
    if (!self->started_) self->cancelledBeforeStart_ = true;
    self->connection_->cancel();
  });
}

asio::awaitable<void> MessageChannel::waitUntilClosed(Duration timeout) {
  auto self = shared_from_this();  // used again after every receive
  auto deadline = clock_->now() + timeout;
  for (auto now = clock_->now(); now < deadline; now = clock_->now()) {
    std::optional<Message> message;
    try {
      message = co_await receive(deadline - now);
    } catch (...) {
      co_return;  // a time-out, a failed ending or a cancellation
    }
    if (!message) co_return;
  }
}

// MARK: TLS session

asio::awaitable<std::optional<Bytes>> MessageChannel::exportKeyingMaterial(std::string label, std::size_t length) {
  if (exported_.load(std::memory_order_acquire)) {
    for (const Exported& e : exportedAtOpen_) {
      if (e.label == label && e.length == length) co_return e.bytes;
    }
  }
  auto self = shared_from_this();
  auto exportBytes = [self, label = std::move(label), length] {
    return self->connection_->exportKeyingMaterial(label, length);
  };
  auto bytes = co_await detail::runOn<std::optional<Bytes>>(strand_, std::move(exportBytes));
  co_return bytes;
}

asio::awaitable<std::optional<std::uint16_t>> MessageChannel::negotiatedCipherSuite() {
  auto self = shared_from_this();
  auto suite = [self] { return self->connection_->negotiatedCipherSuite(); };
  auto result = co_await detail::runOn<std::optional<std::uint16_t>>(strand_, std::move(suite));
  co_return result;
}

}  // namespace tillerpad::kit
