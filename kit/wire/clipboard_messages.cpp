#include "kit/wire/clipboard_messages.h"

#include <algorithm>

namespace tillerpad::kit {

const std::array<ImageFormat, 2>& ImageFormat::supportedFormats() {
  static const std::array<ImageFormat, 2> formats{png, jpeg};
  return formats;
}

bool ClipboardContent::isValid() const {
  if (text.has_value() == image.has_value()) return false;
  if (text) return !text->empty() && text->size() <= maxBytes;
  const auto& formats = ImageFormat::supportedFormats();
  return std::find(formats.begin(), formats.end(), image->format) != formats.end() && !image->data.data.empty() &&
         image->data.data.size() <= maxBytes;
}

}  // namespace tillerpad::kit
