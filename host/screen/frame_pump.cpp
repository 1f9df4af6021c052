#include "host/screen/frame_pump.h"

#include <fmt/format.h>

#include <future>

namespace tillerpad::host {

FramePump::FramePump(std::uint32_t epoch, std::uint32_t displayID, kit::ScreenQualityController quality,
                     std::unique_ptr<JpegEncoder> encoder, std::function<double()> uptime, Callbacks callbacks,
                     kit::Logger log)
    : epoch_(epoch),
      displayID_(displayID),
      callbacks_(std::move(callbacks)),
      log_(log),
      uptime_(std::move(uptime)),
      encoder_(std::move(encoder)),
      quality_(std::move(quality)),
      queue_(queueLabel, queueCapacity, log) {}

FramePump::~FramePump() { closed_ = true; }

platform::CaptureHandlers FramePump::handlers() {
  std::weak_ptr<FramePump> weak = weak_from_this();
  return {[weak](platform::FrameRef frame) {
            if (auto pump = weak.lock()) pump->frame(std::move(frame));
          },
          [weak](platform::CaptureStop stop) {
            if (auto pump = weak.lock()) pump->platformStopped(std::move(stop));
          }};
}

// The queue's tasks may use `this`: the queue is the first member to go, and
// its destructor runs what is left (which `closed_` turns into nothing).
void FramePump::frame(platform::FrameRef frame) {
  queue_.post([this, frame = std::move(frame)]() mutable {
    if (!closed_) handleFrame(std::move(frame));
  });
}

void FramePump::ack(std::uint64_t frameID) {
  queue_.post([this, frameID] {
    if (!closed_) handleAck(frameID);
  });
}

std::optional<FramePump::Snapshot> FramePump::snapshot(std::chrono::milliseconds limit) {
  auto promise = std::make_shared<std::promise<Snapshot>>();
  auto future = promise->get_future();
  queue_.post([this, promise] {
    Snapshot s{sequence_, {}, pending_ != nullptr, quality_.level(), quality_.skipped(), quality_.roundTrips()};
    for (const auto& entry : inFlight_) s.inFlight.push_back(entry.first);
    promise->set_value(std::move(s));
  });
  if (future.wait_for(limit) != std::future_status::ready) return std::nullopt;
  return future.get();
}

void FramePump::handleFrame(platform::FrameRef frame) {
  if (!frame) return;
  double now = uptime_();
  for (auto it = inFlight_.begin(); it != inFlight_.end();) {
    if (now - it->second > expiry) {
      quality_.recordRoundTrip(expiry);
      it = inFlight_.erase(it);
    } else {
      ++it;
    }
  }
  if (inFlight_.size() >= maxInFlight) {
    if (pending_) quality_.recordSkip();
    pending_ = std::move(frame);  // the older one goes back to the capture's pool
  } else {
    // A slot freed by expiry, not by an answer: a frame still waiting is
    // older than this one and would reach the phone after it.
    pending_.reset();
    encodeAndSend(*frame, now);
  }
  evaluateQuality(now);
}

void FramePump::handleAck(std::uint64_t frameID) {
  auto it = inFlight_.find(frameID);
  if (it == inFlight_.end()) return;  // unknown, repeated, expired or of an earlier capture
  double now = uptime_();
  quality_.recordRoundTrip(now - it->second);
  inFlight_.erase(it);
  if (pending_) {
    auto frame = std::move(pending_);
    encodeAndSend(*frame, now);
  }
  evaluateQuality(now);
}

void FramePump::encodeAndSend(const platform::CapturedFrame& frame, double now) {
  double q = quality_.current().jpegQuality;
  std::optional<std::string> failure;
  try {
    failure = encoder_->encode(frame, q, jpeg_);
  } catch (const std::exception& e) {
    failure = e.what();
  }
  if (failure) {
    log_.error("JPEG encoding failed");
    log_.debug("JPEG encoder: " + *failure);
    return;
  }
  ++sequence_;  // wraps at 2^32
  std::uint64_t id = kit::ScreenFrame::makeFrameID(epoch_, sequence_);
  inFlight_[id] = now;
  callbacks_.send(kit::Message::screenFrame(
      {id, displayID_, frame.width, frame.height, kit::Blob{kit::Bytes(jpeg_.begin(), jpeg_.end())}}));
}

void FramePump::evaluateQuality(double now) {
  auto changed = quality_.evaluate(now);
  if (!changed) return;
  log_.info(fmt::format("Screen stream: {} px, {} fps, quality {:f}", changed->maxPixelWidth,
                        changed->framesPerSecond, changed->jpegQuality));
  callbacks_.reconfigure(*changed);
}

}  // namespace tillerpad::host
