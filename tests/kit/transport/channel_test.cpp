// The channel's behaviour on scripted in-memory connections, with time moved
// by hand: nothing here sleeps. How frames are cut across reads is the
// framing test's concern.
#include <gtest/gtest.h>

#include <asio/cancellation_signal.hpp>

#include "kit/common/coding_error.h"
#include "kit/transport/memory_connection.h"
#include "kit/transport/message_channel.h"
#include "kit/wire/message_codec.h"
#include "kit/wire/wire_error.h"
#include "tests/kit/transport/async_test.h"
#include "tests/support/test_bytes.h"

namespace tillerpad::kit {
namespace {

using namespace std::chrono_literals;
using testing::concat, testing::drain;

Message ping(std::uint64_t n) { return Message::ping(Ping{n}); }
Bytes frameOf(const Message& m) { return MessageCodec::encodeFrame(m); }
std::exception_ptr connectionError(std::errc code) {
  return std::make_exception_ptr(ConnectionError(std::make_error_code(code), "connection error"));
}
// An error's message: tells the failures of one table apart whatever their types.
std::string what(const std::exception_ptr& e) {
  try {
    if (e) std::rethrow_exception(e);
  } catch (const std::exception& x) {
    return x.what();
  }
  return "no error";
}

class ChannelTest : public ::testing::Test {
 protected:
  // Starts an operation and runs what is ready now, without waiting for anything.
  template <class T>
  auto run(asio::awaitable<T> operation, asio::cancellation_slot slot = {}) {
    auto outcome = testing::spawn(io_, std::move(operation), slot);
    drain(io_);
    return outcome;
  }
  // A channel over a scripted connection, opened unless told otherwise.
  void makeChannel(bool open = true) {
    auto [connection, script] = MemoryConnection::make({.readyOnStart = open});
    script_ = script;
    channel_ = MessageChannel::create(io_.get_executor(), std::move(connection), "app.tillerpad.channel", clock_);
    if (!open) return;
    auto opened = run(channel_->open(10s));
    ASSERT_TRUE(opened->done && !opened->error);
  }
  auto receive(std::optional<Clock::Duration> timeout = std::nullopt, asio::cancellation_slot slot = {}) {
    return run(channel_->receive(timeout), slot);
  }
  // Receives one message that must be there already.
  Message receiveNow() { return receive()->value.value_or(std::nullopt).value(); }
  void advance(Clock::Duration d) {
    clock_->advance(d);
    drain(io_);
  }

