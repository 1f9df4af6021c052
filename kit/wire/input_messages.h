#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "kit/wire/open_text.h"

namespace tillerpad::kit {

enum class MouseButton { left, right, middle };

inline constexpr std::array<MouseButton, 3> allMouseButtons{MouseButton::left, MouseButton::right,
                                                            MouseButton::middle};
std::string_view toText(MouseButton button);
std::optional<MouseButton> mouseButtonFromText(std::string_view text);

struct MouseButtonEvent {
  enum class Action { down, up, click };
  static constexpr std::array<Action, 3> allActions{Action::down, Action::up, Action::click};

  MouseButton button = MouseButton::left;
  Action action = Action::click;
  friend bool operator==(const MouseButtonEvent&, const MouseButtonEvent&) = default;
};

std::string_view toText(MouseButtonEvent::Action action);
std::optional<MouseButtonEvent::Action> mouseActionFromText(std::string_view text);

// A key named by text: a named key, "f" + number, or one printable character.
struct Key : OpenText<Key> {
  using OpenText::OpenText;

  static const Key returnKey;  // "return"
  static const Key tab;
  static const Key space;
  static const Key deleteKey;  // "delete", erases backwards
  static const Key forwardDelete;
  static const Key escape;
  static const Key leftArrow;
  static const Key rightArrow;
  static const Key upArrow;
  static const Key downArrow;
  static const Key home;
  static const Key end;
  static const Key pageUp;
  static const Key pageDown;

  static Key functionKey(int n) { return Key("f" + std::to_string(n)); }

  // The text when it is exactly one user-perceived character (grapheme
  // cluster), which may be several code points.
  std::optional<std::string> character() const;
  // n for "f" + n written in decimal without leading zeros, n >= 1.
  std::optional<int> functionKeyNumber() const;
};

inline const Key Key::returnKey{"return"};
inline const Key Key::tab{"tab"};
inline const Key Key::space{"space"};
inline const Key Key::deleteKey{"delete"};
inline const Key Key::forwardDelete{"forwardDelete"};
inline const Key Key::escape{"escape"};
inline const Key Key::leftArrow{"leftArrow"};
inline const Key Key::rightArrow{"rightArrow"};
inline const Key Key::upArrow{"upArrow"};
inline const Key Key::downArrow{"downArrow"};
inline const Key Key::home{"home"};
inline const Key Key::end{"end"};
inline const Key Key::pageUp{"pageUp"};
inline const Key Key::pageDown{"pageDown"};

// Flags carried as one integer; bits outside the named ones are kept.
struct Modifiers {
  std::int64_t rawValue = 0;

  static constexpr std::int64_t commandBit = 1;
  static constexpr std::int64_t optionBit = 2;
  static constexpr std::int64_t controlBit = 4;
  static constexpr std::int64_t shiftBit = 8;
  static constexpr std::int64_t functionBit = 16;

  static constexpr Modifiers none() { return {0}; }
  static constexpr Modifiers command() { return {commandBit}; }
  static constexpr Modifiers option() { return {optionBit}; }
  static constexpr Modifiers control() { return {controlBit}; }
  static constexpr Modifiers shift() { return {shiftBit}; }
  static constexpr Modifiers function() { return {functionBit}; }

  constexpr bool contains(Modifiers m) const { return (rawValue & m.rawValue) == m.rawValue; }
  constexpr bool isEmpty() const { return rawValue == 0; }
  constexpr Modifiers operator|(Modifiers m) const { return {rawValue | m.rawValue}; }
  constexpr Modifiers operator&(Modifiers m) const { return {rawValue & m.rawValue}; }
  constexpr Modifiers& operator|=(Modifiers m) {
    rawValue |= m.rawValue;
    return *this;
  }
  friend constexpr bool operator==(const Modifiers&, const Modifiers&) = default;
};

struct KeyPress {
  Key key;
  Modifiers modifiers;
  friend bool operator==(const KeyPress&, const KeyPress&) = default;
};

struct TextInput {
  std::string text;
  friend bool operator==(const TextInput&, const TextInput&) = default;
};

struct Range {
  double lower;
  double upper;
  constexpr bool contains(double v) const { return v >= lower && v <= upper; }
  constexpr double clamp(double v) const { return v < lower ? lower : (v > upper ? upper : v); }
};

// The phone's pointer and scroll preferences. Decoding does not check the
// ranges; they are what the phone offers its user.
struct InputSettings {
  double pointerSpeed = 1.5;
  double pointerAcceleration = 1.0;
  double scrollSpeed = 1.0;
  bool naturalScrolling = true;

  static constexpr Range pointerSpeedRange{0.5, 4.0};
  static constexpr Range pointerAccelerationRange{0.0, 3.0};
  static constexpr Range scrollSpeedRange{0.25, 3.0};
  static constexpr InputSettings defaults() { return {}; }

  friend bool operator==(const InputSettings&, const InputSettings&) = default;
};

struct PermissionStatus {
  bool accessibility = false;
  bool screenRecording = false;
  friend bool operator==(const PermissionStatus&, const PermissionStatus&) = default;
};

}  // namespace tillerpad::kit
