#include "platform/wlroots/wlr_pasteboard.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <thread>

#include "platform/linux/clipboard_targets.h"
#include "wlr-data-control-unstable-v1-client.h"

namespace tillerpad::platform::wlroots {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using Bytes = Pasteboard::Bytes;

// Waits are cut into slices so that the adapter's end is seen promptly.
constexpr auto kSlice = 100ms;
// Readers served at once; more are turned away (their pipe closes at once).
constexpr int kMostTransfers = 16;
constexpr std::size_t kMostMimes = 256;
constexpr std::size_t kChunk = 64 * 1024;

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// Every text type we offer, UTF-8 under each; the X names are for X clients
// that reach us through Xwayland.
const std::vector<std::string> kTextMimes{"text/plain;charset=utf-8", "text/plain", "UTF8_STRING", "STRING", "TEXT"};

}  // namespace

std::optional<std::string> hostTypeForMime(std::string_view mime) {
  std::string l = lower(mime);
  // Plain text without a charset is UTF-8 in practice; "TEXT" comes only beside the others.
  if (l == "text/plain" || l == "text/plain;charset=utf-8" || mime == "UTF8_STRING" || mime == "STRING") {
    return std::string(Pasteboard::plainTextType);
  }
  return linux_x11::hostTypeForTarget(mime);
}

std::vector<std::string> mimesForReading(std::string_view hostType) {
  if (hostType == Pasteboard::plainTextType) return {"text/plain;charset=utf-8", "UTF8_STRING", "text/plain", "STRING"};
  return linux_x11::targetsForReading(hostType);
}

std::vector<std::string> mimesForWriting(std::string_view hostType) {
  if (hostType == Pasteboard::plainTextType) return kTextMimes;
  auto mimes = linux_x11::targetsForReading(hostType);
  if (mimes.size() > 1) mimes.resize(1);
  return mimes;
}

namespace {

struct Content {
  std::vector<std::pair<std::string, Bytes>> items;  // as written
  std::map<std::string, const Bytes*> byMime;        // lower-case MIME type → the item served
};

// Writes content to readers, each on a thread of its own.
struct Server {
  std::mutex mutex;
  std::condition_variable changed;
  int running = 0;
  bool stopping = false;
  std::chrono::milliseconds stallLimit{3000};
  kit::Logger log;

  void serve(const std::shared_ptr<Server>& self, int fd, std::shared_ptr<const Content> content, const Bytes* bytes) {
    {
      std::lock_guard lock(mutex);
      if (stopping || running >= kMostTransfers) {
        ::close(fd);
        return;
      }
      ++running;
    }
    std::thread([self, fd, content = std::move(content), bytes] {
      self->transfer(fd, *bytes);
      ::close(fd);
      std::lock_guard lock(self->mutex);
      --self->running;
      self->changed.notify_all();
    }).detach();
  }

  void transfer(int fd, const Bytes& bytes) {
    // A reader that went away makes write() fail with EPIPE; the signal
    // stays blocked on this thread and goes with it.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    std::size_t offset = 0;
    auto deadline = Clock::now() + stallLimit;
    while (offset < bytes.size()) {
      {
        std::lock_guard lock(mutex);
        if (stopping) return;
      }
      ssize_t n = ::write(fd, bytes.data() + offset, std::min(kChunk, bytes.size() - offset));
      if (n > 0) {
        offset += static_cast<std::size_t>(n);
        deadline = Clock::now() + stallLimit;
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN) return;  // EPIPE: the reader has what it wanted
      if (Clock::now() >= deadline) {
        log.info("Dropped a clipboard reader that stopped reading");
        return;
      }
      pollfd p{fd, POLLOUT, 0};
      ::poll(&p, 1, static_cast<int>(kSlice.count()));
    }
  }

  // Waits, bounded, for the transfers to notice the end.
  void stop() {
    std::unique_lock lock(mutex);
    stopping = true;
    changed.wait_for(lock, 2s, [this] { return running == 0; });
  }
};

}  // namespace

// Everything of the adapter: the protocol side (connection thread only),
// the worker's queue, the count.
struct WlrPasteboard::Shared {
  struct Offer {
    zwlr_data_control_offer_v1* proxy = nullptr;
    std::vector<std::string> mimes;
  };
  struct Source {
    Shared* shared = nullptr;
    zwlr_data_control_source_v1* proxy = nullptr;
    std::shared_ptr<const Content> content;
  };
  struct PendingWrite {
    Shared* shared = nullptr;
    wl_callback* callback = nullptr;
    Source* source = nullptr;
    std::promise<std::optional<std::int64_t>> done;
  };

