// The channel's behaviour on scripted in-memory connections, with time moved
// by hand: nothing here sleeps.
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
using testing::drain;
using testing::spawn;

Message ping(std::uint64_t n) { return Message::ping(Ping{n}); }
Bytes frameOf(const Message& m) { return MessageCodec::encodeFrame(m); }
Bytes concat(const Bytes& a, const Bytes& b) { return testing::concat({a, b}); }

class ChannelTest : public ::testing::Test {
 protected:
  // A channel over a scripted connection, opened unless told otherwise.
  void makeChannel(MemoryConnectionOptions options = {}, bool open = true) {
    auto [connection, script] = MemoryConnection::make(std::move(options));
    script_ = script;
    channel_ = MessageChannel::create(io_.get_executor(), std::move(connection), "app.tillerpad.channel", clock_);
    if (open) {
      auto opened = spawn(io_, channel_->open(10s));
      drain(io_);
      ASSERT_TRUE(opened->done && !opened->error);
    }
  }

  auto receive(std::optional<Clock::Duration> timeout = std::nullopt, asio::cancellation_slot slot = {}) {
    return spawn(io_, channel_->receive(timeout), slot);
  }

  // Receives one message that must be there already.
  Message receiveNow() {
    auto r = receive();
    drain(io_);
    EXPECT_TRUE(r->done);
    if (!r->done || r->error || !r->value || !*r->value) throw std::runtime_error("no message");
    return **r->value;
  }

  asio::io_context io_;
  std::shared_ptr<ManualClock> clock_ = std::make_shared<ManualClock>();
  std::shared_ptr<MemoryScript> script_;
  std::shared_ptr<MessageChannel> channel_;
};

TEST_F(ChannelTest, TwoFramesInOneReadGoToWaiterThenInbox) {
  makeChannel();
  auto first = receive();
  drain(io_);
  EXPECT_FALSE(first->done);
  script_->deliver(concat(frameOf(ping(1)), frameOf(ping(2))));
  drain(io_);
  ASSERT_TRUE(first->done);
  EXPECT_EQ(**first->value, ping(1));
  // From the inbox at once: no clock movement, no waiting for the time-out.
  auto second = receive(5s);
  drain(io_);
  ASSERT_TRUE(second->done);
  EXPECT_EQ(**second->value, ping(2));
}

TEST_F(ChannelTest, MessageThenEndOfStreamInOneRead) {
  makeChannel();
  script_->deliver(frameOf(ping(1)), /*endOfStream=*/true);
  drain(io_);
  EXPECT_TRUE(script_->isCancelled());
  EXPECT_EQ(receiveNow(), ping(1));
  auto end = receive();
  drain(io_);
  ASSERT_TRUE(end->done);
  EXPECT_FALSE(end->error);
  EXPECT_FALSE(*end->value);  // nothing: ended normally
}

