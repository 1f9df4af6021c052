#include "host/clipboard/clipboard_sync.h"

#include <asio/post.hpp>

#include <algorithm>

#include "host/clipboard/image_conversion.h"
#include "kit/clipboard/clipboard_policy.h"

namespace tillerpad::host {

namespace Policy = kit::ClipboardPolicy;
using platform::Pasteboard;

namespace {
constexpr const char* kTooLarge = "Clipboard content too large to share";
}

template <class F>
auto ClipboardSync::later(F f) {
  return [weak = weak_from_this(), executor = env_.executor, f = std::move(f)](auto&&... args) mutable {
    asio::post(executor, [weak, f = std::move(f), ... args = std::forward<decltype(args)>(args)]() mutable {
      if (auto self = weak.lock()) f(*self, std::move(args)...);
    });
  };
}

std::shared_ptr<ClipboardSync> ClipboardSync::create(Environment environment) {
  return std::shared_ptr<ClipboardSync>(new ClipboardSync(std::move(environment)));
}

ClipboardSync::ClipboardSync(Environment environment)
    : env_(std::move(environment)),
      lastChangeCount_(env_.pasteboard.changeCount()),
      converter_(workerLabel, 4, env_.log) {}

ClipboardSync::~ClipboardSync() = default;

void ClipboardSync::watch(const kit::Uuid& device, std::weak_ptr<const void> owner, OnCopy onCopy) {
  auto current = owner_.lock();
  auto candidate = owner.lock();
  if (current && current == candidate && watchedDevice_ == device) return;
  stop();
  owner_ = std::move(owner);
  onCopy_ = std::move(onCopy);
  watchedDevice_ = device;
  const auto n = env_.pasteboard.changeCount();
  lastChangeCount_ = n;
  // Changed since this phone last saw the clipboard: it was away; it gets the
  // content once. A phone seen for the first time waits for the next change.
  if (auto seen = seenByDevice_.find(device); seen != seenByDevice_.end() && seen->second != n) {
    asio::post(env_.executor, later([](ClipboardSync& self) { self.share([] {}); }));
  }
  seenByDevice_[device] = n;
  schedulePoll();
}

void ClipboardSync::stop() {
  if (pollTimer_) pollTimer_->cancel();
  pollTimer_.reset();
  ++pollGeneration_;
  watchedDevice_.reset();
  owner_.reset();
  onCopy_ = [](kit::ClipboardContent) {};
}

bool ClipboardSync::isOwner(const void* candidate) const {
  auto current = owner_.lock();
  return current && current.get() == candidate;
}

std::optional<std::int64_t> ClipboardSync::seenBy(const kit::Uuid& device) const {
  auto it = seenByDevice_.find(device);
  if (it == seenByDevice_.end()) return std::nullopt;
  return it->second;
}

void ClipboardSync::schedulePoll() {
  pollTimer_ = env_.clock->schedule(env_.executor, pollInterval,
                                    later([generation = pollGeneration_](ClipboardSync& self) { self.poll(generation); }));
}

void ClipboardSync::poll(std::uint64_t generation) {
  if (generation != pollGeneration_) return;
  // While the phone's content is being written the count moves for it; that
  // change is the phone's own and is never sent back.
  if (writesInFlight_ > 0 || env_.pasteboard.changeCount() == lastChangeCount_) {
    schedulePoll();
    return;
  }
  // The next wait starts once this change has been dealt with.
  share([weak = weak_from_this(), generation] {
    auto self = weak.lock();
    if (self && generation == self->pollGeneration_) self->schedulePoll();
  });
}

void ClipboardSync::share(std::function<void()> then) {
  const auto n = env_.pasteboard.changeCount();
  lastChangeCount_ = n;
  const auto device = watchedDevice_;
  if (device) seenByDevice_[*device] = n;
  ++sharesInFlight_;
  read([this, n, device, then = std::move(then)](std::optional<kit::ClipboardContent> content) {
    --sharesInFlight_;
    // Replaced while it was read, or the phone is no longer the one watched:
    // what was read is stale.
    if (content && env_.pasteboard.changeCount() == n && watchedDevice_ == device && device) onCopy_(std::move(*content));
    then();
  });
}

// Every step below continues on the service thread through later(), which
// also ends the chain quietly when the sync is gone; `this` is alive there.
void ClipboardSync::read(Read done) {
  env_.pasteboard.types(later([done = std::move(done)](ClipboardSync& self, std::vector<std::string> types) mutable {
    auto any = [&](const std::set<std::string>& set) {
      return std::any_of(types.begin(), types.end(), [&](const auto& t) { return set.count(t) > 0; });
    };
    // Secrets and files are not even read.
    if (any(Policy::markerTypes()) || any(Policy::fileTypes())) return done(std::nullopt);
    auto choose = [done = std::move(done), types](ClipboardSync& sync, std::optional<std::string> text,
                                                  bool overLimit) mutable {
      // Text over the limit decides as text would: nothing goes.
      if (overLimit) {
        sync.env_.log.info(kTooLarge);
        return done(std::nullopt);
      }
      switch (Policy::choice(types, text)) {
        case Policy::Choice::text:
          return sync.finish(kit::ClipboardContent::fromText(std::move(*text), false), std::move(done));
        case Policy::Choice::image: {
          std::vector<std::string> candidates;
          for (const char* type : {Pasteboard::pngType, Pasteboard::jpegType, Pasteboard::tiffType, bmpType}) {
            if (std::find(types.begin(), types.end(), type) != types.end()) candidates.push_back(type);
          }
          return sync.readImage(std::move(candidates), std::move(done));
        }
        case Policy::Choice::nothing:
          return done(std::nullopt);
      }
    };
    if (std::find(types.begin(), types.end(), Pasteboard::plainTextType) == types.end()) {
      return choose(self, std::nullopt, false);
    }
    self.env_.pasteboard.data(
        Pasteboard::plainTextType, self.env_.maxBytes,
        self.later([choose = std::move(choose)](ClipboardSync& sync, Pasteboard::Data data) mutable {
          std::optional<std::string> text;
          if (data.ok()) text.emplace(data.bytes.begin(), data.bytes.end());
          choose(sync, std::move(text), data.status == Pasteboard::Data::Status::tooLarge);
        }));
  }));
}

// PNG, else JPEG as they are; else TIFF or BMP converted off this thread.
void ClipboardSync::readImage(std::vector<std::string> candidates, Read done, bool overLimit) {
  if (candidates.empty()) {
    if (overLimit) env_.log.info(kTooLarge);
    return done(std::nullopt);
  }
  std::string type = candidates.front();
  candidates.erase(candidates.begin());
  const bool asIs = type == Pasteboard::pngType || type == Pasteboard::jpegType;
  env_.pasteboard.data(
      type, asIs ? env_.maxBytes : std::max(env_.maxBytes, convertibleReadLimit),
      later([type, asIs, candidates = std::move(candidates), done = std::move(done), overLimit](
                ClipboardSync& self, Pasteboard::Data data) mutable {
        // A form over the limit may have a smaller sibling further down.
        if (!data.ok() || data.bytes.empty()) {
          overLimit = overLimit || data.status == Pasteboard::Data::Status::tooLarge;
          return self.readImage(std::move(candidates), std::move(done), overLimit);
        }
        if (asIs) {
          auto format = type == Pasteboard::pngType ? kit::ImageFormat::png : kit::ImageFormat::jpeg;
          return self.finish(kit::ClipboardContent::fromImage({format, kit::Blob{std::move(data.bytes)}}, false),
                             std::move(done));
        }
        auto converted = self.later([done = std::move(done)](ClipboardSync& sync,
                                                             std::optional<kit::ClipboardImage> image) mutable {
          if (!image) return done(std::nullopt);
          sync.finish(kit::ClipboardContent::fromImage(std::move(*image), false), std::move(done));
        });
        bool queued = self.converter_.post(
            [bytes = std::move(data.bytes), limit = self.env_.maxBytes, converted = std::move(converted)]() mutable {
              converted(convertForPhone(bytes, limit));
            });
        if (!queued) self.env_.log.debug("Clipboard image dropped: the converter is busy");
      }));
}

void ClipboardSync::finish(std::optional<kit::ClipboardContent> content, Read done) {
  if (!content) return done(std::nullopt);
  const std::size_t size = content->text ? content->text->size() : content->image->data.data.size();
  if (size > env_.maxBytes) {
    env_.log.info(kTooLarge);
    return done(std::nullopt);
  }
  if (!content->isValid()) return done(std::nullopt);
  done(std::move(content));
}

void ClipboardSync::write(kit::ClipboardContent content, std::function<void(bool)> done) {
  if (content.text) {
    const auto& text = *content.text;
    store({{Pasteboard::plainTextType, Bytes(text.begin(), text.end())}}, std::move(done));
    return;
  }
  if (!content.image) return done(false);
  auto& image = *content.image;
  if (image.format == kit::ImageFormat::png) {
    store({{Pasteboard::pngType, std::move(image.data.data).release()}}, std::move(done));
  } else if (image.format == kit::ImageFormat::jpeg) {
    // Many X11 applications paste only PNG: the image goes as both.
    ++writesInFlight_;
    auto withPng = later([done = std::move(done)](ClipboardSync& self, Bytes jpeg, std::optional<Bytes> png) mutable {
      --self.writesInFlight_;
      std::vector<std::pair<std::string, Bytes>> representations{{Pasteboard::jpegType, std::move(jpeg)}};
      if (png) representations.emplace_back(Pasteboard::pngType, std::move(*png));
      self.store(std::move(representations), std::move(done));
    });
    bool queued = converter_.post([jpeg = std::move(image.data.data).release(), withPng]() mutable {
      auto png = pngForm(jpeg);
      withPng(std::move(jpeg), std::move(png));
    });
    if (!queued) {
      --writesInFlight_;
      done(false);
    }
  } else {
    done(false);
  }
}

void ClipboardSync::store(std::vector<std::pair<std::string, Bytes>> representations, std::function<void(bool)> done) {
  ++writesInFlight_;
  env_.pasteboard.write(std::move(representations),
                        later([done = std::move(done)](ClipboardSync& self, std::optional<std::int64_t> count) mutable {
                          --self.writesInFlight_;
                          if (!count) return done(false);
                          // The next poll sees no change: the content is not sent back.
                          self.lastChangeCount_ = *count;
                          if (self.watchedDevice_) self.seenByDevice_[*self.watchedDevice_] = *count;
                          done(true);
                        }));
}

}  // namespace tillerpad::host
