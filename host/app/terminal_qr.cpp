#include "host/app/terminal_qr.h"

#include <qrencode.h>

#include <memory>

namespace tillerpad::host {
namespace {

struct QrFree {
  void operator()(QRcode* code) const { QRcode_free(code); }
};

constexpr int quietZone = 4;

}  // namespace

std::vector<std::string> terminalQr(std::string_view text, bool colours) {
  std::string data(text);
  std::unique_ptr<QRcode, QrFree> code(QRcode_encodeString8bit(data.c_str(), 0, QR_ECLEVEL_M));
  if (!code) return {};
  const int width = code->width;
  const int size = width + 2 * quietZone;
  auto dark = [&](int row, int column) {
    int r = row - quietZone, c = column - quietZone;
    if (r < 0 || c < 0 || r >= width || c >= width) return false;
    return (code->data[r * width + c] & 1) != 0;
  };
  std::vector<std::string> lines;
  for (int row = 0; row < size; row += 2) {
    std::string line = colours ? "\x1b[30;107m" : "";
    for (int column = 0; column < size; ++column) {
      bool top = dark(row, column);
      bool bottom = row + 1 < size && dark(row + 1, column);
      line += top && bottom ? "█" : top ? "▀" : bottom ? "▄" : " ";
    }
    if (colours) line += "\x1b[0m";
    lines.push_back(std::move(line));
  }
  return lines;
}

}  // namespace tillerpad::host
