#include "platform/linux/icon_image.h"

#include <cairo.h>
#include <librsvg/rsvg.h>
#include <png.h>

#include <algorithm>
#include <bit>
#include <memory>

namespace tillerpad::platform::linux_apps {
namespace {

struct SurfaceFree {
  void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
};
struct ContextFree {
  void operator()(cairo_t* c) const { cairo_destroy(c); }
};
using Surface = std::unique_ptr<cairo_surface_t, SurfaceFree>;
using Context = std::unique_ptr<cairo_t, ContextFree>;

constexpr int kMaxSource = 8192;  // a larger PNG is no icon

bool endsWith(const std::string& s, std::string_view suffix) {
  return s.size() >= suffix.size() && std::equal(suffix.rbegin(), suffix.rend(), s.rbegin(), [](char a, char b) {
           return a == (b >= 'A' && b <= 'Z' ? static_cast<char>(b - 'A' + 'a') : b);
         });
}

Surface blankSquare(int size) {
  Surface s(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, size, size));
  if (cairo_surface_status(s.get()) != CAIRO_STATUS_SUCCESS) return nullptr;
  return s;
}

// cairo keeps premultiplied native-endian ARGB; the seam wants straight RGBA.
AppWorkspace::Icon toIcon(cairo_surface_t* surface, int size) {
  cairo_surface_flush(surface);
  AppWorkspace::Icon icon;
  icon.size = size;
  icon.rgba.resize(static_cast<std::size_t>(size) * size * 4);
  const unsigned char* data = cairo_image_surface_get_data(surface);
  int stride = cairo_image_surface_get_stride(surface);
  for (int y = 0; y < size; ++y) {
    const auto* row = reinterpret_cast<const std::uint32_t*>(data + static_cast<std::ptrdiff_t>(y) * stride);
    for (int x = 0; x < size; ++x) {
      std::uint32_t p = row[x];
      unsigned a = p >> 24, r = p >> 16 & 0xFF, g = p >> 8 & 0xFF, b = p & 0xFF;
      if (a != 0 && a != 255) {
        r = std::min(255u, (r * 255 + a / 2) / a);
        g = std::min(255u, (g * 255 + a / 2) / a);
        b = std::min(255u, (b * 255 + a / 2) / a);
      }
      auto* out = &icon.rgba[(static_cast<std::size_t>(y) * size + x) * 4];
      out[0] = static_cast<std::uint8_t>(r);
      out[1] = static_cast<std::uint8_t>(g);
      out[2] = static_cast<std::uint8_t>(b);
      out[3] = static_cast<std::uint8_t>(a);
    }
  }
  return icon;
}

// The rectangle of a width x height picture fitted into the square, centred.
struct Fit {
  double x, y, w, h;
};
Fit fit(double width, double height, int size) {
  double scale = std::min(size / width, size / height);
  double w = width * scale, h = height * scale;
  return {(size - w) / 2, (size - h) / 2, w, h};
}

// Straight ARGB pixels (one uint32 each) drawn scaled into the square.
std::optional<AppWorkspace::Icon> drawArgb(const std::uint32_t* pixels, int width, int height, int size) {
  Surface source(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height));
  Surface target = blankSquare(size);
  if (cairo_surface_status(source.get()) != CAIRO_STATUS_SUCCESS || !target) return std::nullopt;
  unsigned char* data = cairo_image_surface_get_data(source.get());
  int stride = cairo_image_surface_get_stride(source.get());
  for (int y = 0; y < height; ++y) {
    auto* row = reinterpret_cast<std::uint32_t*>(data + static_cast<std::ptrdiff_t>(y) * stride);
    for (int x = 0; x < width; ++x) {
      std::uint32_t p = pixels[static_cast<std::size_t>(y) * width + x];
      unsigned a = p >> 24, r = p >> 16 & 0xFF, g = p >> 8 & 0xFF, b = p & 0xFF;
      row[x] = a << 24 | (r * a + 127) / 255 << 16 | (g * a + 127) / 255 << 8 | (b * a + 127) / 255;
    }
  }
  cairo_surface_mark_dirty(source.get());
  Context cr(cairo_create(target.get()));
  Fit f = fit(width, height, size);
  cairo_translate(cr.get(), f.x, f.y);
  cairo_scale(cr.get(), f.w / width, f.h / height);
  cairo_set_source_surface(cr.get(), source.get(), 0, 0);
  cairo_pattern_set_filter(cairo_get_source(cr.get()), CAIRO_FILTER_GOOD);
  // Pixels beyond the picture's edge stay transparent, not smeared.
  cairo_pattern_set_extend(cairo_get_source(cr.get()), CAIRO_EXTEND_PAD);
  cairo_rectangle(cr.get(), 0, 0, width, height);
  cairo_fill(cr.get());
  if (cairo_status(cr.get()) != CAIRO_STATUS_SUCCESS) return std::nullopt;
  return toIcon(target.get(), size);
}

std::optional<AppWorkspace::Icon> renderPng(const std::string& path, int size) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return std::nullopt;
  if (image.width == 0 || image.height == 0 || image.width > kMaxSource || image.height > kMaxSource) {
    png_image_free(&image);
    return std::nullopt;
  }
  image.format = PNG_FORMAT_BGRA;  // little-endian ARGB words, straight alpha
  std::vector<std::uint32_t> pixels(static_cast<std::size_t>(image.width) * image.height);
  if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) {
    png_image_free(&image);
    return std::nullopt;
  }
  if constexpr (std::endian::native == std::endian::big) {
    for (auto& p : pixels) p = __builtin_bswap32(p);
  }
  return drawArgb(pixels.data(), static_cast<int>(image.width), static_cast<int>(image.height), size);
}

std::optional<AppWorkspace::Icon> renderSvg(const std::string& path, int size) {
  GError* error = nullptr;
  RsvgHandle* handle = rsvg_handle_new_from_file(path.c_str(), &error);
  if (!handle) {
    if (error) g_error_free(error);
    return std::nullopt;
  }
  std::unique_ptr<RsvgHandle, void (*)(gpointer)> owned(handle, g_object_unref);
  Surface target = blankSquare(size);
  if (!target) return std::nullopt;
  Context cr(cairo_create(target.get()));
  // librsvg fits a document with a viewBox into the viewport keeping its
  // aspect; one with only a width and height is fitted here.
  double width = size, height = size;
  gdouble w = 0, h = 0;
  if (rsvg_handle_get_intrinsic_size_in_pixels(handle, &w, &h) && w > 0 && h > 0) width = w, height = h;
  Fit f = fit(width, height, size);
  RsvgRectangle viewport{f.x, f.y, f.w, f.h};
  if (!rsvg_handle_render_document(handle, cr.get(), &viewport, &error)) {
    if (error) g_error_free(error);
    return std::nullopt;
  }
  return toIcon(target.get(), size);
}

}  // namespace

std::optional<AppWorkspace::Icon> renderIconFile(const std::string& path, int size) {
  if (size <= 0 || size > 4096) return std::nullopt;
  if (endsWith(path, ".png")) return renderPng(path, size);
  if (endsWith(path, ".svg") || endsWith(path, ".svgz")) return renderSvg(path, size);
  return std::nullopt;
}

std::optional<AppWorkspace::Icon> renderArgb(const ArgbImage& image, int size) {
  if (size <= 0 || size > 4096 || image.width <= 0 || image.height <= 0 ||
      image.pixels.size() < static_cast<std::size_t>(image.width) * image.height) {
    return std::nullopt;
  }
  return drawArgb(image.pixels.data(), image.width, image.height, size);
}

}  // namespace tillerpad::platform::linux_apps
