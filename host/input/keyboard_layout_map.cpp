#include "host/input/keyboard_layout_map.h"

#include <unicode/uchar.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>

#include "platform/keyboard_layout_source.h"

namespace tillerpad::host {
namespace {

constexpr std::uint16_t kScannedKeyCodes = 128;

std::string toUtf8(const std::u16string& text) {
  std::string out(text.size() * 3 + 1, '\0');
  int32_t length = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strToUTF8(out.data(), static_cast<int32_t>(out.size()), &length, text.data(), static_cast<int32_t>(text.size()),
              &status);
  if (U_FAILURE(status)) return {};
  out.resize(static_cast<std::size_t>(length));
  return out;
}

std::optional<std::u16string> toUtf16(std::string_view text) {
  std::u16string out(text.size() + 1, u'\0');
  int32_t length = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strFromUTF8(out.data(), static_cast<int32_t>(out.size()), &length, text.data(), static_cast<int32_t>(text.size()),
                &status);
  if (U_FAILURE(status)) return std::nullopt;
  out.resize(static_cast<std::size_t>(length));
  return out;
}

std::optional<std::string> lowercase(std::string_view character) {
  auto utf16 = toUtf16(character);
  if (!utf16) return std::nullopt;
  std::u16string lower(utf16->size() * 3 + 4, u'\0');
  UErrorCode status = U_ZERO_ERROR;
  int32_t length = u_strToLower(lower.data(), static_cast<int32_t>(lower.size()), utf16->data(),
                                static_cast<int32_t>(utf16->size()), "", &status);
  if (U_FAILURE(status)) return std::nullopt;
  lower.resize(static_cast<std::size_t>(length));
  return toUtf8(lower);
}

}  // namespace

KeyboardLayoutMap KeyboardLayoutMap::build(const platform::KeyboardLayout& layout) {
  KeyboardLayoutMap map;
  for (std::uint16_t code = 0; code < kScannedKeyCodes; ++code) {
    for (bool shifted : {false, true}) {
      std::u16string units = layout.translate(code, shifted);
      if (units.size() != 1) continue;
      char16_t unit = units[0];
      if (U16_IS_SURROGATE(unit) || unit < 0x20 || u_isUWhiteSpace(unit)) continue;
      map.entries.try_emplace(toUtf8(units), Entry{code, shifted});
    }
  }
  return map;
}

KeyboardLayoutMap KeyboardLayoutMap::current(platform::KeyboardLayoutSource& source) {
  auto layout = source.currentLayout();
  return layout ? build(*layout) : KeyboardLayoutMap{};
}

std::optional<KeyboardLayoutMap::Entry> KeyboardLayoutMap::entry(std::string_view character) const {
  if (auto it = entries.find(character); it != entries.end()) return it->second;
  auto lower = lowercase(character);
  if (!lower || *lower == character) return std::nullopt;
  if (auto it = entries.find(*lower); it != entries.end()) return Entry{it->second.keyCode, true};
  return std::nullopt;
}

}  // namespace tillerpad::host
