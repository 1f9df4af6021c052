#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace tillerpad::platform {
class KeyboardLayout;
class KeyboardLayoutSource;
}  // namespace tillerpad::platform

namespace tillerpad::host {

// Which key (host virtual key code) types a character on the selected
// layout, and whether shift must be held. A plain value; the empty map is
// valid and makes every character fall back to typed text.
struct KeyboardLayoutMap {
  struct Entry {
    std::uint16_t keyCode = 0;
    bool needsShift = false;
    friend bool operator==(const Entry&, const Entry&) = default;
  };

  // Keys are one grapheme cluster in UTF-8.
  std::map<std::string, Entry, std::less<>> entries;

  // Scans key codes 0 to 127, unshifted then shifted; the first entry of a
  // character wins.
  static KeyboardLayoutMap build(const platform::KeyboardLayout& layout);
  // The map of the layout selected now; empty when there is none.
  static KeyboardLayoutMap current(platform::KeyboardLayoutSource& source);

  // An upper-case character the layout lists only in lower case is the
  // lower-case key with shift.
  std::optional<Entry> entry(std::string_view character) const;

  friend bool operator==(const KeyboardLayoutMap&, const KeyboardLayoutMap&) = default;
};

}  // namespace tillerpad::host
