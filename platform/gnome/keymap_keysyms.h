#pragma once

// Which characters the compositor's keyboard layout can type. Mutter types a
// keysym only when some key of the current layout produces it and silently
// drops the rest, so the backend asks first and sends the others another way.
#include <chrono>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tillerpad::platform::gnome {

using Keysyms = std::set<std::uint32_t>;

// The keymap the compositor hands its Wayland clients (text form), or nothing
// when there is no Wayland display or it does not answer within `limit`.
std::optional<std::string> readCompositorKeymap(std::chrono::milliseconds limit);

// Every keysym that a key of the keymap's first layout produces, at any
// level. Empty when the text is not a keymap.
Keysyms keysymsOfKeymap(const std::string& keymapText);
// The same for a keymap made from layout names (as xkbcommon's defaults:
// "us", "de", "fr" with a variant ...).
Keysyms keysymsOfLayout(const std::string& layout, const std::string& variant = {});

// Text to type, in order: runs typed key by key and runs that no key of the
// layout produces (pasted).
struct TextRun {
  bool typed = true;
  std::vector<std::uint32_t> keysyms;  // typed: one per character
  std::u32string characters;           // pasted
  friend bool operator==(const TextRun&, const TextRun&) = default;
};
// Control characters are left out; unpaired surrogates name nothing.
std::vector<TextRun> planText(const std::u16string& text, const Keysyms& available);

}  // namespace tillerpad::platform::gnome
