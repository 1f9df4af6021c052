// A window's _NET_WM_ICON is written by any client: any items must be walked
// within bounds, and a picked image must be whole.
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/linux/icon_image.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  int wanted = data[0] * 4 + 1;
  // 32-bit items as Xlib hands them: one per long.
  std::vector<unsigned long> items;
  for (std::size_t i = 1; i + 4 <= size; i += 4) {
    std::uint32_t v;
    std::memcpy(&v, data + i, 4);
    items.push_back(v);
  }
  auto image = tillerpad::platform::linux_apps::pickNetWmIcon(items, wanted);
  if (image && image->pixels.size() != static_cast<std::size_t>(image->width) * image->height) __builtin_trap();
  return 0;
}
