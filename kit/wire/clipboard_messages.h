#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>

#include "kit/wire/blob.h"
#include "kit/wire/open_text.h"

namespace tillerpad::kit {

struct ImageFormat : OpenText<ImageFormat> {
  using OpenText::OpenText;
  static const ImageFormat png;
  static const ImageFormat jpeg;
  static const std::array<ImageFormat, 2>& supportedFormats();
};

inline const ImageFormat ImageFormat::png{"png"};
inline const ImageFormat ImageFormat::jpeg{"jpeg"};

struct ClipboardImage {
  ImageFormat format;
  Blob data;
  friend bool operator==(const ClipboardImage&, const ClipboardImage&) = default;
};

struct ClipboardContent {
  std::optional<std::string> text;
  std::optional<ClipboardImage> image;
  bool pasteAfterwards = false;

  static constexpr std::size_t maxBytes = 16'777'216;  // inclusive

  static ClipboardContent fromText(std::string text, bool pasteAfterwards) {
    return {std::move(text), std::nullopt, pasteAfterwards};
  }
  static ClipboardContent fromImage(ClipboardImage image, bool pasteAfterwards) {
    return {std::nullopt, std::move(image), pasteAfterwards};
  }

  // Exactly one of text and image; text not empty; image in a supported
  // format, not empty; either at most maxBytes.
  bool isValid() const;

  friend bool operator==(const ClipboardContent&, const ClipboardContent&) = default;
};

struct ClipboardSubscription {
  bool enabled = false;
  friend bool operator==(const ClipboardSubscription&, const ClipboardSubscription&) = default;
};

struct SharingSettings {
  bool clipboard = false;
  bool screen = false;
  friend bool operator==(const SharingSettings&, const SharingSettings&) = default;
};

}  // namespace tillerpad::kit
