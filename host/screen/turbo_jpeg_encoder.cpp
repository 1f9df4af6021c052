#include <turbojpeg.h>

#include <algorithm>
#include <cmath>

#include "host/screen/jpeg_encoder.h"

namespace tillerpad::host {
namespace {

class TurboJpegEncoder : public JpegEncoder {
 public:
  TurboJpegEncoder() : handle_(tjInitCompress()) {}
  ~TurboJpegEncoder() override {
    if (handle_) tjDestroy(handle_);
    tjFree(buffer_);
  }
  TurboJpegEncoder(const TurboJpegEncoder&) = delete;
  TurboJpegEncoder& operator=(const TurboJpegEncoder&) = delete;

  std::optional<std::string> encode(const platform::CapturedFrame& frame, double quality,
                                    std::vector<std::uint8_t>& out) override {
    if (!handle_) return std::string("JPEG encoder unavailable: ") + tjGetErrorStr2(nullptr);
    if (frame.width < 1 || frame.height < 1 || frame.stride < frame.width * 4 ||
        frame.pixels.size() < static_cast<std::size_t>(frame.stride) * static_cast<std::size_t>(frame.height)) {
      return std::string("Invalid frame for JPEG encoding");
    }
    // The worst case for this size, allocated once per size so that the
    // library never reallocates behind our back.
    unsigned long needed = tjBufSize(frame.width, frame.height, TJSAMP_420);
    if (needed > capacity_) {
      tjFree(buffer_);
      buffer_ = tjAlloc(static_cast<int>(needed));
      capacity_ = buffer_ ? needed : 0;
      if (!buffer_) return std::string("Out of memory for JPEG encoding");
    }
    unsigned long size = capacity_;
    double clamped = std::isnan(quality) ? 0.0 : std::clamp(quality, 0.0, 1.0);
    int q = std::max(1, static_cast<int>(std::lround(clamped * 100)));
    if (tjCompress2(handle_, frame.pixels.data(), frame.width, frame.stride, frame.height, TJPF_BGRX, &buffer_, &size,
                    TJSAMP_420, q, TJFLAG_NOREALLOC) != 0) {
      return std::string(tjGetErrorStr2(handle_));
    }
    out.assign(buffer_, buffer_ + size);
    return std::nullopt;
  }

 private:
  tjhandle handle_;
  unsigned char* buffer_ = nullptr;
  unsigned long capacity_ = 0;
};

}  // namespace

std::unique_ptr<JpegEncoder> makeTurboJpegEncoder() {
  return std::make_unique<TurboJpegEncoder>();
}

}  // namespace tillerpad::host
