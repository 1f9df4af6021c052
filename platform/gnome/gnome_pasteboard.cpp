#include "platform/gnome/gnome_pasteboard.h"

#include <fcntl.h>
#include <gio/gunixfdlist.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/gnome/serial_worker.h"
#include "platform/linux/clipboard_targets.h"

namespace tillerpad::platform::gnome {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char* kUtf8Plain = "text/plain;charset=utf-8";
// Mutter tells of our own SetSelection with a SelectionOwnerChanged.
constexpr auto kOwnershipWait = 1s;
// How long the paste route waits for the application to read the text, and
// how long it spends keeping the user's clipboard, all types together.
constexpr auto kPasteReadWait = 3s;
constexpr auto kKeepWait = 1s;
constexpr auto kReadRetry = 20ms;
constexpr auto kKeeperWait = 1s;
constexpr auto kQuietAfterRead = 150ms;

// "text/plain" on Wayland is UTF-8 in practice (GTK, Qt and wl-copy write it so).
std::string asTarget(const std::string& mime) { return mime == "text/plain" ? kUtf8Plain : mime; }

int fdFromReply(GVariant* reply, GUnixFDList* fds) {
  if (!reply || !fds) return -1;
  gint32 handle = -1;
  g_variant_get(reply, "(h)", &handle);
  return g_unix_fd_list_get(fds, handle, nullptr);
}

}  // namespace

std::vector<std::string> hostTypesForMimeTypes(const std::vector<std::string>& mimeTypes) {
  std::vector<std::string> targets;
  for (const auto& m : mimeTypes) targets.push_back(asTarget(m));
  return linux_x11::hostTypesForTargets(targets);
}

std::vector<std::string> mimeTypesForReading(const std::string& hostType) {
  auto targets = linux_x11::targetsForReading(hostType);
  if (hostType == Pasteboard::plainTextType) {
    // Before STRING, which is Latin-1.
    targets.insert(std::find(targets.begin(), targets.end(), "STRING"), "text/plain");
  }
  return targets;
}

std::vector<std::pair<std::string, Pasteboard::Bytes>> offersForWriting(const std::string& hostType,
                                                                        const Pasteboard::Bytes& bytes) {
  std::vector<std::pair<std::string, Pasteboard::Bytes>> offers;
  if (hostType == Pasteboard::plainTextType) {
    for (const char* mime : {kUtf8Plain, "text/plain", "UTF8_STRING"}) offers.emplace_back(mime, bytes);
    if (auto latin1 = linux_x11::utf8ToLatin1(bytes)) offers.emplace_back("STRING", std::move(*latin1));
    return offers;
  }
  auto targets = linux_x11::targetsForReading(hostType);
  if (!targets.empty()) offers.emplace_back(targets.front(), bytes);
  return offers;
}

struct GnomePasteboard::State : std::enable_shared_from_this<State> {
  struct Content {
    std::vector<std::pair<std::string, Bytes>> offers;  // by mime type
    std::vector<std::pair<std::string, Bytes>> items;   // by host type, for our own reads
  };

  std::shared_ptr<MutterRemoteDesktop> desktop;
  kit::Logger log;
  Options options;
  SerialWorker worker;

  std::atomic<std::int64_t> count{0};
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> mimeTypes;
  std::shared_ptr<const Content> own;
  bool pasting = false;
  std::uint64_t ownEvents = 0;
  std::int64_t lastOwnCount = 0;
  std::uint64_t transfersAsked = 0, transfersDone = 0;
  // Transfers asked for before our latest selection: later signals of an
  // older one arrive before the ownership event of the new one.
  std::uint64_t askedBeforeOwnership = 0;

