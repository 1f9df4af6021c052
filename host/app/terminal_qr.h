#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tillerpad::host {

// A QR code (error correction M) drawn with text: each line holds two rows
// of modules as half blocks, dark modules drawn, with a four-module quiet
// zone. `colours` adds black-on-white terminal colours so that the code
// scans on dark terminal themes too. Empty when the text does not fit a QR
// code.
std::vector<std::string> terminalQr(std::string_view text, bool colours);

}  // namespace tillerpad::host
