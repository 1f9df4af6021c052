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

// Batches handed to one session's handler, waited for with a time limit.
class Batches {
 public:
  FastChannelListener::Handler handler() {
    return [this](const std::vector<FastEvent>& events) {
      std::lock_guard lock(mutex_);
      batches_.push_back(events);
      changed_.notify_all();
    };
  }
  std::vector<std::vector<FastEvent>> waitFor(std::size_t count) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, 5s, [&] { return batches_.size() >= count; });
    return batches_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::vector<FastEvent>> batches_;
};

class FastChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log_ = std::make_shared<RecordingLogSink>();
    listener_ = FastChannelListener::create(
        io_,
        [this](const udp::endpoint& remote) {
          if (remote.port() != refusedPort_.load()) return true;
          ++refusals_;
          return false;
        },
        Logger(log_, "TillerpadKit", "fast-channel"));
    port_ = listener_->start();
    thread_ = std::thread([this] { io_.run(); });
  }
  void TearDown() override {
    listener_->stop();
    work_.reset();
    io_.stop();
    thread_.join();
  }

  udp::endpoint listenerEndpoint() const { return {asio::ip::make_address("127.0.0.1"), port_}; }

  void sendFrom(udp::socket& socket, const Bytes& datagram) { socket.send_to(asio::buffer(datagram), listenerEndpoint()); }

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

  // A datagram whose single move's dx tells which one arrived.
  static Bytes marked(float mark, std::uint64_t sequence, const FastChannelKeys& keys) {
    return FastPacket::seal({FastEvent::pointerMove(mark, 0)}, sequence, keys);
  }
  static std::vector<float> marks(const std::vector<std::vector<FastEvent>>& batches) {
    std::vector<float> out;
    for (const auto& b : batches) out.push_back(b.front().dx);
    return out;
  }

  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> work_ = asio::make_work_guard(io_);
  asio::io_context sendIo_;
  std::shared_ptr<RecordingLogSink> log_;
  std::shared_ptr<FastChannelListener> listener_;
  std::atomic<std::uint16_t> refusedPort_{0};
  std::atomic<int> refusals_{0};
  std::uint16_t port_ = 0;
  std::thread thread_;
};

TEST_F(FastChannelTest, SequenceNumbersOnlyGrow) {
  auto keys = fastKeys(1);
  Batches batches;
  listener_->registerSession(keys, batches.handler());
  auto phone = newSocket();
  for (auto [mark, sequence] : std::vector<std::pair<float, std::uint64_t>>{{1, 5}, {2, 5}, {3, 4}, {4, 6}}) {
    sendFrom(phone, marked(mark, sequence, keys));
  }
  EXPECT_EQ(marks(batches.waitFor(2)), (std::vector<float>{1, 4}));

  // Registering the same keys again starts over.
  listener_->registerSession(keys, batches.handler());
  sendFrom(phone, marked(5, 1, keys));
  EXPECT_EQ(marks(batches.waitFor(3)), (std::vector<float>{1, 4, 5}));
}

TEST_F(FastChannelTest, BadDatagramsNeverReachTheHandler) {
  auto keys = fastKeys(2);
  Batches batches;
  listener_->registerSession(keys, batches.handler());
  auto phone = newSocket();

  Bytes good = marked(9, 10, keys);
  Bytes flippedCiphertext = good, flippedSequence = good, version2 = good, otherTag = good;
  flippedCiphertext[15] ^= 1;
  flippedSequence[12] ^= 1;
  version2[0] = 2;
  otherTag[4] ^= 1;
  for (const Bytes& d : {Bytes(28, 1), version2, otherTag, flippedCiphertext, flippedSequence,
                         FastPacket::seal({}, 20, keys), marked(8, 20, keys), Bytes(600, 1)}) {
    sendFrom(phone, d);
  }
  sendFrom(phone, marked(7, 21, keys));  // the sentinel: everything before it has been handled
  auto seen = batches.waitFor(1);
  // The empty batch consumed sequence 20 without a call, so the move at 20 was a replay.
  EXPECT_EQ(marks(seen), std::vector<float>{7});
  EXPECT_EQ(log_->count("Dropped a fast-channel datagram that failed authentication"), 2u);
}

