// Text that the keyboard layout cannot type, typed through spare key codes
// into clients of another process that look keys up the way X toolkits do:
// each reads the server's key map when it handles the key, so a code bound
// anew before that reads as the wrong character. Runs under with_xvfb.sh.
#include <gtest/gtest.h>

#include <cstdlib>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/linux/x11_input.h"
#include "tests/support/child_process.h"

namespace tillerpad {
namespace {

using namespace std::chrono_literals;
using platform::linux_x11::X11Input;
using Clock = std::chrono::steady_clock;

using Client = test::ChildProcess;

// The code points the client reports, until `count` or the deadline.
std::u32string typedBy(Client& client, std::size_t count, Clock::time_point deadline) {
  std::u32string out;
  while (out.size() < count) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    auto line = left.count() > 0 ? client.nextLine(left) : std::nullopt;
    if (!line) break;
    out.push_back(static_cast<char32_t>(std::stoul(*line, nullptr, 16)));
  }
  return out;
}

// Texts of 200 distinct characters that no US key has (Latin-1 and Latin
// Extended-A letters, Greek and Cyrillic), a different stretch for each run.
std::vector<std::u32string> distinctTexts(std::size_t runs) {
  std::u32string all;
  for (char32_t c = 0xC0; c <= 0x44F; ++c) {
    bool greek = c >= 0x391 && c <= 0x3C9 && c != 0x3A2 && (c <= 0x3A9 || c >= 0x3B1);
    if ((c <= 0x17F && c != 0xD7 && c != 0xF7) || greek || c >= 0x410) all.push_back(c);
  }
  std::vector<std::u32string> texts(runs);
  for (std::size_t run = 0; run < runs; ++run) {
    for (std::size_t i = 0; i < 200; ++i) texts[run].push_back(all[(run * 37 + i) % all.size()]);
  }
  return texts;
}

std::u16string utf16(const std::u32string& text) {
  std::u16string out;
  for (char32_t c : text) out.push_back(static_cast<char16_t>(c));  // all below U+FFFF here
  return out;
}

class X11TextTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "run through with_xvfb.sh";
    input = X11Input::open("", kit::Logger());
    ASSERT_TRUE(input);
  }

  // Types each text into the client and expects it exactly; prints the
  // typing speed.
  void typeInto(Client& client, const std::vector<std::u32string>& texts, const char* name) {
    double slowest = 1e9, fastest = 0;
    for (std::size_t run = 0; run < texts.size(); ++run) {
      SCOPED_TRACE(run);
      const std::u32string& text = texts[run];
      auto start = Clock::now();
      ASSERT_TRUE(input->postText({true, utf16(text)}));
      double seconds = std::chrono::duration<double>(Clock::now() - start).count();
      std::u32string typed = typedBy(client, text.size(), Clock::now() + 30s);
      ASSERT_TRUE(typed == text) << typed.size() << " arrived";
      double rate = static_cast<double>(text.size()) / seconds;
      slowest = std::min(slowest, rate);
      fastest = std::max(fastest, rate);
    }
    std::printf("%s: %zu texts of %zu characters typed at %.0f to %.0f characters per second\n", name, texts.size(),
                texts[0].size(), slowest, fastest);
  }

  // Twenty runs in a row by default; the sanitizer runs in CI, which check
  // memory and threads rather than the odds of a lost character, ask for fewer.
  static std::size_t distinctRuns() {
    long runs = std::getenv("TILLERPAD_TEXT_RUNS") ? std::atol(std::getenv("TILLERPAD_TEXT_RUNS")) : 0;
    return runs > 0 ? static_cast<std::size_t>(runs) : 20;
  }

  std::unique_ptr<X11Input> input;
};

TEST_F(X11TextTest, XlibClientReadsEveryCharacter) {
  // Busy for half a second after each batch of events, as an application
  // that paints or collects garbage.
  Client client(TILLERPAD_XLIB_TEXT_CLIENT, {"500"});
  ASSERT_EQ(client.nextLine(20s), "ready");
  typeInto(client, distinctTexts(distinctRuns()), "xlib client, 200 distinct");

  // Words of a language the layout lacks repeat a few letters: their
  // bindings are reused, so typing need not wait for spare codes.
  std::u32string word = U"\u03ba\u03b1\u03bb\u03b7\u03bc\u03ad\u03c1\u03b1 ";  // "καλημέρα "
  std::u32string repeated;
  while (repeated.size() < 200) repeated += word;
  repeated.resize(200);
  typeInto(client, {repeated, repeated}, "xlib client, repeated word");
}

TEST_F(X11TextTest, GtkEntryReadsEveryCharacter) {
  // Debian's own Python, where python3-gi is installed.
  if (::system("/usr/bin/python3 -c 'import gi; gi.require_version(\"Gtk\", \"3.0\"); from gi.repository import Gtk' "
               "2>/dev/null") != 0) {
    GTEST_SKIP() << "no python3-gi with GTK 3";
  }
  Client client("/usr/bin/python3", {TILLERPAD_GTK_TEXT_CLIENT});
  ASSERT_EQ(client.nextLine(20s), "ready");
  typeInto(client, distinctTexts(2), "GTK entry, 200 distinct");
}

}  // namespace
}  // namespace tillerpad
