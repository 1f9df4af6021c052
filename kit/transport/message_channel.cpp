#include "kit/transport/message_channel.h"

#include <asio/cancellation_type.hpp>
#include <asio/post.hpp>

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

asio::awaitable<void> MessageChannel::open(Duration timeout) {
  std::weak_ptr<MessageChannel> weak = weak_from_this();
  auto initiate = [weak, timeout](auto handler) {
    auto complete = detail::Completion<std::exception_ptr>::wrap(std::move(handler));
    auto self = weak.lock();
    if (!self) return complete(closedError());
    asio::post(self->strand_, [self, timeout, complete]() mutable { self->startOpen(timeout, std::move(complete)); });
  };
  co_await asio::async_initiate<const asio::use_awaitable_t<>&, void(std::exception_ptr)>(std::move(initiate),
                                                                                          asio::use_awaitable);
}

void MessageChannel::startOpen(Duration timeout, std::function<void(std::exception_ptr)> complete) {
  if (started_) {
    complete(std::make_exception_ptr(std::logic_error("A channel is opened only once")));
    return;
  }
  started_ = true;
  openCompletion_ = std::move(complete);
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
  connection_->receive(1, readSize, [weak](ByteView bytes, bool endOfStream, std::exception_ptr error) {
    if (auto self = weak.lock()) self->onRead(bytes, endOfStream, std::move(error));
  });
}

void MessageChannel::onRead(ByteView bytes, bool endOfStream, std::exception_ptr error) {
  if (ending_) return;  // a read that raced the cancel; the ending is recorded already
  if (!bytes.empty()) {
    decoder_.append(bytes);
    try {
      // Frames are decoded as soon as they are complete, reader or not.
      while (auto payload = decoder_.next()) deliver(MessageCodec::decode(*payload));
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

asio::awaitable<void> MessageChannel::send(Message message) {
  // Encoding failures reach the caller at once and nothing is written.
  auto frame = std::make_shared<Bytes>(MessageCodec::encodeFrame(message));
  std::weak_ptr<MessageChannel> weak = weak_from_this();
  auto initiate = [weak, frame](auto handler) {
    auto complete = detail::Completion<std::exception_ptr>::wrap(std::move(handler));
    auto self = weak.lock();
    if (!self) return complete(closedError());
    asio::post(self->strand_, [self, frame, complete]() mutable { self->startSend(std::move(*frame), std::move(complete)); });
  };
  co_await asio::async_initiate<const asio::use_awaitable_t<>&, void(std::exception_ptr)>(std::move(initiate),
                                                                                          asio::use_awaitable);
}

void MessageChannel::startSend(Bytes frame, std::function<void(std::exception_ptr)> complete) {
  std::weak_ptr<MessageChannel> weak = weak_from_this();
  connection_->send(std::move(frame), [weak, complete = std::move(complete)](std::exception_ptr error) {
    if (!error) return complete(nullptr);
    auto self = weak.lock();
    if (self && self->ending_) return complete(self->endingError());
    complete(std::move(error));
  });
}

void MessageChannel::sendWithoutWaiting(const Message& message) {
  Bytes frame;
  try {
    frame = MessageCodec::encodeFrame(message);
  } catch (...) {
    return;
  }
  asio::post(strand_, [self = shared_from_this(), frame = std::move(frame)]() mutable {
    self->connection_->send(std::move(frame), nullptr);
  });
}

// MARK: closing

asio::awaitable<void> MessageChannel::close(ByeReason reason) {
  try {
    auto bye = Message::bye(Bye{std::move(reason)});
    co_await send(std::move(bye));
  } catch (...) {
    // The peer may be gone already; closing goes on regardless.
  }
  auto self = shared_from_this();
  auto cancel = [self] {
    self->connection_->cancel();
    return true;
  };
  co_await detail::runOn<bool>(strand_, std::move(cancel));
}

void MessageChannel::cancel() {
  asio::post(strand_, [self = shared_from_this()] { self->connection_->cancel(); });
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