  std::shared_ptr<WaylandConnection> connection;
  Options options;
  kit::Logger log;
  std::atomic<std::int64_t> count{0};
  std::atomic<bool> broken{false};
  std::shared_ptr<Server> server = std::make_shared<Server>();
  int lostToken = 0;

  // The worker.
  std::thread worker;
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<std::function<void()>> tasks;
  bool stopping = false;
  std::optional<std::int64_t> stalledAt;  // the owner at this count let a read run out

  // Connection thread only.
  zwlr_data_control_manager_v1* manager = nullptr;
  zwlr_data_control_device_v1* device = nullptr;
  std::map<zwlr_data_control_offer_v1*, std::unique_ptr<Offer>> offers;
  Offer* current = nullptr;
  std::vector<std::unique_ptr<Source>> sources;
  Source* own = nullptr;  // ours is the selection
  std::vector<std::unique_ptr<PendingWrite>> writes;
  bool counting = false;

  ~Shared() = default;

  // ---- connection thread ----

  void destroyOffer(zwlr_data_control_offer_v1* proxy) {
    if (!proxy) return;
    if (current && current->proxy == proxy) current = nullptr;
    zwlr_data_control_offer_v1_destroy(proxy);
    offers.erase(proxy);
  }

  void destroySource(Source* s) {
    if (own == s) own = nullptr;
    for (auto& w : writes) {
      if (w->source == s) w->source = nullptr;
    }
    zwlr_data_control_source_v1_destroy(s->proxy);
    std::erase_if(sources, [s](const auto& p) { return p.get() == s; });
  }

  void destroyAll() {
    for (auto& w : writes) wl_callback_destroy(w->callback);
    writes.clear();  // their promises break: the waiting worker moves on
    while (!sources.empty()) destroySource(sources.back().get());
    while (!offers.empty()) destroyOffer(offers.begin()->first);
    if (device) zwlr_data_control_device_v1_destroy(device);
    device = nullptr;
  }

  static void onOfferMime(void* data, zwlr_data_control_offer_v1*, const char* mime) {
    auto* offer = static_cast<Offer*>(data);
    if (offer->mimes.size() < kMostMimes) offer->mimes.emplace_back(mime);
  }
  static constexpr zwlr_data_control_offer_v1_listener offerListener{&onOfferMime};

  static void onDataOffer(void* data, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* proxy) {
    auto* self = static_cast<Shared*>(data);
    auto offer = std::make_unique<Offer>();
    offer->proxy = proxy;
    zwlr_data_control_offer_v1_add_listener(proxy, &offerListener, offer.get());
    self->offers[proxy] = std::move(offer);
  }
  static void onSelection(void* data, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* proxy) {
    auto* self = static_cast<Shared*>(data);
    if (self->current && self->current->proxy != proxy) self->destroyOffer(self->current->proxy);
    auto it = self->offers.find(proxy);
    self->current = it == self->offers.end() ? nullptr : it->second.get();
    // Every new selection counts, our own writes and clearing too; the one
    // found on arrival does not.
    if (self->counting) ++self->count;
  }
  static void onFinished(void* data, zwlr_data_control_device_v1*) {
    auto* self = static_cast<Shared*>(data);
    self->log.error("The compositor withdrew the clipboard device");
    self->broken = true;
    self->destroyAll();
  }
  static void onPrimarySelection(void* data, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* proxy) {
    auto* self = static_cast<Shared*>(data);
    if (proxy && (!self->current || self->current->proxy != proxy)) self->destroyOffer(proxy);
  }
  static constexpr zwlr_data_control_device_v1_listener deviceListener{&onDataOffer, &onSelection, &onFinished,
                                                                       &onPrimarySelection};

  static void onSend(void* data, zwlr_data_control_source_v1*, const char* mime, std::int32_t fd) {
    auto* source = static_cast<Source*>(data);
    auto it = source->content->byMime.find(lower(mime));
    if (it == source->content->byMime.end()) {
      ::close(fd);
      return;
    }
    Shared* self = source->shared;
    self->server->serve(self->server, fd, source->content, it->second);
  }
  static void onCancelled(void* data, zwlr_data_control_source_v1*) {
    auto* source = static_cast<Source*>(data);
    source->shared->destroySource(source);
  }
  static constexpr zwlr_data_control_source_v1_listener sourceListener{&onSend, &onCancelled};

  static void onWriteSettled(void* data, wl_callback*, std::uint32_t) {
    auto* w = static_cast<PendingWrite*>(data);
    Shared* self = w->shared;
    wl_callback_destroy(w->callback);
    // Ours is still the selection: the last change is the one it made.
    std::optional<std::int64_t> made;
    if (w->source && self->own == w->source) made = self->count.load();
    w->done.set_value(made);
    std::erase_if(self->writes, [w](const auto& p) { return p.get() == w; });
  }
  static constexpr wl_callback_listener writeListener{&onWriteSettled};

