#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/screen_capture.h"

namespace tillerpad::host {

// Encodes captured frames as baseline JPEG. One encoder per frame pump; it is
// used on the pump's thread only, so it may keep its buffers between frames.
class JpegEncoder {
 public:
  virtual ~JpegEncoder() = default;
  // `quality` in (0, 1]. On success `out` holds the JPEG bytes (its capacity
  // is kept between calls); on failure, a description of the error.
  virtual std::optional<std::string> encode(const platform::CapturedFrame& frame, double quality,
                                            std::vector<std::uint8_t>& out) = 0;
};

// Makes the encoder of one capture; a null encoder means none is available.
using JpegEncoderFactory = std::function<std::unique_ptr<JpegEncoder>()>;

// libjpeg-turbo, 4:2:0 subsampling, quality round(quality × 100).
std::unique_ptr<JpegEncoder> makeTurboJpegEncoder();

}  // namespace tillerpad::host
