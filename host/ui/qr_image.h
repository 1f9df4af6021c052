#pragma once

#include <QImage>

#include <string_view>

namespace tillerpad::ui {

// `text` as a QR code (error correction M, 8-bit mode), black on white with
// every module `scale` pixels square and no quiet zone; null when the text
// does not fit a QR code.
QImage qrImage(std::string_view text, int scale = 10);

}  // namespace tillerpad::ui
