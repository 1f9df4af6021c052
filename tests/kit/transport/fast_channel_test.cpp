#include "kit/transport/fast_channel.h"

#include <gtest/gtest.h>

#include <asio/executor_work_guard.hpp>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "tests/support/test_bytes.h"

namespace tillerpad::kit {
namespace {

using namespace std::chrono_literals;
using asio::ip::udp;

using testing::fastKeys;

// The last event's dx of every batch a session's handler got, waited for with a time limit.
struct Marks {
  FastChannelListener::Handler handler() {
    return [this](const std::vector<FastEvent>& events) {
      std::lock_guard lock(mutex);
      marks.push_back(events.empty() ? -1 : events.back().dx);
      changed.notify_all();
    };
  }
  std::vector<float> waitFor(std::size_t count) {
    std::unique_lock lock(mutex);
    changed.wait_for(lock, 5s, [&] { return marks.size() >= count; });
    return marks;
  }
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<float> marks;
};

// A datagram whose single move's dx tells which one arrived.
Bytes marked(float mark, std::uint64_t sequence, const FastChannelKeys& keys) {
  return FastPacket::seal({FastEvent::pointerMove(mark, 0)}, sequence, keys);
}

class FastChannelTest : public ::testing::Test {
 protected:
  void TearDown() override {
    listener_->stop();
    work_.reset();
    io_.stop();
    thread_.join();
  }

