#include "kit/wire/input_messages.h"

#include <unicode/ubrk.h>
#include <unicode/utext.h>

#include <memory>

namespace tillerpad::kit {
namespace {

constexpr std::array<std::string_view, 3> kButtonNames{"left", "right", "middle"};
constexpr std::array<std::string_view, 3> kActionNames{"down", "up", "click"};

template <class E, std::size_t N>
std::optional<E> fromNames(const std::array<std::string_view, N>& names, std::string_view text) {
  for (std::size_t i = 0; i < N; ++i) {
    if (names[i] == text) return static_cast<E>(i);
  }
  return std::nullopt;
}

struct BreakIteratorCloser {
  void operator()(UBreakIterator* it) const { ubrk_close(it); }
};
struct TextCloser {
  void operator()(UText* t) const { utext_close(t); }
};

// True when `text` (UTF-8) is exactly one extended grapheme cluster.
bool isSingleGrapheme(std::string_view text) {
  if (text.empty()) return false;
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<UText, TextCloser> utext(
      utext_openUTF8(nullptr, text.data(), static_cast<int64_t>(text.size()), &status));
  if (U_FAILURE(status)) return false;
  std::unique_ptr<UBreakIterator, BreakIteratorCloser> it(ubrk_open(UBRK_CHARACTER, "", nullptr, 0, &status));
  if (U_FAILURE(status)) return false;
  ubrk_setUText(it.get(), utext.get(), &status);
  if (U_FAILURE(status)) return false;
  ubrk_first(it.get());
  int32_t second = ubrk_next(it.get());
  return second != UBRK_DONE && ubrk_next(it.get()) == UBRK_DONE;
}

}  // namespace

std::string_view toText(MouseButton button) { return kButtonNames[static_cast<std::size_t>(button)]; }

std::optional<MouseButton> mouseButtonFromText(std::string_view text) {
  return fromNames<MouseButton>(kButtonNames, text);
}

std::string_view toText(MouseButtonEvent::Action action) { return kActionNames[static_cast<std::size_t>(action)]; }

std::optional<MouseButtonEvent::Action> mouseActionFromText(std::string_view text) {
  return fromNames<MouseButtonEvent::Action>(kActionNames, text);
}

std::optional<std::string> Key::character() const {
  if (!isSingleGrapheme(rawValue)) return std::nullopt;
  return rawValue;
}

std::optional<int> Key::functionKeyNumber() const {
  std::string_view text = rawValue;
  if (text.size() < 2 || text.size() > 4 || text[0] != 'f' || text[1] == '0') return std::nullopt;
  int n = 0;
  for (char c : text.substr(1)) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + (c - '0');
  }
  return n;
}

}  // namespace tillerpad::kit