  void onEvent(const MutterRemoteDesktop::Event& event) {
    using Kind = MutterRemoteDesktop::Event::Kind;
    if (event.kind == Kind::selectionOwnerChanged) {
      std::lock_guard lock(mutex);
      mimeTypes = event.mimeTypes;

      if (event.sessionIsOwner) {
        if (!pasting) ++count;
        lastOwnCount = count.load();
        askedBeforeOwnership = transfersAsked;
        ++ownEvents;
      } else {
        own.reset();
        ++count;
      }
      changed.notify_all();
    } else if (event.kind == Kind::selectionTransfer) {
      std::shared_ptr<const Content> content;
      {
        std::lock_guard lock(mutex);
        content = own;
        ++transfersAsked;
      }
      const Bytes* bytes = nullptr;
      if (content) {
        for (const auto& [mime, b] : content->offers) {
          if (mime == event.mimeType) bytes = &b;
        }
      }
      // A thread per transfer: a reader that stalls holds up no other.
      std::thread([self = shared_from_this(), content, bytes, serial = event.serial] { self->serve(serial, bytes); }).detach();
    } else if (event.kind == Kind::closed) {
      std::lock_guard lock(mutex);
      own.reset();
      mimeTypes.clear();
      changed.notify_all();
    }
  }

  void serve(std::uint32_t serial, const Bytes* bytes) {
    std::string path = desktop->sessionPath();
    bool ok = false;
    if (bytes && !path.empty()) {
      GUnixFDList* fds = nullptr;
      auto reply = desktop->call(MutterRemoteDesktop::kRemoteDesktopName, path, MutterRemoteDesktop::kSessionInterface,
                                 "SelectionWrite", g_variant_new("(u)", serial), "(h)", nullptr, nullptr, &fds);
      int fd = fdFromReply(reply.get(), fds);
      if (fds) g_object_unref(fds);
      if (fd >= 0) {
        ok = writeAll(fd, *bytes);
        ::close(fd);
      }
    }
    if (!path.empty()) {
      desktop->call(MutterRemoteDesktop::kRemoteDesktopName, path, MutterRemoteDesktop::kSessionInterface,
                    "SelectionWriteDone", g_variant_new("(ub)", serial, ok), nullptr);
    }
    std::lock_guard lock(mutex);
    ++transfersDone;
    changed.notify_all();
  }

  bool writeAll(int fd, const Bytes& bytes) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    auto deadline = Clock::now() + options.transferLimit;
    std::size_t done = 0;
    while (done < bytes.size()) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      pollfd p{fd, POLLOUT, 0};
      if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) return false;
      ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
      if (n > 0) done += static_cast<std::size_t>(n);
    }
    return true;
  }

  // One type from the owner, no more than `limit` bytes kept.
  Data read(const std::string& mime, std::size_t limit, Clock::time_point deadline) {
    std::string path = desktop->sessionPath();
    if (path.empty()) return Data::none();
    int fd = -1;
    // Mutter refuses a read while it still finishes the one before, which
    // can be a moment after we saw its end: a few tries within the deadline.
    for (int attempt = 0; fd < 0 && attempt < 10 && Clock::now() < deadline; ++attempt) {
      if (attempt > 0) std::this_thread::sleep_for(kReadRetry);
      GUnixFDList* fds = nullptr;
      auto reply = desktop->call(MutterRemoteDesktop::kRemoteDesktopName, path, MutterRemoteDesktop::kSessionInterface,
                                 "SelectionRead", g_variant_new("(s)", mime.c_str()), "(h)", nullptr, nullptr, &fds);
      fd = fdFromReply(reply.get(), fds);
      if (fds) g_object_unref(fds);
    }
    if (fd < 0) return Data::none();
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    Bytes out;
    std::uint8_t chunk[65536];
    Data result = Data::none();
    for (;;) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      pollfd p{fd, POLLIN, 0};
      if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) break;
      ssize_t n = ::read(fd, chunk, sizeof chunk);
      if (n == 0) {
        result = Data::of(std::move(out));
        break;
      }
      if (n < 0) {
        if (errno == EAGAIN || errno == EINTR) continue;
        break;
      }
      if (out.size() + static_cast<std::size_t>(n) > limit) {
        result = Data::overLimit();
        break;
      }
      out.insert(out.end(), chunk, chunk + n);
    }
    ::close(fd);
    return result;
  }

  // Makes `content` ours; the count that change made, or nothing.
  std::optional<std::int64_t> take(std::shared_ptr<const Content> content) {
    std::string path = desktop->sessionPath();
    if (path.empty() || content->offers.empty()) return std::nullopt;
    GVariantBuilder types;
    g_variant_builder_init(&types, G_VARIANT_TYPE("as"));
    for (const auto& [mime, bytes] : content->offers) g_variant_builder_add(&types, "s", mime.c_str());
    GVariantBuilder selection;
    g_variant_builder_init(&selection, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&selection, "{sv}", "mime-types", g_variant_builder_end(&types));
    std::uint64_t before = 0;
    {
      std::lock_guard lock(mutex);
      own = content;  // a transfer may be asked for before the answer comes
      before = ownEvents;
    }
    std::string error;
    if (!desktop->call(MutterRemoteDesktop::kRemoteDesktopName, path, MutterRemoteDesktop::kSessionInterface, "SetSelection",
                       g_variant_new("(a{sv})", &selection), nullptr, &error)) {
      log.info("Mutter refused our clipboard: " + error);
      std::lock_guard lock(mutex);
      if (own == content) own.reset();
      return std::nullopt;
    }
    std::unique_lock lock(mutex);
    if (!changed.wait_for(lock, kOwnershipWait, [&] { return ownEvents > before; })) return count.load();
    return lastOwnCount;
  }
};

