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
      std::string glyph = line.substr(i, 3);
      bool block = glyph == "█" || glyph == "▀" || glyph == "▄";
      top.push_back(block && glyph != "▄");
      bottom.push_back(block && glyph != "▀");
      i += block ? 3 : 1;
    }
    rows.push_back(top);
    rows.push_back(bottom);
  }
  const std::size_t scale = 4, height = rows.size() * scale, width = rows.at(0).size() * scale;
  std::vector<unsigned char> pixels(width * height, 255);
  for (std::size_t y = 0; y < height; ++y) {
    const auto& row = rows[y / scale];
    for (std::size_t x = 0; x < width && x / scale < row.size(); ++x) {
      if (row[x / scale]) pixels[y * width + x] = 0;
    }
  }
  zbar::ImageScanner scanner;
  scanner.set_config(zbar::ZBAR_NONE, zbar::ZBAR_CFG_ENABLE, 0);
  scanner.set_config(zbar::ZBAR_QRCODE, zbar::ZBAR_CFG_ENABLE, 1);
  zbar::Image image(static_cast<unsigned>(width), static_cast<unsigned>(height), "Y800", pixels.data(), pixels.size());
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
