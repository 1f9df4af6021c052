#include "kit/transport/memory_connection.h"

#include <asio/post.hpp>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <algorithm>
#include <deque>
#include <mutex>

#include "kit/transport/channel_error.h"
#include "kit/transport/transport_parameters.h"

namespace tillerpad::kit {

struct MemoryScript::State : std::enable_shared_from_this<MemoryScript::State> {
  struct Chunk {
    Bytes bytes;
    bool endOfStream = false;
    std::exception_ptr error;
  };
  struct PendingRead {
    std::size_t maximum;
    Connection::ReadHandler handler;
  };

  MemoryConnectionOptions options;
  mutable std::mutex mutex;
  asio::any_io_executor executor;
  Connection::StateHandler stateHandler;
  std::optional<PendingRead> read;
  std::deque<Chunk> chunks;
  std::vector<Bytes> writes;
  std::exception_ptr writeError;
  bool writesStalled = false;
  std::vector<Connection::WriteHandler> stalledWrites;
  std::weak_ptr<State> peer;
  std::size_t largestRead = 0;
  bool started = false;
  bool cancelled = false;

  // Called with the lock held; callbacks are posted, never run inline.
  void pump() {
    if (!started || cancelled || !read || chunks.empty()) return;
    auto& chunk = chunks.front();
    Chunk out;
    if (chunk.bytes.size() > read->maximum) {
      auto cut = chunk.bytes.begin() + static_cast<std::ptrdiff_t>(read->maximum);
      out.bytes.assign(chunk.bytes.begin(), cut);
      chunk.bytes.erase(chunk.bytes.begin(), cut);
    } else {
      out = std::move(chunk);
      chunks.pop_front();
    }
    auto handler = std::move(read->handler);
    read.reset();
    asio::post(executor, [handler = std::move(handler), out = std::move(out)] {
      handler(out.bytes, out.endOfStream, out.error);
    });
  }

  void post(Connection::State state, std::exception_ptr error) {
    if (!started || !stateHandler) return;
    asio::post(executor, [handler = stateHandler, state, error] { handler(state, error); });
  }

  void push(Chunk chunk) {
    std::lock_guard lock(mutex);
    chunks.push_back(std::move(chunk));
    pump();
  }
};

namespace {

std::exception_ptr cancelledWriteError() {
  return std::make_exception_ptr(
      ConnectionError(std::make_error_code(std::errc::operation_canceled), "The connection was cancelled"));
}

class ScriptedConnection final : public Connection {
 public:
  explicit ScriptedConnection(std::shared_ptr<MemoryScript::State> state) : state_(std::move(state)) {}
  // Posts nothing: this may run while the io_context shuts down. The channel
  // cancels its connection before letting go of it.
  ~ScriptedConnection() override {
    std::lock_guard lock(state_->mutex);
    state_->cancelled = true;
    state_->read.reset();
  }

  void setStateHandler(StateHandler handler) override {
    std::lock_guard lock(state_->mutex);
    state_->stateHandler = std::move(handler);
  }

  void start(asio::any_io_executor executor) override {
    std::lock_guard lock(state_->mutex);
    if (state_->started) return;
    state_->executor = std::move(executor);
    state_->started = true;
    state_->post(State::preparing, nullptr);
    if (state_->options.readyOnStart) state_->post(State::ready, nullptr);
    state_->pump();
  }

  void receive(std::size_t /*minimum*/, std::size_t maximum, ReadHandler handler) override {
    std::lock_guard lock(state_->mutex);
    state_->largestRead = std::max(state_->largestRead, maximum);
    state_->read = MemoryScript::State::PendingRead{maximum, std::move(handler)};
    state_->pump();
  }

  void send(Bytes bytes, WriteHandler handler) override {
    std::shared_ptr<MemoryScript::State> peer;
    std::exception_ptr error;
    {
      std::lock_guard lock(state_->mutex);
      if (state_->cancelled) {
        error = cancelledWriteError();
      } else if (state_->writeError) {
        error = state_->writeError;
      } else if (state_->writesStalled) {
        state_->writes.push_back(std::move(bytes));
        if (handler) state_->stalledWrites.push_back(std::move(handler));
        return;
      } else {
        state_->writes.push_back(bytes);
        peer = state_->peer.lock();
      }
      if (handler && state_->started) asio::post(state_->executor, [handler, error] { handler(error); });
    }
    if (peer) peer->push({std::move(bytes), false, nullptr});
  }