GnomePasteboard::GnomePasteboard(std::shared_ptr<MutterRemoteDesktop> desktop, kit::Logger log, Options options)
    : desktop_(std::move(desktop)), state_(std::make_shared<State>()) {
  state_->desktop = desktop_;
  state_->log = std::move(log);
  state_->options = options;
  std::weak_ptr<State> weak = state_;
  subscription_ = desktop_->subscribe([weak](const MutterRemoteDesktop::Event& event) {
    if (auto s = weak.lock()) s->onEvent(event);
  });
}

GnomePasteboard::GnomePasteboard(std::shared_ptr<MutterRemoteDesktop> desktop, kit::Logger log)
    : GnomePasteboard(std::move(desktop), std::move(log), Options{}) {}

GnomePasteboard::~GnomePasteboard() { desktop_->unsubscribe(subscription_); }

std::int64_t GnomePasteboard::changeCount() { return state_->count.load(); }

void GnomePasteboard::types(std::function<void(std::vector<std::string>)> done) {
  state_->worker.post([s = state_, done = std::move(done)] {
    std::vector<std::string> result;
    {
      std::lock_guard lock(s->mutex);
      if (s->own) {
        for (const auto& item : s->own->items) {
          if (std::ranges::find(result, item.first) == result.end()) result.push_back(item.first);
        }
      } else {
        result = hostTypesForMimeTypes(s->mimeTypes);
      }
    }
    done(std::move(result));
  });
}

void GnomePasteboard::data(const std::string& type, std::size_t limit, std::function<void(Data)> done) {
  state_->worker.post([s = state_, type, limit, done = std::move(done)] {
    std::vector<std::string> offered;
    {
      std::lock_guard lock(s->mutex);
      if (s->own) {
        for (const auto& item : s->own->items) {
          if (item.first == type) return done(item.second.size() <= limit ? Data::of(item.second) : Data::overLimit());
        }
        return done(Data::none());
      }
      offered = s->mimeTypes;
    }
    for (const auto& mime : mimeTypesForReading(type)) {
      if (std::ranges::find(offered, mime) == offered.end()) continue;
      bool latin1 = mime == "STRING";
      auto result = s->read(mime, limit, Clock::now() + s->options.transferLimit);
      if (result.status == Data::Status::unavailable) continue;
      if (result.ok() && latin1) {
        auto text = linux_x11::latin1ToUtf8(result.bytes);
        return done(text.size() <= limit ? Data::of(std::move(text)) : Data::overLimit());
      }
      return done(std::move(result));
    }
    done(Data::none());
  });
}