TEST_F(FastChannelTest, UnregisterForgetsTheSessionAndItsFlows) {
  auto keys = fastKeys(3), other = fastKeys(4, 9);
  Batches batches, otherBatches;
  listener_->registerSession(keys, batches.handler());
  listener_->registerSession(other, otherBatches.handler());
  auto phone = newSocket(), otherPhone = newSocket();
  sendFrom(phone, marked(1, 1, keys));
  sendFrom(otherPhone, marked(1, 1, other));
  batches.waitFor(1);
  otherBatches.waitFor(1);
  auto before = snapshot();
  EXPECT_EQ(before.boundFlows, 2u);

  listener_->unregisterSession(keys);
  auto after = snapshot();
  EXPECT_EQ(after.sessions, 1u);
  EXPECT_EQ(after.flows, 1u);
  sendFrom(phone, marked(2, 2, keys));
  sendFrom(otherPhone, marked(2, 2, other));
  EXPECT_EQ(otherBatches.waitFor(2).size(), 2u);
  EXPECT_EQ(batches.waitFor(1).size(), 1u);
}

// Floods below are sent in batches, each followed by a datagram of the phone
// that is awaited: the kernel delivers a socket's datagrams in order, so
// the receive queue never holds more than one batch and cannot overflow.
TEST_F(FastChannelTest, RefusedEndpointsAreRememberedAndAskedAboutRarely) {
  auto keys = fastKeys(5);
  Batches batches;
  listener_->registerSession(keys, batches.handler());
  auto stranger = newSocket(), phone = newSocket();
  refusedPort_ = stranger.local_endpoint().port();
  auto started = std::chrono::steady_clock::now();
  std::uint64_t sequence = 0;
  for (std::size_t batch = 1; batch <= 4; ++batch) {
    for (int i = 0; i < 25; ++i) sendFrom(stranger, marked(1, ++sequence, keys));
    sendFrom(phone, marked(2, ++sequence, keys));
    ASSERT_EQ(batches.waitFor(batch).size(), batch);
  }
  EXPECT_EQ(marks(batches.waitFor(4)), (std::vector<float>{2, 2, 2, 2}));
  auto s = snapshot();
  EXPECT_EQ(s.flows, 2u);
  EXPECT_EQ(s.refusedFlows, 1u);
  EXPECT_EQ(s.boundFlows, 1u);
  // The policy is asked once per refusal memory, not once per datagram.
  auto elapsed = std::chrono::steady_clock::now() - started;
  EXPECT_LE(refusals_.load(), 1 + elapsed / FastChannelListener::refusalMemory);
}

TEST_F(FastChannelTest, FlowTableStaysBoundedUnderAFloodAndKeepsThePhone) {
  auto keys = fastKeys(6);
  Batches batches;
  listener_->registerSession(keys, batches.handler());
  auto phone = newSocket();
  std::vector<float> expected;
  for (std::size_t batch = 1; batch <= 2 * FastChannelListener::maxFlows / 16; ++batch) {
    for (int i = 0; i < 16; ++i) {
      auto attacker = newSocket();
      sendFrom(attacker, FastPacket::seal({}, 1, fastKeys(6, 1)));  // right tag, wrong key
    }
    sendFrom(phone, marked(static_cast<float>(batch), batch, keys));
    expected.push_back(static_cast<float>(batch));
    ASSERT_EQ(batches.waitFor(batch).size(), batch);
  }
  EXPECT_EQ(marks(batches.waitFor(expected.size())), expected);
  auto s = snapshot();
  EXPECT_LE(s.flows, FastChannelListener::maxFlows);
  EXPECT_EQ(s.boundFlows, 1u);
}

TEST_F(FastChannelTest, SenderBatchesAndNumbersFromAnyThread) {
  auto keys = fastKeys(8);
  Batches batches;
  listener_->registerSession(keys, batches.handler());
  FastChannelSender sender(sendIo_, listenerEndpoint(), keys);
  sender.send({});
  EXPECT_EQ(sender.lastSequence(), 0u);
  std::vector<FastEvent> forty(40, FastEvent::scroll(1, 2));
  sender.send(forty);
  auto first = batches.waitFor(1);
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].size(), 32u);

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
  // listener's thread pass that point, before `batches` goes away.
  listener_->unregisterSession(keys);
  snapshot();
}

}  // namespace
}  // namespace tillerpad::kit