  static void onStartSettled(void* data, wl_callback* callback, std::uint32_t) {
    wl_callback_destroy(callback);
    static_cast<Shared*>(data)->counting = true;
  }
  static constexpr wl_callback_listener startListener{&onStartSettled};

  // ---- the worker ----

  void post(std::function<void()> task) {
    {
      std::lock_guard lock(mutex);
      tasks.push_back(std::move(task));
    }
    wake.notify_all();
  }

  bool isStopping() {
    std::lock_guard lock(mutex);
    return stopping;
  }

  void run() {
    for (;;) {
      std::function<void()> task;
      {
        std::unique_lock lock(mutex);
        wake.wait(lock, [this] { return stopping || !tasks.empty(); });
        if (tasks.empty()) return;
        task = std::move(tasks.front());
        tasks.pop_front();
      }
      task();  // after the stop, each answers with nothing
    }
  }

  bool usable() const { return !broken && !connection->lost(); }

  std::vector<std::string> types() {
    if (!usable() || isStopping()) return {};
    auto got = connection->call([this] {
      std::vector<std::string> result;
      if (own) {
        for (const auto& item : own->content->items) {
          if (std::ranges::find(result, item.first) == result.end()) result.push_back(item.first);
        }
      } else if (current) {
        for (const auto& mime : current->mimes) {
          auto type = hostTypeForMime(mime);
          if (type && std::ranges::find(result, *type) == result.end()) result.push_back(std::move(*type));
        }
      }
      return result;
    });
    return got ? std::move(*got) : std::vector<std::string>{};
  }

  Data data(const std::string& type, std::size_t limit) {
    if (!usable() || isStopping()) return Data::none();
    struct Start {
      std::optional<Data> local;  // our own content, or nothing to read
      int fd = -1;
      std::int64_t at = 0;
    };
    auto started = connection->call([this, type, limit] {
      Start s;
      s.at = count.load();
      if (own) {
        for (const auto& item : own->content->items) {
          if (item.first == type) {
            s.local = item.second.size() <= limit ? Data::of(item.second) : Data::overLimit();
            return s;
          }
        }
        s.local = Data::none();
        return s;
      }
      if (!current) {
        s.local = Data::none();
        return s;
      }
      for (const auto& wanted : mimesForReading(type)) {
        auto offered = std::ranges::find_if(current->mimes, [&](const std::string& m) { return lower(m) == lower(wanted); });
        if (offered == current->mimes.end()) continue;
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) break;
        zwlr_data_control_offer_v1_receive(current->proxy, offered->c_str(), fds[1]);
        ::close(fds[1]);  // the request carries a copy
        s.fd = fds[0];
        return s;
      }
      s.local = Data::none();
      return s;
    });
    if (!started) return Data::none();
    if (started->local) return std::move(*started->local);
    // An owner that let one read run out is not waited for again until the
    // clipboard changes: its stall is paid once, not per question.
    if (stalledAt && *stalledAt == started->at) {
      ::close(started->fd);
      return Data::none();
    }
    Data result = read(started->fd, limit, started->at);
    ::close(started->fd);
    return result;
  }

  Data read(int fd, std::size_t limit, std::int64_t at) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    Bytes bytes;
    auto deadline = Clock::now() + options.transferLimit;
    for (;;) {
      if (isStopping()) return Data::none();
      std::size_t room = std::min(kChunk, limit + 1 - bytes.size());
      std::size_t held = bytes.size();
      bytes.resize(held + room);
      ssize_t n = ::read(fd, bytes.data() + held, room);
      bytes.resize(held + static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
      if (n == 0) return Data::of(std::move(bytes));
      if (bytes.size() > limit) return Data::overLimit();  // no more is read than the limit and a chunk
      if (n > 0) continue;
      if (errno == EINTR) continue;
      if (errno != EAGAIN) return Data::none();
      auto left = deadline - Clock::now();
      if (left <= 0s) {
        stalledAt = at;
        log.info("The clipboard's owner did not answer in time");
        return Data::none();
      }
      pollfd p{fd, POLLIN, 0};
      auto wait = std::min<Clock::duration>(left, kSlice);
      ::poll(&p, 1, static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(wait).count()));
    }
  }

  std::optional<std::int64_t> write(std::vector<std::pair<std::string, Bytes>> representations) {
    if (!usable() || isStopping() || representations.empty()) return std::nullopt;
    auto content = std::make_shared<Content>();
    content->items = std::move(representations);
    for (const auto& [type, bytes] : content->items) {
      for (const auto& mime : mimesForWriting(type)) content->byMime.emplace(lower(mime), &bytes);
    }
    if (content->byMime.empty()) return std::nullopt;
    auto future = connection->call([this, content] {
      std::promise<std::optional<std::int64_t>> none;
      auto result = none.get_future();
      if (!device || !manager) {
        none.set_value(std::nullopt);
        return result;
      }
      auto source = std::make_unique<Source>();
      source->shared = this;
      source->content = content;
      source->proxy = zwlr_data_control_manager_v1_create_data_source(manager);
      zwlr_data_control_source_v1_add_listener(source->proxy, &sourceListener, source.get());
      // Offered under the names as written, each once, in the order given.
      std::vector<std::string> offered;
      for (const auto& [type, bytes] : content->items) {
        for (const auto& mime : mimesForWriting(type)) {
          if (std::ranges::find(offered, mime) != offered.end()) continue;
          offered.push_back(mime);
          zwlr_data_control_source_v1_offer(source->proxy, mime.c_str());
        }
      }
      zwlr_data_control_device_v1_set_selection(device, source->proxy);
      own = source.get();
      sources.push_back(std::move(source));
      // The compositor answers the sync after it announced the selection
      // it made of ours: then the count holds our change.
      auto w = std::make_unique<PendingWrite>();
      w->shared = this;
      w->source = own;
      w->callback = wl_display_sync(connection->display());
      wl_callback_add_listener(w->callback, &writeListener, w.get());
      auto made = w->done.get_future();
      writes.push_back(std::move(w));
      return made;
    });
    if (!future) return std::nullopt;
    if (future->wait_for(WaylandConnection::defaultLimit) != std::future_status::ready) return std::nullopt;
    try {
      return future->get();
    } catch (const std::future_error&) {
      return std::nullopt;  // the connection went meanwhile
    }
  }
};

