#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "kit/common/bytes.h"

namespace tillerpad::host {

// A width x height RGBA image (straight alpha, rows top to bottom) as PNG;
// nothing when the pixels do not match the size or libpng fails.
std::optional<kit::Bytes> encodePng(int width, int height, const std::vector<std::uint8_t>& rgba);

}  // namespace tillerpad::host
