#include "host/clipboard/image_conversion.h"

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <memory>

namespace tillerpad::host {
namespace {

struct Unref {
  void operator()(GdkPixbuf* p) const { g_object_unref(p); }
};
using Pixbuf = std::unique_ptr<GdkPixbuf, Unref>;

Pixbuf decode(const ImageBytes& data) {
  if (data.empty()) return nullptr;
  GdkPixbufLoader* loader = gdk_pixbuf_loader_new();
  bool ok = gdk_pixbuf_loader_write(loader, data.data(), data.size(), nullptr);
  // Closing is needed in every case; it fails for truncated images.
  ok = gdk_pixbuf_loader_close(loader, nullptr) && ok;
  Pixbuf result;
  if (ok) {
    if (GdkPixbuf* p = gdk_pixbuf_loader_get_pixbuf(loader)) result.reset(GDK_PIXBUF(g_object_ref(p)));
  }
  g_object_unref(loader);
  return result;
}

std::optional<ImageBytes> encode(GdkPixbuf* image, const char* type, const char* key, const char* value) {
  gchar* buffer = nullptr;
  gsize size = 0;
  GError* error = nullptr;
  gboolean ok = key ? gdk_pixbuf_save_to_buffer(image, &buffer, &size, type, &error, key, value, nullptr)
                    : gdk_pixbuf_save_to_buffer(image, &buffer, &size, type, &error, nullptr);
  if (error) g_error_free(error);
  if (!ok || !buffer) {
    g_free(buffer);
    return std::nullopt;
  }
  ImageBytes bytes(reinterpret_cast<const std::uint8_t*>(buffer), reinterpret_cast<const std::uint8_t*>(buffer) + size);
  g_free(buffer);
  return bytes;
}

// JPEG has no alpha: transparent parts become white, as they look pasted on a page.
Pixbuf opaque(GdkPixbuf* image) {
  if (!gdk_pixbuf_get_has_alpha(image)) return Pixbuf(GDK_PIXBUF(g_object_ref(image)));
  int w = gdk_pixbuf_get_width(image), h = gdk_pixbuf_get_height(image);
  Pixbuf flat(gdk_pixbuf_composite_color_simple(image, w, h, GDK_INTERP_NEAREST, 255, 8, 0xFFFFFF, 0xFFFFFF));
  if (!flat) return nullptr;
  Pixbuf rgb(gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, w, h));
  if (!rgb) return nullptr;
  const int channels = gdk_pixbuf_get_n_channels(flat.get());
  for (int y = 0; y < h; ++y) {
    const guchar* from = gdk_pixbuf_get_pixels(flat.get()) + y * gdk_pixbuf_get_rowstride(flat.get());
    guchar* to = gdk_pixbuf_get_pixels(rgb.get()) + y * gdk_pixbuf_get_rowstride(rgb.get());
    for (int x = 0; x < w; ++x) {
      to[3 * x] = from[channels * x];
      to[3 * x + 1] = from[channels * x + 1];
      to[3 * x + 2] = from[channels * x + 2];
    }
  }
  return rgb;
}

}  // namespace

std::optional<kit::ClipboardImage> convertForPhone(const ImageBytes& data, std::size_t limit) {
  auto image = decode(data);
  if (!image) return std::nullopt;
  if (auto png = encode(image.get(), "png", nullptr, nullptr); png && png->size() <= limit) {
    return kit::ClipboardImage{kit::ImageFormat::png, kit::Blob{std::move(*png)}};
  }
  auto flat = opaque(image.get());
  if (!flat) return std::nullopt;
  auto jpeg = encode(flat.get(), "jpeg", "quality", "85");
  if (!jpeg) return std::nullopt;
  // Possibly still too large: the caller's size check drops it then.
  return kit::ClipboardImage{kit::ImageFormat::jpeg, kit::Blob{std::move(*jpeg)}};
}

std::optional<ImageBytes> pngForm(const ImageBytes& data) {
  auto image = decode(data);
  if (!image) return std::nullopt;
  return encode(image.get(), "png", nullptr, nullptr);
}

std::optional<std::pair<int, int>> imageSize(const ImageBytes& data) {
  auto image = decode(data);
  if (!image) return std::nullopt;
  return std::pair{gdk_pixbuf_get_width(image.get()), gdk_pixbuf_get_height(image.get())};
}

}  // namespace tillerpad::host
