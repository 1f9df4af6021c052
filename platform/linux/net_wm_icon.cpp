// The _NET_WM_ICON walk, kept free of cairo and X so that it can be fuzzed.
#include <algorithm>

#include "platform/linux/icon_image.h"

namespace tillerpad::platform::linux_apps {

std::optional<ArgbImage> pickNetWmIcon(std::span<const unsigned long> items, int size) {
  constexpr unsigned long kMaxSide = 4096;
  std::optional<std::pair<std::size_t, std::pair<int, int>>> chosen;  // offset of the pixels, width, height
  std::size_t pos = 0;
  while (items.size() - pos >= 2) {
    unsigned long w = items[pos] & 0xFFFFFFFFul, h = items[pos + 1] & 0xFFFFFFFFul;
    if (w == 0 || h == 0 || w > kMaxSide || h > kMaxSide || w * h > items.size() - pos - 2) break;
    int side = static_cast<int>(std::max(w, h));
    bool take = false;
    if (!chosen) {
      take = true;
    } else {
      int current = std::max(chosen->second.first, chosen->second.second);
      // Smallest at least `size`; while none is, the largest.
      take = current < size ? side > current : side >= size && side < current;
    }
    if (take) chosen = {pos + 2, {static_cast<int>(w), static_cast<int>(h)}};
    pos += 2 + w * h;
  }
  if (!chosen) return std::nullopt;
  ArgbImage image;
  image.width = chosen->second.first;
  image.height = chosen->second.second;
  std::size_t n = static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height);
  image.pixels.reserve(n);
  for (std::size_t i = 0; i < n; ++i) image.pixels.push_back(static_cast<std::uint32_t>(items[chosen->first + i]));
  return image;
}

}  // namespace tillerpad::platform::linux_apps
