#pragma once

#include <string>
#include <utility>

namespace tillerpad::kit {

// An open vocabulary: any text decodes and is encoded back unchanged; the
// named values are static constants of the derived type. Receivers ignore
// texts they do not know.
template <class Derived>
struct OpenText {
  std::string rawValue;

  OpenText() = default;
  explicit OpenText(std::string raw) : rawValue(std::move(raw)) {}

  friend bool operator==(const Derived& a, const Derived& b) { return a.rawValue == b.rawValue; }
};

}  // namespace tillerpad::kit