  void send(udp::socket& socket, const Bytes& datagram) {
    socket.send_to(asio::buffer(datagram), {asio::ip::make_address("127.0.0.1"), port_});
  }
  udp::socket newSocket() {
    udp::socket s(sendIo_);
    s.open(udp::v4());
    s.bind({asio::ip::make_address("127.0.0.1"), 0});
    return s;
  }
  FastChannelListener::Snapshot snapshot() {
    auto f = listener_->snapshot();
    EXPECT_EQ(f.wait_for(5s), std::future_status::ready);
    return f.get();
  }

  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> work_ = asio::make_work_guard(io_);
  asio::io_context sendIo_;
  std::shared_ptr<RecordingLogSink> log_ = std::make_shared<RecordingLogSink>();
  std::atomic<std::uint16_t> refusedPort_{0};
  std::atomic<int> refusals_{0};
  // Refuses one port, counting how often it was asked about it.
  std::shared_ptr<FastChannelListener> listener_ = FastChannelListener::create(
      io_, [this](const udp::endpoint& from) { return from.port() != refusedPort_ || (++refusals_, false); },
      Logger(log_, "TillerpadKit", "fast-channel"));
  std::uint16_t port_ = listener_->start();
  std::thread thread_{[this] { io_.run(); }};
};

// Sequence numbers only grow, per registration (an empty batch uses its
// number up too); datagrams that do not open never reach the handler.
// Unregistering forgets the session and its flows and leaves the others alone.
TEST_F(FastChannelTest, OnlyFreshAuthenticDatagramsReachTheHandler) {
  auto keys = fastKeys(1), other = fastKeys(4, 9);
  Marks marks, otherMarks;
  listener_->registerSession(keys, marks.handler());
  listener_->registerSession(other, otherMarks.handler());
  auto phone = newSocket(), otherPhone = newSocket();
  auto flipped = [good = marked(9, 10, keys)](std::size_t i) {
    Bytes d = good;
    d[i] ^= 1;
    return d;
  };
  // A replay and an older one; too short; version 0, another tag, a flip in the sequence,
  // in the ciphertext; too long; an empty batch, then a move with its number.
  for (const Bytes& d : {marked(1, 5, keys), marked(2, 5, keys), marked(3, 4, keys), Bytes(28, 1), flipped(0),
                         flipped(4), flipped(12), flipped(15), Bytes(600, 1), FastPacket::seal({}, 20, keys),
                         marked(8, 20, keys), marked(4, 21, keys)}) {
    send(phone, d);
  }
  EXPECT_EQ(marks.waitFor(2), (std::vector<float>{1, 4}));
  EXPECT_EQ(log_->count("Dropped a fast-channel datagram that failed authentication"), 2u);
  listener_->registerSession(keys, marks.handler());  // the same keys again start over
  send(phone, marked(5, 1, keys));
  send(otherPhone, marked(1, 1, other));
  EXPECT_EQ(marks.waitFor(3), (std::vector<float>{1, 4, 5}));
  otherMarks.waitFor(1);
  EXPECT_EQ(snapshot().boundFlows, 2u);

  listener_->unregisterSession(keys);
  auto after = snapshot();
  EXPECT_EQ((std::vector{after.sessions, after.flows}), (std::vector<std::size_t>{1, 1}));
  send(phone, marked(6, 6, keys));
  send(otherPhone, marked(2, 2, other));
  EXPECT_EQ(otherMarks.waitFor(2).size(), 2u);
  EXPECT_EQ(marks.waitFor(3).size(), 3u);
}

// Floods below are sent in batches, each followed by a datagram of the phone
// that is awaited: the kernel delivers a socket's datagrams in order, so
// the receive queue never holds more than one batch and cannot overflow.
TEST_F(FastChannelTest, RefusedEndpointsAreRememberedAndAskedAboutRarely) {
  auto keys = fastKeys(5);
  Marks marks;
  listener_->registerSession(keys, marks.handler());
  auto stranger = newSocket(), phone = newSocket();
  refusedPort_ = stranger.local_endpoint().port();
  auto started = std::chrono::steady_clock::now();
  for (std::uint64_t batch = 1, sequence = 0; batch <= 4; ++batch) {
    for (int i = 0; i < 25; ++i) send(stranger, marked(1, ++sequence, keys));
    send(phone, marked(2, ++sequence, keys));
    ASSERT_EQ(marks.waitFor(batch), std::vector<float>(batch, 2));
  }
  auto s = snapshot();
  EXPECT_EQ((std::vector{s.flows, s.refusedFlows, s.boundFlows}), (std::vector<std::size_t>{2, 1, 1}));
  // The policy is asked once per refusal memory, not once per datagram.
  EXPECT_LE(refusals_.load(), 1 + (std::chrono::steady_clock::now() - started) / FastChannelListener::refusalMemory);
}

TEST_F(FastChannelTest, FlowTableStaysBoundedUnderAFloodAndKeepsThePhone) {
  auto keys = fastKeys(6);
  Marks marks;
  listener_->registerSession(keys, marks.handler());
  auto phone = newSocket();
  std::vector<float> expected;
  for (std::size_t batch = 1; batch <= 2 * FastChannelListener::maxFlows / 16; ++batch) {
    for (int i = 0; i < 16; ++i) {
      auto attacker = newSocket();
      send(attacker, FastPacket::seal({}, 1, fastKeys(6, 1)));  // right tag, wrong key
    }
    send(phone, marked(static_cast<float>(batch), batch, keys));
    expected.push_back(static_cast<float>(batch));
    ASSERT_EQ(marks.waitFor(batch), expected);
  }
  auto s = snapshot();
  EXPECT_LE(s.flows, FastChannelListener::maxFlows);
  EXPECT_EQ(s.boundFlows, 1u);
}

// An empty batch sends nothing; sequence numbers are unique across threads,
// and nothing goes after cancel(). (How many events fit is the packet's test.)
TEST_F(FastChannelTest, SenderBatchesAndNumbersFromAnyThread) {
  auto keys = fastKeys(8);
  Marks marks;
  listener_->registerSession(keys, marks.handler());
  FastChannelSender sender(sendIo_, {asio::ip::make_address("127.0.0.1"), port_}, keys);
  sender.send({});
  EXPECT_EQ(sender.lastSequence(), 0u);
  sender.send({FastEvent::scroll(3, 0)});
  EXPECT_EQ(marks.waitFor(1), std::vector<float>{3});
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 25; ++i) sender.send({FastEvent::pointerMove(1, 1)});
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(sender.lastSequence(), 101u);
  sender.cancel();
  sender.send({FastEvent::pointerMove(1, 1)});
  EXPECT_EQ(sender.lastSequence(), 101u);
  // Datagrams may still be in flight: detach the handler, and let the
  // listener's thread pass that point, before `marks` goes away.
  listener_->unregisterSession(keys);
  snapshot();
}

}  // namespace
}  // namespace tillerpad::kit