TEST_F(ChannelTest, InvalidIncomingDataEndsTheChannelWithItsError) {
  struct Case {
    const char* name;
    Bytes bytes;
    std::function<void(std::exception_ptr)> check;
  };
  auto wireCase = [](WireError::Case expected) {
    return [expected](std::exception_ptr e) {
      try {
        std::rethrow_exception(e);
      } catch (const WireError& w) {
        EXPECT_EQ(w.errorCase(), expected);
        if (expected == WireError::Case::frameTooLarge) EXPECT_EQ(w.length(), 33'554'433u);
      } catch (...) {
        ADD_FAILURE() << "not a WireError";
      }
    };
  };
  std::vector<Case> cases = {
      {"frame announcing 33,554,433 bytes", {0x02, 0x00, 0x00, 0x01}, wireCase(WireError::Case::frameTooLarge)},
      {"payload shorter than its JSON length", {0, 0, 0, 3, 0, 0, 0}, wireCase(WireError::Case::truncated)},
      {"JSON that is no message",
       concat({0, 0, 0, 8, 0, 0, 0, 2}, {'{', '}', 0, 0}),
       [](std::exception_ptr e) { EXPECT_TRUE(e); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    makeChannel();
    auto waiting = receive();
    drain(io_);
    // A valid message before the bad frame in the same chunk is still delivered.
    script_->deliver(concat(frameOf(ping(1)), c.bytes));
    drain(io_);
    ASSERT_TRUE(waiting->done);
    EXPECT_EQ(**waiting->value, ping(1));
    EXPECT_TRUE(script_->isCancelled());
    for (int i = 0; i < 2; ++i) {  // the ending sticks for every later receive
      auto later = receive();
      drain(io_);
      ASSERT_TRUE(later->done);
      ASSERT_TRUE(later->error);
      c.check(later->error);
    }
  }
}

TEST_F(ChannelTest, ReceiveTimeOutLeavesTheChannelUsable) {
  makeChannel();
  auto r = receive(1s);
  drain(io_);
  clock_->advance(999ms);
  drain(io_);
  EXPECT_FALSE(r->done);
  clock_->advance(1ms);
  drain(io_);
  ASSERT_TRUE(r->done);
  EXPECT_EQ(r->errorAs<ChannelError>(), ChannelError::timedOut());
  EXPECT_FALSE(script_->isCancelled());

  auto next = receive(1s);
  drain(io_);
  script_->deliver(frameOf(ping(3)));
  drain(io_);
  ASSERT_TRUE(next->done);
  EXPECT_EQ(**next->value, ping(3));
  // The earlier time-outs are gone with their receives and hit no later one.
  EXPECT_EQ(clock_->pendingTimers(), 0u);
  auto later = receive(10s);
  drain(io_);
  clock_->advance(1s);
  drain(io_);
  EXPECT_FALSE(later->done);
}

TEST_F(ChannelTest, CancellingTheReceiveKeepsTheChannelUsable) {
  makeChannel();
  asio::cancellation_signal signal;
  auto r = receive(std::nullopt, signal.slot());
  drain(io_);
  EXPECT_FALSE(r->done);
  signal.emit(asio::cancellation_type::terminal);
  drain(io_);
  ASSERT_TRUE(r->done);
  auto error = r->errorAs<std::system_error>();
  EXPECT_EQ(error.code(), std::make_error_code(std::errc::operation_canceled));

  // A message after the cancellation waits in the inbox.
  script_->deliver(frameOf(ping(4)));
  drain(io_);
  EXPECT_EQ(receiveNow(), ping(4));
}

TEST_F(ChannelTest, SecondConcurrentReceiveIsRejected) {
  makeChannel();
  auto first = receive();
  auto second = receive();
  drain(io_);
  EXPECT_FALSE(first->done);
  ASSERT_TRUE(second->done);
  EXPECT_NO_THROW(second->errorAs<std::logic_error>());
}

TEST_F(ChannelTest, OpenTimesOutOnAConnectionThatNeverBecomesReady) {
  MemoryConnectionOptions options;
  options.readyOnStart = false;
  makeChannel(options, /*open=*/false);
  auto opened = spawn(io_, channel_->open(10s));
  drain(io_);
  EXPECT_TRUE(script_->isStarted());
  clock_->advance(9s);
  drain(io_);
  EXPECT_FALSE(opened->done);
  clock_->advance(1s);
  drain(io_);
  ASSERT_TRUE(opened->done);
  EXPECT_EQ(opened->errorAs<ChannelError>(), ChannelError::timedOut());
  EXPECT_TRUE(script_->isCancelled());
  auto r = receive();
  drain(io_);
  ASSERT_TRUE(r->done);
  EXPECT_FALSE(r->error);
  EXPECT_FALSE(*r->value);
}

TEST_F(ChannelTest, OpenReportsTheWayTheConnectionEnded) {
  struct Case {
    const char* name;
    Connection::State state;
    bool withError;
    bool cancelsConnection;
  };
  for (const auto& c : {Case{"failed", Connection::State::failed, true, false},
                        Case{"waiting", Connection::State::waiting, true, true},
                        Case{"cancelled", Connection::State::cancelled, false, false}}) {
    SCOPED_TRACE(c.name);
    MemoryConnectionOptions options;
    options.readyOnStart = false;
    makeChannel(options, /*open=*/false);
    auto opened = spawn(io_, channel_->open(10s));
    drain(io_);
    auto failure = std::make_exception_ptr(ConnectionError(std::make_error_code(std::errc::connection_refused), "refused"));
    script_->enterState(c.state, c.withError ? failure : nullptr);
    drain(io_);
    ASSERT_TRUE(opened->done);
    if (c.withError) {
      EXPECT_EQ(opened->errorAs<ConnectionError>().code(), std::make_error_code(std::errc::connection_refused));
    } else {
      EXPECT_EQ(opened->errorAs<ChannelError>(), ChannelError::closed());
    }
    EXPECT_EQ(script_->isCancelled(), c.cancelsConnection);
    // The time-out that no longer matters was withdrawn.
    EXPECT_EQ(clock_->pendingTimers(), 0u);
  }
}

TEST_F(ChannelTest, SendWritesOneFramePerMessage) {
  makeChannel();
  auto sent = spawn(io_, channel_->send(ping(9)));
  drain(io_);
  channel_->sendWithoutWaiting(ping(10));
  drain(io_);
  ASSERT_TRUE(sent->done);
  EXPECT_FALSE(sent->error);
  ASSERT_EQ(script_->writes().size(), 2u);
  EXPECT_EQ(script_->writes()[0], frameOf(ping(9)));
  EXPECT_EQ(script_->writes()[1], frameOf(ping(10)));
}

TEST_F(ChannelTest, SendAfterTheEndReportsTheEnding) {
  // Peer closed: ChannelError::closed. Failed: the recorded error.
  makeChannel();
  script_->deliverEndOfStream();
  drain(io_);
  auto afterClose = spawn(io_, channel_->send(ping(1)));
  drain(io_);
  ASSERT_TRUE(afterClose->done);
  EXPECT_EQ(afterClose->errorAs<ChannelError>(), ChannelError::closed());

  makeChannel();
  script_->deliver({0x02, 0x00, 0x00, 0x01});
  drain(io_);
  auto afterFailure = spawn(io_, channel_->send(ping(1)));
  drain(io_);
  ASSERT_TRUE(afterFailure->done);
  EXPECT_EQ(afterFailure->errorAs<WireError>(), WireError::frameTooLarge(33'554'433));
}

TEST_F(ChannelTest, WriteErrorWithoutEndingFailsOnlyThatSend) {
  makeChannel();
  script_->failWrites(std::make_exception_ptr(ConnectionError(std::make_error_code(std::errc::broken_pipe), "pipe")));
  auto sent = spawn(io_, channel_->send(ping(1)));
  channel_->sendWithoutWaiting(ping(2));  // silent
  drain(io_);
  ASSERT_TRUE(sent->done);
  EXPECT_EQ(sent->errorAs<ConnectionError>().code(), std::make_error_code(std::errc::broken_pipe));
  script_->deliver(frameOf(ping(3)));
  drain(io_);
  EXPECT_EQ(receiveNow(), ping(3));
}

// A peer that stops reading: a send with a limit gives up and ends the
// connection, close() does not wait past its limit, and what waits to be
// sent stays bounded (the channel fails instead of queueing more).
TEST_F(ChannelTest, APeerThatNeverReadsCostsBoundedTimeAndMemory) {
  makeChannel();
  script_->stallWrites();
  auto sent = spawn(io_, channel_->send(ping(1), 2s));
  drain(io_);
  clock_->advance(1999ms);
  drain(io_);
  EXPECT_FALSE(sent->done);
  clock_->advance(1ms);
  drain(io_);
  ASSERT_TRUE(sent->done);
  EXPECT_EQ(sent->errorAs<ChannelError>(), ChannelError::timedOut());
  EXPECT_TRUE(script_->isCancelled());

  makeChannel();
  script_->stallWrites();
  auto closed = spawn(io_, channel_->close(ByeReason::revoked));
  drain(io_);
  EXPECT_FALSE(closed->done);
  clock_->advance(MessageChannel::closeLimit);
  drain(io_);
  EXPECT_TRUE(closed->done);
  EXPECT_TRUE(script_->isCancelled());

  makeChannel();
  script_->stallWrites();
  auto waiting = receive();
  Message big = Message::typeText({std::string(60'000, 'x')});
  std::size_t frameSize = frameOf(big).size() + MessageChannel::perWriteOverhead;
  std::size_t fits = MessageChannel::maxUnsentBytes / frameSize;
  for (std::size_t i = 0; i < fits + 10; ++i) channel_->sendWithoutWaiting(big);
  drain(io_);
  EXPECT_EQ(script_->writes().size(), fits);
  EXPECT_TRUE(script_->isCancelled());
  ASSERT_TRUE(waiting->done);
  EXPECT_NE(std::string(waiting->errorAs<ConnectionError>().what()).find("does not read"), std::string::npos);

  // One frame larger than the limit still goes when nothing else waits.
  makeChannel();
  Message huge = Message::typeText({std::string(MessageChannel::maxUnsentBytes + 1, 'y')});
  auto hugeSent = spawn(io_, channel_->send(huge));
  drain(io_);
  ASSERT_TRUE(hugeSent->done);
  EXPECT_FALSE(hugeSent->error);
}

// A peer that sends faster than the reader takes: reading pauses, so what it
// sent waits in its own connection (and TCP's window), not in the channel.
TEST_F(ChannelTest, ReadingPausesWhileTheReaderIsBehind) {
  makeChannel();
  constexpr std::size_t sent = 1000;
  for (std::size_t i = 0; i < sent; ++i) script_->deliver(frameOf(ping(i)));
  drain(io_);
  EXPECT_GE(script_->undelivered(), sent - MessageChannel::maxInbox);
  for (std::size_t i = 0; i < sent; ++i) ASSERT_EQ(receiveNow(), ping(i));
  EXPECT_EQ(script_->undelivered(), 0u);
}

TEST_F(ChannelTest, UnknownMessageIsNeverWritten) {
  makeChannel();
  EXPECT_THROW(
      {
        auto sent = spawn(io_, channel_->send(Message::unknown("futureThing")));
        drain(io_);
        if (sent->error) std::rethrow_exception(sent->error);
      },
      EncodingError);
  channel_->sendWithoutWaiting(Message::unknown("futureThing"));
  drain(io_);
  EXPECT_TRUE(script_->writes().empty());
}

// A message larger than one read is gathered over several, each bounded.
TEST_F(ChannelTest, ReadsAreBoundedInSize) {
  makeChannel();
  Message big = Message::screenFrame({ScreenFrame::makeFrameID(1, 1), 1, 10, 10, Blob{Bytes(700'000, 0x5a)}});
  script_->deliver(frameOf(big));  // one chunk, larger than a read may take
  drain(io_);
  EXPECT_LE(script_->largestReadRequest(), MessageChannel::readSize);
  EXPECT_EQ(receiveNow(), big);
}

TEST_F(ChannelTest, ReadErrorFailsTheWaiterAndLaterReceives) {
  makeChannel();
  auto r = receive();
  drain(io_);
  script_->failRead(std::make_exception_ptr(ConnectionError(std::make_error_code(std::errc::connection_reset), "reset")));
  drain(io_);
  ASSERT_TRUE(r->done);
  EXPECT_EQ(r->errorAs<ConnectionError>().code(), std::make_error_code(std::errc::connection_reset));
  EXPECT_TRUE(script_->isCancelled());
  // The cancel that follows does not overwrite the recorded failure.
  auto later = receive();
  drain(io_);
  EXPECT_EQ(later->errorAs<ConnectionError>().code(), std::make_error_code(std::errc::connection_reset));
}

// Messages are discarded while waiting; the wait ends when the peer ends,
// or at the deadline however chatty the peer is.
TEST_F(ChannelTest, WaitUntilClosedEndsAtThePeersEndOrTheDeadline) {
  for (bool peerEnds : {true, false}) {
    makeChannel();
    auto waited = spawn(io_, channel_->waitUntilClosed(5s));
    drain(io_);
    for (int i = 0; i < 4; ++i) {
      clock_->advance(1s);
      script_->deliver(frameOf(ping(i)));
      drain(io_);
      EXPECT_FALSE(waited->done);
    }
    if (peerEnds) {
      script_->deliverEndOfStream();
    } else {
      clock_->advance(1s);
    }
    drain(io_);
    EXPECT_TRUE(waited->done) << peerEnds;
    EXPECT_FALSE(waited->error);
  }
}

}  // namespace
}  // namespace tillerpad::kit
