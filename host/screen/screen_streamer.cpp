#include "host/screen/screen_streamer.h"

#include <asio/post.hpp>
#include <fmt/format.h>

#include <algorithm>
#include <cmath>

namespace tillerpad::host {

using kit::Message;

// MARK: display changes

std::shared_ptr<DisplayChanges> DisplayChanges::create(platform::ScreenCapture& capture,
                                                       asio::any_io_executor executor) {
  return std::shared_ptr<DisplayChanges>(new DisplayChanges(capture, std::move(executor)));
}

DisplayChanges::~DisplayChanges() {
  if (!subscribers_.empty()) capture_.setDisplaysChangedHandler({});
}

DisplayChanges::Token DisplayChanges::subscribe(std::function<void()> changed) {
  if (subscribers_.empty()) {
    capture_.setDisplaysChangedHandler([weak = weak_from_this(), executor = executor_] {
      asio::post(executor, [weak] {
        if (auto self = weak.lock()) self->notify();
      });
    });
  }
  subscribers_[++last_] = std::move(changed);
  return last_;
}

void DisplayChanges::unsubscribe(Token token) {
  if (subscribers_.erase(token) && subscribers_.empty()) capture_.setDisplaysChangedHandler({});
}

void DisplayChanges::notify() {
  // A subscriber may unsubscribe (or subscribe) while being told.
  auto subscribers = subscribers_;
  for (auto& [token, changed] : subscribers) {
    if (subscribers_.count(token)) changed();
  }
}

// MARK: geometry

DisplayGeometry DisplayGeometry::of(const platform::CaptureDisplay& display) {
  DisplayGeometry g;
  g.pointWidth = std::max<std::int64_t>(display.pointWidth, 1);
  g.pointHeight = std::max<std::int64_t>(display.pointHeight, 1);
  g.pixelWidth = display.pixelWidth > 0 ? display.pixelWidth : 2 * g.pointWidth;
  return g;
}

std::string describe(CaptureError error) {
  switch (error) {
    case CaptureError::noDisplay:
      return "There is no display to capture.";
  }
  return "Unknown capture error.";
}

platform::CaptureConfig captureConfig(std::uint32_t displayID, const kit::StreamSettings& settings,
                                      const DisplayGeometry& geometry) {
  std::int64_t width = std::min(geometry.pixelWidth, settings.maxPixelWidth);
  auto height = static_cast<std::int64_t>(
      std::llround(static_cast<double>(geometry.pointHeight) * static_cast<double>(width) /
                   static_cast<double>(geometry.pointWidth)));
  auto even = [](std::int64_t v) { return std::max<std::int64_t>(v - v % 2, 2); };
  platform::CaptureConfig config;
  config.displayID = displayID;
  config.width = static_cast<int>(even(width));
  config.height = static_cast<int>(even(height));
  config.minFrameInterval = 1.0 / static_cast<double>(std::max<std::int64_t>(settings.framesPerSecond, 1));
  config.showCursor = true;
  return config;
}

// MARK: streamer

std::shared_ptr<ScreenStreamer> ScreenStreamer::create(Environment environment, FramePump::Send send) {
  return std::shared_ptr<ScreenStreamer>(new ScreenStreamer(std::move(environment), std::move(send)));
}

ScreenStreamer::ScreenStreamer(Environment environment, FramePump::Send send)
    : env_(std::move(environment)), send_(std::move(send)) {}

ScreenStreamer::~ScreenStreamer() {
  if (observer_) env_.displayChanges->unsubscribe(*observer_);
}

double ScreenStreamer::uptime() const {
  return std::chrono::duration<double>(env_.clock->now().time_since_epoch()).count();
}

std::optional<std::uint32_t> ScreenStreamer::streamedDisplay() const {
  if (!stream_) return std::nullopt;
  return displayID_;
}

template <class F>
auto ScreenStreamer::later(F f) {
  // Platform completions come on any thread; the streamer's state is the
  // service thread's. A completion for a streamer that is gone is dropped
  // there, with whatever it carries (a stream then stops on destruction).
  return [weak = weak_from_this(), executor = env_.executor, f = std::make_shared<F>(std::move(f))](auto... args) {
    asio::post(executor, [weak, f, ... args = std::move(args)]() mutable {
      if (auto self = weak.lock()) (*f)(std::move(args)...);
    });
  };
}

void ScreenStreamer::enqueue(Operation operation) {
  operations_.push_back(std::move(operation));
  if (!running_) runNext();
}

void ScreenStreamer::runNext() {
  if (operations_.empty()) {
    running_ = false;
    return;
  }
  running_ = true;
  auto operation = std::move(operations_.front());
  operations_.pop_front();
  // `next` runs on the service thread, at most once, when the operation is done.
  operation([weak = weak_from_this(), executor = env_.executor] {
    asio::post(executor, [weak] {
      if (auto self = weak.lock()) self->runNext();
    });
  });
}

void ScreenStreamer::start(kit::ScreenStart request) {
  request_ = std::move(request);
  restart();
}

void ScreenStreamer::stop() {
  request_.reset();
  pendingRestart_.reset();
  stopCapture();
}

void ScreenStreamer::restart() {
  enqueue([this](Next next) {
    stopThen([this, next] {
      if (request_) {
        startCapture(next);
      } else {
        next();
      }
    });
  });
}

void ScreenStreamer::stopCapture() {
  enqueue([this](Next next) { stopThen(next); });
}

void ScreenStreamer::stopThen(Next then) {
  if (observer_) {
    env_.displayChanges->unsubscribe(*observer_);
    observer_.reset();
  }
  if (!stream_) {
    then();
    return;
  }
  // The pump goes first: frames still on their way find nobody.
  pump_.reset();
  geometry_.reset();
  stopping_ = std::move(stream_);
  onStreamingChange();
  stopping_->stop(later([this, then](std::optional<std::string> error) {
    if (error) env_.log.debug("Stopping capture: " + *error);
    stopping_.reset();
    then();
  }));
}

void ScreenStreamer::startCapture(Next next) {
  env_.capture.listDisplays(later([this, next](std::vector<platform::CaptureDisplay> displays) {
    if (!request_) return next();
    if (displays.empty()) {
      fail(describe(CaptureError::noDisplay));
      return next();
    }
    const auto& request = *request_;
    auto chosen = displays.end();
    if (request.displayID) {
      chosen = std::find_if(displays.begin(), displays.end(), [&](const auto& d) { return d.id == *request.displayID; });
    }
    if (chosen == displays.end()) {
      chosen = std::find_if(displays.begin(), displays.end(), [](const auto& d) { return d.isMain; });
    }
    if (chosen == displays.end()) chosen = displays.begin();
    auto display = *chosen;

    auto ordered = displays;
    std::stable_sort(ordered.begin(), ordered.end(), [](const auto& a, const auto& b) {
      if (a.isMain != b.isMain) return a.isMain;
      return a.left < b.left;
    });
    kit::ScreenInfo info;
    info.displayID = display.id;
    for (const auto& d : ordered) {
      info.displays.push_back({d.id, d.name.empty() ? std::string("Display") : d.name, d.pointWidth, d.pointHeight,
                               d.isMain});
    }
    send_(Message::screenInfo(std::move(info)));

    ++epoch_;  // wraps
    auto geometry = DisplayGeometry::of(display);
    kit::ScreenQualityController quality(request.maxPixelWidth, request.maxFramesPerSecond, uptime());
    auto config = captureConfig(display.id, quality.current(), geometry);
    auto encoder = env_.makeEncoder ? env_.makeEncoder() : nullptr;
    if (!encoder) {
      fail("No JPEG encoder is available.");
      return next();
    }
    std::uint32_t epoch = epoch_;
    std::weak_ptr<ScreenStreamer> weak = weak_from_this();
    auto executor = env_.executor;
    FramePump::Callbacks callbacks{
        send_,
        [weak, executor, epoch](kit::StreamSettings settings) {
          asio::post(executor, [weak, epoch, settings] {
            if (auto self = weak.lock()) self->reconfigure(epoch, settings);
          });
        },
        [weak, executor, epoch](platform::CaptureStop stop) {
          asio::post(executor, [weak, epoch, stop = std::move(stop)]() mutable {
            if (auto self = weak.lock()) self->stoppedByPlatform(epoch, std::move(stop));
          });
        }};
    auto pump = std::make_shared<FramePump>(
        epoch, display.id, std::move(quality), std::move(encoder),
        [clock = env_.clock] { return std::chrono::duration<double>(clock->now().time_since_epoch()).count(); },
        std::move(callbacks), env_.log);
    env_.capture.start(config, pump->handlers(),
                       later([this, pump, geometry, config, next](std::unique_ptr<platform::CaptureStream> stream,
                                                                   std::optional<std::string> error) mutable {
                         if (error || !stream) {
                           fail(error.value_or("The capture did not start."));
                           return next();
                         }
                         stream_ = std::move(stream);
                         pump_ = std::move(pump);
                         geometry_ = geometry;
                         displayID_ = config.displayID;
                         if (!observer_) {
                           observer_ = env_.displayChanges->subscribe([weak = weak_from_this()] {
                             if (auto self = weak.lock()) self->displaysChanged();
                           });
                         }
                         env_.log.info(fmt::format("Streaming display {} at {}×{}", config.displayID, config.width,
                                                   config.height));
                         onStreamingChange();
                         next();
                       }));
  }));
}

void ScreenStreamer::fail(const std::string& description) {
  env_.log.error("Screen capture failed: " + description);
  send_(Message::error({kit::ErrorCode::screenCaptureFailed, description}));
}

void ScreenStreamer::reconfigure(std::uint32_t epoch, kit::StreamSettings settings) {
  enqueue([this, epoch, settings](Next next) {
    if (epoch != epoch_ || !stream_ || !geometry_) return next();
    stream_->update(captureConfig(displayID_, settings, *geometry_),
                    later([this, next](std::optional<std::string> error) {
                      if (error) env_.log.error("Could not reconfigure the stream: " + *error);
                      next();
                    }));
  });
}

void ScreenStreamer::stoppedByPlatform(std::uint32_t epoch, platform::CaptureStop stop) {
  if (epoch != epoch_) return;
  env_.log.notice("Screen capture stopped: " + stop.description);
  // The user withdrew consent: no automatic restart.
  if (stop.byUser) request_.reset();
  enqueue([this, epoch, description = stop.description](Next next) {
    if (epoch != epoch_) return next();
    stopThen([this, description, next] {
      send_(Message::error({kit::ErrorCode::screenCaptureFailed, description}));
      next();
    });
  });
}

void ScreenStreamer::displaysChanged() {
  // Bursts of changes make one restart, after the last of them.
  pendingRestart_ = env_.clock->schedule(env_.executor, restartDelay, [weak = weak_from_this()] {
    auto self = weak.lock();
    if (self && self->request_) self->restart();
  });
}

}  // namespace tillerpad::host