void GnomePasteboard::write(std::vector<std::pair<std::string, Bytes>> representations,
                            std::function<void(std::optional<std::int64_t>)> done) {
  state_->worker.post([s = state_, representations = std::move(representations), done = std::move(done)]() mutable {
    auto content = std::make_shared<State::Content>();
    for (const auto& [type, bytes] : representations) {
      for (auto& offer : offersForWriting(type, bytes)) {
        bool seen = std::ranges::any_of(content->offers, [&](const auto& o) { return o.first == offer.first; });
        if (!seen) content->offers.push_back(std::move(offer));
      }
    }
    content->items = std::move(representations);
    done(s->take(content));
  });
}

bool GnomePasteboard::pasteText(const std::string& utf8, const std::function<void()>& pressPaste) {
  auto& s = *state_;
  if (!desktop_->running()) return false;
  // The user's clipboard as it is: ours already, or read from its owner.
  std::shared_ptr<const State::Content> previous;
  std::vector<std::string> offered;
  {
    std::lock_guard lock(s.mutex);
    previous = s.own;
    offered = s.mimeTypes;
    s.pasting = true;
  }
  if (!previous && !offered.empty()) {
    auto kept = std::make_shared<State::Content>();
    auto deadline = Clock::now() + kKeepWait;
    std::size_t room = s.options.keepLimit;
    for (const auto& mime : offered) {
      if (std::ranges::any_of(kept->offers, [&](const auto& o) { return o.first == mime; })) continue;
      auto result = s.read(mime, room, deadline);
      if (!result.ok()) continue;  // too large, or not read in time: lost
      room -= result.bytes.size();
      kept->offers.emplace_back(mime, std::move(result.bytes));
    }
    for (const auto& [mime, bytes] : kept->offers) {
      for (const auto& type : hostTypesForMimeTypes({mime})) {
        bool seen = std::ranges::any_of(kept->items, [&](const auto& i) { return i.first == type; });
        if (!seen) kept->items.emplace_back(type, bytes);
      }
    }
    if (!kept->offers.empty()) previous = kept;
  }

  auto text = std::make_shared<State::Content>();
  Bytes bytes(utf8.begin(), utf8.end());
  text->offers = offersForWriting(plainTextType, bytes);
  text->items.emplace_back(plainTextType, bytes);
  bool taken = s.take(text).has_value();
  if (taken) {
    // Mutter's own clipboard keeper reads a new text selection as soon as it
    // changes; the application's read is the first one asked for after the
    // keys. The keeper's is waited for (at most a second: not every Mutter
    // keeps) before the keys go.
    std::uint64_t asked = 0;
    {
      std::unique_lock lock(s.mutex);
      asked = s.askedBeforeOwnership;
      s.changed.wait_for(lock, kKeeperWait, [&] { return s.transfersAsked > asked && s.transfersDone >= s.transfersAsked; });
    }
    desktop_->flush();
    {
      std::lock_guard lock(s.mutex);
      asked = s.transfersAsked;
    }
    pressPaste();
    auto until = Clock::now() + kPasteReadWait;
    std::unique_lock lock(s.mutex);
    s.changed.wait_until(lock, until, [&] { return s.transfersAsked > asked && s.transfersDone >= s.transfersAsked; });
    // A keeper's read that came late may have been taken for the
    // application's: the text stays until no read has come for a moment.
    for (;;) {
      asked = s.transfersAsked;
      auto quietEnd = std::min(until, Clock::now() + kQuietAfterRead);
      bool another = s.changed.wait_until(lock, quietEnd, [&] { return s.transfersAsked > asked; });
      if (!another) break;
      s.changed.wait_until(lock, until, [&] { return s.transfersDone >= s.transfersAsked; });
    }
  }
  // Back to what the user had; an empty clipboard keeps the text.
  if (previous) s.take(previous);
  std::lock_guard lock(s.mutex);
  s.pasting = false;
  return taken;
}

}  // namespace tillerpad::platform::gnome
