// The settings manager's XSETTINGS blob is read from another client's window
// property: any bytes must be refused or read within bounds.
#include <cstdint>
#include <span>

#include "platform/linux/xsettings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::span<const std::uint8_t> blob(data, size);
  (void)tillerpad::platform::linux_x11::xsettingsInteger(blob, "Net/DoubleClickTime");
  (void)tillerpad::platform::linux_x11::xsettingsInteger(blob, "");
  (void)tillerpad::platform::linux_x11::xsettingsString(blob, "Net/IconThemeName");
  return 0;
}
