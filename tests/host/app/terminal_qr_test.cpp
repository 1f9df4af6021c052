#include <gtest/gtest.h>

#include <zbar.h>

#include <string>
#include <vector>

#include "host/app/terminal_qr.h"

namespace tillerpad::host {
namespace {

// The half blocks read back into modules, drawn as a grey image and given to
// a QR decoder: what a camera would see on the terminal.
std::string decode(const std::vector<std::string>& lines) {
  std::vector<std::vector<bool>> rows;
  for (const auto& line : lines) {
    std::vector<bool> top, bottom;
    for (std::size_t i = 0; i < line.size();) {
      if (line.compare(i, 3, "█") == 0 || line.compare(i, 3, "▀") == 0 || line.compare(i, 3, "▄") == 0) {
        std::string glyph = line.substr(i, 3);
        top.push_back(glyph != "▄");
        bottom.push_back(glyph != "▀");
        i += 3;
      } else {
        top.push_back(false);
        bottom.push_back(false);
        i += 1;
      }
    }
    rows.push_back(top);
    rows.push_back(bottom);
  }
  const int scale = 4;
  const int height = static_cast<int>(rows.size()) * scale;
  const int width = static_cast<int>(rows.at(0).size()) * scale;
  std::vector<unsigned char> pixels(static_cast<std::size_t>(width * height), 255);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const auto& row = rows[static_cast<std::size_t>(y / scale)];
      if (static_cast<std::size_t>(x / scale) < row.size() && row[static_cast<std::size_t>(x / scale)]) {
        pixels[static_cast<std::size_t>(y * width + x)] = 0;
      }
    }
  }
  zbar::ImageScanner scanner;
  scanner.set_config(zbar::ZBAR_NONE, zbar::ZBAR_CFG_ENABLE, 0);
  scanner.set_config(zbar::ZBAR_QRCODE, zbar::ZBAR_CFG_ENABLE, 1);
  zbar::Image image(static_cast<unsigned>(width), static_cast<unsigned>(height), "Y800", pixels.data(),
                    pixels.size());
  if (scanner.scan(image) <= 0) return {};
  return image.symbol_begin()->get_data();
}

TEST(TerminalQrTest, TheDrawnCodeScansBackToTheText) {
  // As long as a real pairing code: 69 bytes in Base64 behind the prefix.
  std::string code = "TILLERPAD:AWiehnoSNUD9tIU5w_tZJ0iUV2BnWpZLOarb0CHQ4LxJ2egTQyM6hcShH0c4pQ8bL-f-5qNX6UycLebKo6P0VZNrFc8E";
  auto plain = terminalQr(code, false);
  ASSERT_FALSE(plain.empty());
  EXPECT_EQ(decode(plain), code);

  // With colours every line is wrapped, and the drawing is the same.
  auto coloured = terminalQr(code, true);
  ASSERT_EQ(coloured.size(), plain.size());
  for (std::size_t i = 0; i < plain.size(); ++i) {
    EXPECT_EQ(coloured[i], "\x1b[30;107m" + plain[i] + "\x1b[0m");
  }
  EXPECT_TRUE(terminalQr(std::string(4000, 'x'), false).empty());  // beyond the largest QR code
}

}  // namespace
}  // namespace tillerpad::host