  void cancel() override {
    std::shared_ptr<MemoryScript::State> peer;
    {
      std::lock_guard lock(state_->mutex);
      if (state_->cancelled) return;
      state_->post(State::cancelled, nullptr);
      state_->cancelled = true;
      state_->read.reset();
      for (auto& handler : state_->stalledWrites) {
        if (state_->started) asio::post(state_->executor, [handler, e = cancelledWriteError()] { handler(e); });
      }
      state_->stalledWrites.clear();
      peer = state_->peer.lock();
    }
    // The other end sees the stream end, as after a TCP close.
    if (peer) peer->push({{}, true, nullptr});
  }

  Endpoint remoteEndpoint() const override { return state_->options.remote; }

  std::optional<Bytes> exportKeyingMaterial(std::string_view label, std::size_t length) override {
    if (!state_->options.exporter) return std::nullopt;
    return state_->options.exporter(label, length);
  }

  std::optional<std::uint16_t> negotiatedCipherSuite() override { return state_->options.cipherSuite; }

 private:
  std::shared_ptr<MemoryScript::State> state_;
};

// HMAC-SHA256(secret, label || counter) blocks: deterministic per secret and
// label, like an exporter, without being one.
std::optional<Bytes> pseudoExport(const Bytes& secret, std::string_view label, std::size_t length) {
  Bytes out;
  for (std::uint8_t counter = 0; out.size() < length; ++counter) {
    Bytes input(label.begin(), label.end());
    input.push_back(counter);
    unsigned char block[EVP_MAX_MD_SIZE];
    unsigned int blockLength = 0;
    if (!HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()), input.data(), input.size(), block,
              &blockLength)) {
      return std::nullopt;
    }
    out.insert(out.end(), block, block + blockLength);
  }
  out.resize(length);
  return out;
}

}  // namespace

void MemoryScript::deliver(Bytes bytes, bool endOfStream, std::exception_ptr error) {
  state_->push({std::move(bytes), endOfStream, std::move(error)});
}

void MemoryScript::enterState(Connection::State state, std::exception_ptr error) {
  std::lock_guard lock(state_->mutex);
  state_->post(state, std::move(error));
}

void MemoryScript::failWrites(std::exception_ptr error) {
  std::lock_guard lock(state_->mutex);
  state_->writeError = std::move(error);
}

std::size_t MemoryScript::undelivered() const {
  std::lock_guard lock(state_->mutex);
  return state_->chunks.size();
}

void MemoryScript::stallWrites() {
  std::lock_guard lock(state_->mutex);
  state_->writesStalled = true;
}

std::vector<Bytes> MemoryScript::writes() const {
  std::lock_guard lock(state_->mutex);
  return state_->writes;
}

bool MemoryScript::isStarted() const {
  std::lock_guard lock(state_->mutex);
  return state_->started;
}

bool MemoryScript::isCancelled() const {
  std::lock_guard lock(state_->mutex);
  return state_->cancelled;
}

std::size_t MemoryScript::largestReadRequest() const {
  std::lock_guard lock(state_->mutex);
  return state_->largestRead;
}

std::pair<std::unique_ptr<Connection>, std::shared_ptr<MemoryScript>> MemoryConnection::make(
    MemoryConnectionOptions options) {
  auto state = std::make_shared<MemoryScript::State>();
  state->options = std::move(options);
  return {std::make_unique<ScriptedConnection>(state), std::make_shared<MemoryScript>(state)};
}

MemoryConnection::Pair MemoryConnection::pair() {
  auto secret = std::make_shared<Bytes>(32);
  RAND_bytes(secret->data(), static_cast<int>(secret->size()));
  MemoryConnectionOptions options;
  options.exporter = [secret](std::string_view label, std::size_t length) { return pseudoExport(*secret, label, length); };
  options.cipherSuite = TransportParameters::cipherSuite;
  auto [a, scriptA] = make(options);
  options.remote = Endpoint::hostPort("127.0.0.1", 50001);
  auto [b, scriptB] = make(options);
  scriptA->state_->peer = scriptB->state_;
  scriptB->state_->peer = scriptA->state_;
  return Pair{std::move(a), std::move(b), scriptA, scriptB};
}

}  // namespace tillerpad::kit