std::vector<WantedGlobal> WlrPasteboard::wantedGlobals() { return {{&zwlr_data_control_manager_v1_interface, 2}}; }

WlrPasteboard::WlrPasteboard(std::shared_ptr<WaylandConnection> connection, Options options, kit::Logger log)
    : shared_(std::make_shared<Shared>()) {
  Shared* s = shared_.get();
  s->connection = std::move(connection);
  s->options = options;
  s->log = std::move(log);
  s->server->stallLimit = options.transferLimit;
  s->server->log = s->log;
  s->lostToken = s->connection->subscribeLost([s](const std::string&) { s->broken = true; });
  auto made = s->connection->call([s] {
    s->manager = s->connection->global<zwlr_data_control_manager_v1>(&zwlr_data_control_manager_v1_interface);
    wl_seat* seat = s->connection->seat();
    if (!s->manager || !seat) return false;
    s->device = zwlr_data_control_manager_v1_get_data_device(s->manager, seat);
    zwlr_data_control_device_v1_add_listener(s->device, &Shared::deviceListener, s);
    // The selection found on arrival comes before this answer.
    wl_callback* settled = wl_display_sync(s->connection->display());
    wl_callback_add_listener(settled, &Shared::startListener, s);
    return true;
  });
  if (!made || !*made) {
    s->log.error("The compositor offers no clipboard access (wlr-data-control)");
    s->broken = true;
  }
  s->worker = std::thread([s] { s->run(); });
}

WlrPasteboard::~WlrPasteboard() {
  Shared* s = shared_.get();
  {
    std::lock_guard lock(s->mutex);
    s->stopping = true;
  }
  s->wake.notify_all();
  s->worker.join();
  // The state may end on the connection's thread (below): it lets go of
  // the connection here, which must never end on its own thread.
  std::shared_ptr<WaylandConnection> connection = std::move(s->connection);
  connection->unsubscribe(s->lostToken);
  // The protocol objects go on the connection's thread; the state stays
  // alive until then, even if that comes late.
  auto keep = shared_;
  connection->finalCall([keep] { keep->destroyAll(); });
  s->server->stop();
}

bool WlrPasteboard::connected() const { return shared_->usable(); }

std::int64_t WlrPasteboard::changeCount() { return shared_->count.load(); }

void WlrPasteboard::types(std::function<void(std::vector<std::string>)> done) {
  Shared* s = shared_.get();
  s->post([s, done = std::move(done)] { done(s->types()); });
}

void WlrPasteboard::data(const std::string& type, std::size_t limit, std::function<void(Data)> done) {
  Shared* s = shared_.get();
  s->post([s, type, limit, done = std::move(done)] { done(s->data(type, limit)); });
}

void WlrPasteboard::write(std::vector<std::pair<std::string, Bytes>> representations,
                          std::function<void(std::optional<std::int64_t>)> done) {
  Shared* s = shared_.get();
  s->post([s, representations = std::move(representations), done = std::move(done)]() mutable {
    done(s->write(std::move(representations)));
  });
}

}  // namespace tillerpad::platform::wlroots
