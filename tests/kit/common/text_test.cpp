#include <gtest/gtest.h>

#include "kit/common/text.h"

namespace tillerpad::kit {
namespace {

TEST(TextTest, ControlCharactersGoAndPrintableTextStays) {
  struct Case {
    std::string in;
    std::string out;
  };
  const Case cases[] = {
      {"Ada’s iPhone", "Ada’s iPhone"},
      {"Ada\nINFO server: forged", "AdaINFO server: forged"},
      {"\x1b]0;title\x07" "Ada\x1b[2J", "]0;titleAda[2J"},
      {"tab\there\x7f", "tabhere"},
      {"c1 \xc2\x9b" "31m and \xc2\x85 NEL", "c1 31m and  NEL"},
      {"lone \x9b byte and cut \xe2\x80", "lone  byte and cut "},
      {"\xc2\xa0nbsp, é, 😀", "\xc2\xa0nbsp, é, 😀"},
      {"bad leads \xf5\xa1\xa5 \xc0\xaf \xed\xa0\x80 \xf4\x90\x80\x80.", "bad leads    ."},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(withoutControlCharacters(c.in), c.out) << c.in;
}

}  // namespace
}  // namespace tillerpad::kit