  asio::io_context io_;
  std::shared_ptr<ManualClock> clock_ = std::make_shared<ManualClock>();
  std::shared_ptr<MemoryScript> script_;
  std::shared_ptr<MessageChannel> channel_;
};

// Frames of one read go to the waiting receive, then to the inbox. What
// follows them in that read ends the channel: the end of the stream (later
// receives give nothing, a send reports the closed channel), or invalid data
// or a read error, which every later receive and send fails with.
TEST_F(ChannelTest, WhatFollowsTheFramesOfAReadEndsTheChannel) {
  const struct {
    const char* name;
    Bytes bytes;
    bool end;
    std::exception_ptr readError;
    std::string error;
  } cases[] = {
      {"end of stream", {}, true, nullptr, "no error"},
      {"frame announcing 33,554,433 bytes", {2, 0, 0, 1}, false, nullptr, WireError::frameTooLarge(33'554'433).what()},
      {"payload shorter than its JSON length", {0, 0, 0, 3, 0, 0, 0}, false, nullptr, WireError::truncated().what()},
      {"JSON that is no message", {0, 0, 0, 8, 0, 0, 0, 2, '{', '}', 0, 0}, false, nullptr, R"(No value associated with key "type".)"},
      {"read error", {}, false, connectionError(std::errc::connection_reset), "connection error"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    makeChannel();
    auto waiting = receive();
    EXPECT_FALSE(waiting->done);
    script_->deliver(concat({frameOf(ping(1)), frameOf(ping(2)), c.bytes}), c.end, c.readError);
    drain(io_);
    ASSERT_EQ(waiting->value.value_or(std::nullopt), ping(1));
    EXPECT_TRUE(script_->isCancelled());
    EXPECT_EQ(receiveNow(), ping(2));
    for (int i = 0; i < 2; ++i) {
      auto later = receive();
      EXPECT_FALSE(later->value.value_or(std::nullopt));
      EXPECT_EQ(what(later->error), c.error);
    }
    EXPECT_EQ(what(run(channel_->send(ping(3)))->error), c.end ? ChannelError::closed().what() : c.error);
  }
}

// A receive that times out or is cancelled leaves no trace: the channel keeps
// working and no timer stays behind. Only one receive may wait at a time.
TEST_F(ChannelTest, AReceiveThatEndsEarlyLeavesTheChannelUsable) {
  makeChannel();
  auto r = receive(1s);
  EXPECT_NO_THROW(receive()->errorAs<std::logic_error>());
  advance(999ms);
  EXPECT_FALSE(r->done);
  advance(1ms);
  EXPECT_EQ(r->errorAs<ChannelError>(), ChannelError::timedOut());

  asio::cancellation_signal signal;
  auto cancelled = receive(10s, signal.slot());
  signal.emit(asio::cancellation_type::terminal);
  drain(io_);
  EXPECT_EQ(cancelled->errorAs<std::system_error>().code(), std::make_error_code(std::errc::operation_canceled));

  script_->deliver(frameOf(ping(4)));
  EXPECT_EQ(receiveNow(), ping(4));
  EXPECT_FALSE(script_->isCancelled());
  EXPECT_EQ(clock_->pendingTimers(), 0u);
}

// An open ends with the connection: at the time limit (cancelling it), or
// with the way the connection failed; the time-out then no longer waits.
TEST_F(ChannelTest, OpenEndsAtTheLimitOrWithTheConnection) {
  const auto refused = connectionError(std::errc::connection_refused);
  const struct {
    const char* name;
    std::optional<Connection::State> state;  // none: the connection never gets ready
    std::exception_ptr stateError;
    std::string error;
    bool cancelsConnection;
  } cases[] = {
      {"time-out", std::nullopt, nullptr, ChannelError::timedOut().what(), true},
      {"failed", Connection::State::failed, refused, "connection error", false},
      {"waiting", Connection::State::waiting, refused, "connection error", true},
      {"cancelled", Connection::State::cancelled, nullptr, ChannelError::closed().what(), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    makeChannel(/*open=*/false);
    auto opened = run(channel_->open(10s));
    EXPECT_TRUE(script_->isStarted());
    if (c.state) {
      script_->enterState(*c.state, c.stateError);
      drain(io_);
    } else {
      advance(10s - 1ms);
      EXPECT_FALSE(opened->done);
      advance(1ms);
    }
    ASSERT_TRUE(opened->done);
    EXPECT_EQ(what(opened->error), c.error);
    EXPECT_EQ(script_->isCancelled(), c.cancelsConnection);
    EXPECT_EQ(clock_->pendingTimers(), 0u);
  }
}

// One frame per message; a failed write fails only its own send (silently
// without waiting), and an unknown message is never written.
TEST_F(ChannelTest, SendWritesOneFramePerMessageAndAFailedWriteFailsOnlyThatSend) {
  makeChannel();
  EXPECT_FALSE(run(channel_->send(ping(9)))->error);
  channel_->sendWithoutWaiting(ping(10));
  EXPECT_NO_THROW(run(channel_->send(Message::unknown("futureThing")))->errorAs<EncodingError>());
  channel_->sendWithoutWaiting(Message::unknown("futureThing"));
  drain(io_);
  EXPECT_EQ(script_->writes(), (std::vector<Bytes>{frameOf(ping(9)), frameOf(ping(10))}));

  script_->failWrites(connectionError(std::errc::broken_pipe));
  channel_->sendWithoutWaiting(ping(2));
  EXPECT_EQ(run(channel_->send(ping(1)))->errorAs<ConnectionError>().code(), std::make_error_code(std::errc::broken_pipe));
  script_->deliver(frameOf(ping(3)));
  EXPECT_EQ(receiveNow(), ping(3));
}

// Held writes (a welcome and the messages that follow it) leave in one write,
// in order, at the release; close() lets them go before its bye; an ending
// fails their sends instead of leaving them waiting.
TEST_F(ChannelTest, HeldWritesLeaveTogetherAtTheReleaseOrFailWithTheEnd) {
  makeChannel();
  channel_->holdWrites();
  channel_->sendWithoutWaiting(ping(1));
  auto sent = run(channel_->send(ping(2)));
  EXPECT_TRUE(script_->writes().empty());
  EXPECT_FALSE(sent->done);
  channel_->releaseWrites();
  channel_->sendWithoutWaiting(ping(3));
  drain(io_);
  EXPECT_TRUE(sent->done && !sent->error);
  EXPECT_EQ(script_->writes(), (std::vector<Bytes>{concat({frameOf(ping(1)), frameOf(ping(2))}), frameOf(ping(3))}));

  makeChannel();
  channel_->holdWrites();
  channel_->sendWithoutWaiting(ping(4));
  auto closed = run(channel_->close(ByeReason::revoked));
  EXPECT_TRUE(closed->done);
  EXPECT_EQ(script_->writes(), (std::vector<Bytes>{frameOf(ping(4)), frameOf(Message::bye({ByeReason::revoked}))}));

  makeChannel();
  channel_->holdWrites();
  auto lost = run(channel_->send(ping(5)));
  script_->deliverEndOfStream();
  drain(io_);
  EXPECT_EQ(lost->errorAs<ChannelError>(), ChannelError::closed());
  EXPECT_TRUE(script_->writes().empty());
}

// A peer that stops reading: a send with a limit gives up and ends the
// connection, close() does not wait past its limit, and what waits to be
// sent stays bounded (the channel fails instead of queueing more).
TEST_F(ChannelTest, APeerThatNeverReadsCostsBoundedTimeAndMemory) {
  makeChannel();
  script_->stallWrites();
  auto sent = run(channel_->send(ping(1), 2s));
  advance(1999ms);
  EXPECT_FALSE(sent->done);
  advance(1ms);
  EXPECT_EQ(sent->errorAs<ChannelError>(), ChannelError::timedOut());
  EXPECT_TRUE(script_->isCancelled());

  makeChannel();
  script_->stallWrites();
  auto closed = run(channel_->close(ByeReason::revoked));
  EXPECT_FALSE(closed->done);
  advance(MessageChannel::closeLimit);
  EXPECT_TRUE(closed->done && script_->isCancelled());

  makeChannel();
  script_->stallWrites();
  auto waiting = receive();
  Message big = Message::typeText({std::string(60'000, 'x')});
  std::size_t fits = MessageChannel::maxUnsentBytes / (frameOf(big).size() + MessageChannel::perWriteOverhead);
  for (std::size_t i = 0; i < fits + 10; ++i) channel_->sendWithoutWaiting(big);
  drain(io_);
  EXPECT_EQ(script_->writes().size(), fits);
  EXPECT_TRUE(script_->isCancelled());
  EXPECT_NE(what(waiting->error).find("does not read"), std::string::npos);

  // One frame larger than the limit still goes when nothing else waits.
  makeChannel();
  auto hugeSent = run(channel_->send(Message::typeText({std::string(MessageChannel::maxUnsentBytes + 1, 'y')})));
  EXPECT_TRUE(hugeSent->done && !hugeSent->error);
}

// A peer that sends faster than the reader takes: reading pauses, so what it
// sent waits in its own connection (and TCP's window), not in the channel.
// A message larger than one read is gathered over several, each bounded.
TEST_F(ChannelTest, ReadingPausesWhileTheReaderIsBehindAndReadsAreBounded) {
  makeChannel();
  constexpr std::size_t sent = 1000;
  for (std::size_t i = 0; i < sent; ++i) script_->deliver(frameOf(ping(i)));
  drain(io_);
  EXPECT_GE(script_->undelivered(), sent - MessageChannel::maxInbox);
  for (std::size_t i = 0; i < sent; ++i) ASSERT_EQ(receiveNow(), ping(i));
  EXPECT_EQ(script_->undelivered(), 0u);

  Message big = Message::screenFrame({ScreenFrame::makeFrameID(1, 1), 1, 10, 10, Blob{Bytes(700'000, 0x5a)}});
  script_->deliver(frameOf(big));
  EXPECT_EQ(receiveNow(), big);
  EXPECT_LE(script_->largestReadRequest(), MessageChannel::readSize);
}

// Messages are discarded while waiting; the wait ends when the peer ends,
// or at the deadline however chatty the peer is.
TEST_F(ChannelTest, WaitUntilClosedEndsAtThePeersEndOrTheDeadline) {
  for (bool peerEnds : {true, false}) {
    makeChannel();
    auto waited = run(channel_->waitUntilClosed(5s));
    for (int i = 0; i < 4; ++i) {
      script_->deliver(frameOf(ping(i)));
      advance(1s);
      EXPECT_FALSE(waited->done);
    }
    if (peerEnds) script_->deliverEndOfStream();
    advance(peerEnds ? 0s : 1s);
    EXPECT_TRUE(waited->done && !waited->error) << peerEnds;
  }
}

}  // namespace
}  // namespace tillerpad::kit
