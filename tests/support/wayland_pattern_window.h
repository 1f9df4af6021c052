#pragma once

// A full-screen window of a test's (or bench's) own on a Wayland compositor,
// showing a block pattern drawn into shared memory.
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <cstdint>
#include <string>

#include "xdg-shell-client.h"

namespace tillerpad::test {

constexpr int kBlock = 80;

// Channels that all differ per block, so swapped channels, flipped rows or
// an offset show. `changed` repaints one block.
inline std::uint32_t patternColor(int x, int y, bool changed = false) {
  int i = x / kBlock, j = y / kBlock;
  if (changed && i == 3 && j == 2) return 0xffffff;
  return std::uint32_t((i * 53 + j * 29 + 17) % 256) << 16 | std::uint32_t((i * 97 + j * 71 + 101) % 256) << 8 |
         std::uint32_t((i * 13 + j * 151 + 211) % 256);
}

// A full-screen xdg toplevel on a connection of its own, showing the pattern.
class PatternWindow {
 public:
  // `width` × `height`: the output it fills.
  PatternWindow(const std::string& socket, int width = 1280, int height = 800) : width_(width), height_(height) {
    display_ = wl_display_connect(socket.c_str());
    if (!display_) return;
    wl_registry* registry = wl_display_get_registry(display_);
    wl_registry_add_listener(registry, &registryListener, this);
    wl_display_roundtrip(display_);
    wl_registry_destroy(registry);
    if (!compositor_ || !shm_ || !wm_) return;
    xdg_wm_base_add_listener(wm_, &wmListener, nullptr);
    surface_ = wl_compositor_create_surface(compositor_);
    xdg_ = xdg_wm_base_get_xdg_surface(wm_, surface_);
    xdg_surface_add_listener(xdg_, &xdgListener, this);
    toplevel_ = xdg_surface_get_toplevel(xdg_);
    xdg_toplevel_set_fullscreen(toplevel_, nullptr);
    wl_surface_commit(surface_);
    while (!configured_ && wl_display_roundtrip(display_) >= 0) {
    }
    paint(false);
  }
  ~PatternWindow() {
    // Proxies hold client memory even after the compositor is gone.
    if (buffer_) wl_buffer_destroy(buffer_);
    if (toplevel_) xdg_toplevel_destroy(toplevel_);
    if (xdg_) xdg_surface_destroy(xdg_);
    if (surface_) wl_surface_destroy(surface_);
    if (wm_) xdg_wm_base_destroy(wm_);
    if (shm_) wl_shm_destroy(shm_);
    if (compositor_) wl_compositor_destroy(compositor_);
    if (display_) wl_display_disconnect(display_);
  }
  bool shown() const { return buffer_ != nullptr; }

  void paint(bool changed) {
    std::size_t size = std::size_t(width_) * height_ * 4;
    int fd = memfd_create("pattern", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, static_cast<off_t>(size)) != 0) return;
    auto* pixels = static_cast<std::uint32_t*>(mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    for (int y = 0; y < height_; ++y) {
      for (int x = 0; x < width_; ++x) pixels[std::size_t(y) * width_ + x] = 0xff000000 | patternColor(x, y, changed);
    }
    munmap(pixels, size);
    wl_shm_pool* pool = wl_shm_create_pool(shm_, fd, static_cast<std::int32_t>(size));
    if (buffer_) wl_buffer_destroy(buffer_);
    buffer_ = wl_shm_pool_create_buffer(pool, 0, width_, height_, width_ * 4, WL_SHM_FORMAT_XRGB8888);
    wl_shm_pool_destroy(pool);
    close(fd);
    wl_surface_attach(surface_, buffer_, 0, 0);
    wl_surface_damage(surface_, 0, 0, width_, height_);
    wl_surface_commit(surface_);
    wl_display_roundtrip(display_);
  }

 private:
  static void onGlobal(void* data, wl_registry* r, std::uint32_t name, const char* interface, std::uint32_t) {
    auto* w = static_cast<PatternWindow*>(data);
    std::string i = interface;
    if (i == "wl_compositor") w->compositor_ = static_cast<wl_compositor*>(wl_registry_bind(r, name, &wl_compositor_interface, 4));
    if (i == "wl_shm") w->shm_ = static_cast<wl_shm*>(wl_registry_bind(r, name, &wl_shm_interface, 1));
    if (i == "xdg_wm_base") w->wm_ = static_cast<xdg_wm_base*>(wl_registry_bind(r, name, &xdg_wm_base_interface, 1));
  }
  static void onGlobalRemove(void*, wl_registry*, std::uint32_t) {}
  static constexpr wl_registry_listener registryListener{&onGlobal, &onGlobalRemove};
  static void onPing(void*, xdg_wm_base* wm, std::uint32_t serial) { xdg_wm_base_pong(wm, serial); }
  static constexpr xdg_wm_base_listener wmListener{&onPing};
  static void onConfigure(void* data, xdg_surface* s, std::uint32_t serial) {
    xdg_surface_ack_configure(s, serial);
    static_cast<PatternWindow*>(data)->configured_ = true;
  }
  static constexpr xdg_surface_listener xdgListener{&onConfigure};

  wl_display* display_ = nullptr;
  wl_compositor* compositor_ = nullptr;
  wl_shm* shm_ = nullptr;
  xdg_wm_base* wm_ = nullptr;
  wl_surface* surface_ = nullptr;
  xdg_surface* xdg_ = nullptr;
  xdg_toplevel* toplevel_ = nullptr;
  wl_buffer* buffer_ = nullptr;
  bool configured_ = false;
  const int width_, height_;
};

}  // namespace tillerpad::test
