#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/screen/jpeg_encoder.h"

namespace tillerpad::test {

// What the fake encoders of one test share: the qualities they were asked
// for, and how many of the next encodings fail.
struct EncoderLog {
  std::mutex mutex;
  std::vector<double> qualities;
  int failures = 0;
};

// "Encodes" a frame as the JPEG markers around its first byte, so that a
// test can tell frames apart by their bytes.
class FakeJpegEncoder final : public host::JpegEncoder {
 public:
  explicit FakeJpegEncoder(std::shared_ptr<EncoderLog> log) : log_(std::move(log)) {}
  std::optional<std::string> encode(const platform::CapturedFrame& frame, double quality,
                                    std::vector<std::uint8_t>& out) override {
    std::lock_guard lock(log_->mutex);
    if (log_->failures > 0 && log_->failures--) return "the encoder gave up";
    log_->qualities.push_back(quality);
    out.assign({0xff, 0xd8, frame.pixels.empty() ? std::uint8_t{0} : frame.pixels[0], 0xff, 0xd9});
    return std::nullopt;
  }

 private:
  std::shared_ptr<EncoderLog> log_;
};

inline host::JpegEncoderFactory fakeEncoders(std::shared_ptr<EncoderLog> log) {
  return [log] { return std::make_unique<FakeJpegEncoder>(log); };
}

}  // namespace tillerpad::test
