#include "kit/clipboard/clipboard_policy.h"

#include <gtest/gtest.h>

namespace tillerpad::kit {
namespace {

using ClipboardPolicy::Choice;

TEST(ClipboardPolicyTest, DecidesFromTypesAndText) {
  const std::string plain = "public.utf8-plain-text";
  const std::string png = "public.png", tiff = "public.tiff";
  struct Case {
    const char* name;
    std::vector<std::string> types;
    std::optional<std::string> text;
    Choice expected;
  };
  const Case cases[] = {
      // Secrets, whichever marker carries them.
      {"concealed password", {plain, "org.nspasteboard.ConcealedType"}, "hunter2", Choice::nothing},
      {"KDE password hint", {plain, "x-kde-passwordManagerHint"}, "hunter2", Choice::nothing},
      {"marker with an image", {png, tiff, "org.nspasteboard.TransientType"}, std::nullopt, Choice::nothing},
      {"marker spelled in other case is no marker", {plain, "X-KDE-PASSWORDMANAGERHINT"}, "text", Choice::text},
      // Copied files, even with text and images beside them.
      {"copied file", {png, tiff, plain, "public.file-url"}, "/home/me/a.png", Choice::nothing},
      {"legacy file list", {"NSFilenamesPboardType"}, "a.txt", Choice::nothing},
      // Text alone.
      {"blank text", {plain}, " \n\t\r\n  ", Choice::nothing},
      {"text with Unicode spaces only", {plain}, "\u00a0\u2003\u3000", Choice::nothing},
      {"nothing at all", {}, std::nullopt, Choice::nothing},
      // Image with or without text.
      {"image, text absent", {png, tiff}, std::nullopt, Choice::image},
      {"image, blank text", {png, tiff, plain}, "  \n", Choice::image},
      {"image and one https address", {png, tiff, plain}, "https://example.com/cat.png", Choice::image},
      {"image and an http address in whitespace", {"public.jpeg", plain}, "\n http://a.com:80/a?b#d ", Choice::image},
      {"image and a word before the address", {png, tiff, plain}, "see https://example.com/cat.png", Choice::text},
      {"image and an ftp address", {png, tiff, plain}, "ftp://example.com/cat.png", Choice::text},
      {"image and an upper-case scheme", {png, tiff, plain}, "HTTPS://example.com/", Choice::text},
      {"image and an address without host", {png, tiff, plain}, "https:///path", Choice::text},
      {"image and an address with a no-break space", {png, plain}, "https://a.com/\u00a0x", Choice::text},
      {"image and ordinary text", {png, plain}, "a caption", Choice::text},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ClipboardPolicy::choice(c.types, c.text), c.expected);
  }
}

}  // namespace
}  // namespace tillerpad::kit
