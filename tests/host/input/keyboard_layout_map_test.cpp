#include "host/input/keyboard_layout_map.h"

#include <gtest/gtest.h>

#include "platform/fake/fake_keyboard_layout.h"

namespace tillerpad::host {
namespace {

using Entry = KeyboardLayoutMap::Entry;
using platform::fake::TableKeyboardLayout;

// A few keys of a US layout, plus oddities a real layout can produce.
TableKeyboardLayout::Table usTable() {
  return {
      {{0, false}, u"a"},  {{0, true}, u"A"},  {{18, false}, u"1"},  {{18, true}, u"!"},
      {{49, false}, u" "}, {{49, true}, u" "}, {{36, false}, u"\r"}, {{48, false}, u"\t"},
      {{83, false}, u"1"},                                        // keypad 1: the main row wins
      {{10, false}, u"\u00A0"},                                   // no-break space is whitespace too
      {{11, false}, u"\U0001F600"},                               // two UTF-16 units: skipped
      {{12, false}, u"qq"},                                       // two characters: skipped
      {{13, false}, u"\x1b"},                                     // a control character
      {{14, false}, u"\u00E9"},                                   // é, with no key for É
      {{15, true}, u"\u00DF"},                                    // ß only shifted
      {{16, false}, u"\u00DF"},                                   // ...and unshifted on a higher key
      {{127, true}, u"\u00B5"},                                   // the last scanned key
      {{128, false}, u"x"},                                       // beyond the scan
  };
}

TEST(KeyboardLayoutMap, BuildScansInOrderAndKeepsTheFirstEntry) {
  auto map = KeyboardLayoutMap::build(TableKeyboardLayout(usTable()));
  std::map<std::string, Entry, std::less<>> expected{
      {"a", {0, false}},        {"A", {0, true}},         {"1", {18, false}}, {"!", {18, true}},
      {"\u00E9", {14, false}},  {"\u00DF", {15, true}},   {"\u00B5", {127, true}},
  };
  EXPECT_EQ(map.entries, expected);
}

TEST(KeyboardLayoutMap, LookupFallsBackToShiftedLowercase) {
  auto map = KeyboardLayoutMap::build(TableKeyboardLayout(usTable()));
  struct Case {
    const char* character;
    std::optional<Entry> expected;
  };
  for (const Case& c : {Case{"a", Entry{0, false}}, Case{"A", Entry{0, true}}, Case{"!", Entry{18, true}},
                        Case{"\u00C9", Entry{14, true}},  // É → shift + é
                        Case{"\U0001F600", std::nullopt}, Case{"B", std::nullopt}, Case{" ", std::nullopt},
                        Case{"", std::nullopt}}) {
    EXPECT_EQ(map.entry(c.character), c.expected) << c.character;
  }
}

TEST(KeyboardLayoutMap, CurrentIsEmptyWithoutALayoutAndFollowsTheSource) {
  platform::fake::FakeKeyboardLayoutSource source;
  int changes = 0;
  source.setOnChange([&] { ++changes; });
  EXPECT_TRUE(KeyboardLayoutMap::current(source).entries.empty());
  source.select(usTable());
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(KeyboardLayoutMap::current(source).entry("a"), (Entry{0, false}));
}

}  // namespace
}  // namespace tillerpad::host
