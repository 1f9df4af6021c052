#include "host/ui/qr_image.h"

#include <qrencode.h>

#include <memory>
#include <string>

namespace tillerpad::ui {

QImage qrImage(std::string_view text, int scale) {
  struct Free {
    void operator()(QRcode* code) const { QRcode_free(code); }
  };
  const std::string data(text);
  std::unique_ptr<QRcode, Free> code(QRcode_encodeString8bit(data.c_str(), 0, QR_ECLEVEL_M));
  if (!code || scale < 1) return {};
  const int width = code->width;
  QImage image(width * scale, width * scale, QImage::Format_Grayscale8);
  image.fill(255);
  for (int y = 0; y < image.height(); ++y) {
    uchar* line = image.scanLine(y);
    const unsigned char* modules = code->data + (y / scale) * width;
    for (int x = 0; x < image.width(); ++x) {
      if (modules[x / scale] & 1) line[x] = 0;
    }
  }
  return image;
}

}  // namespace tillerpad::ui
