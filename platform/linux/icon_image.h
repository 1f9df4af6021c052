#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/app_workspace.h"

namespace tillerpad::platform::linux_apps {

// Icons drawn into a transparent size x size square, aspect kept, centred
// (cairo does the scaling), as straight-alpha RGBA.

// A PNG (libpng) or SVG (librsvg, rendered at the square's size) file;
// nothing for other formats or a file that does not decode.
std::optional<AppWorkspace::Icon> renderIconFile(const std::string& path, int size);

// One image of a window's _NET_WM_ICON: width, height and ARGB pixels
// (straight alpha, one per 32-bit item).
struct ArgbImage {
  int width = 0, height = 0;
  std::vector<std::uint32_t> pixels;
};

// Picks from a _NET_WM_ICON value (width, height, pixels, repeated; Xlib
// hands 32-bit items as longs) the image to draw at `size`: the smallest not
// smaller than it, else the largest. Images cut short or absurdly large end
// the walk; nothing when no whole image comes first.
std::optional<ArgbImage> pickNetWmIcon(std::span<const unsigned long> items, int size);

std::optional<AppWorkspace::Icon> renderArgb(const ArgbImage& image, int size);

}  // namespace tillerpad::platform::linux_apps
