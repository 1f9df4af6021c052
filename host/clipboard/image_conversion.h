#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "kit/wire/clipboard_messages.h"

namespace tillerpad::host {

using ImageBytes = std::vector<std::uint8_t>;

// An image the phone cannot take as it is (TIFF, BMP) in a form it can: PNG
// when that is at most `limit` bytes, otherwise JPEG at quality 0.85.
// Nothing when the bytes do not decode or cannot be encoded. Slow for large
// images: never on the service thread.
std::optional<kit::ClipboardImage> convertForPhone(const ImageBytes& data, std::size_t limit);

// The PNG form of an image, for applications that paste only PNG; nothing
// when it does not decode.
std::optional<ImageBytes> pngForm(const ImageBytes& data);

// Width and height of an encoded image, when it decodes.
std::optional<std::pair<int, int>> imageSize(const ImageBytes& data);

}  // namespace tillerpad::host
