// The GNOME backend's pieces that need no Mutter: which characters a layout
// types, and the monitor arrangement DisplayConfig reports.
#include <gtest/gtest.h>
#include <xkbcommon/xkbcommon-keysyms.h>

#include "platform/gnome/display_config.h"
#include "platform/gnome/keymap_keysyms.h"

namespace tillerpad::platform::gnome {
namespace {

TEST(GnomeKeysyms, LayoutsDifferInWhatTheyType) {
  auto us = keysymsOfLayout("us");
  auto de = keysymsOfLayout("de");
  ASSERT_FALSE(us.empty());
  EXPECT_TRUE(us.contains(XKB_KEY_a) && us.contains(XKB_KEY_A) && us.contains(XKB_KEY_exclam));
  EXPECT_FALSE(us.contains(XKB_KEY_odiaeresis));
  EXPECT_TRUE(de.contains(XKB_KEY_odiaeresis));
  EXPECT_TRUE(keysymsOfKeymap("not a keymap").empty());
}

TEST(GnomeKeysyms, TextSplitsIntoTypedAndPastedRuns) {
  const Keysyms us = keysymsOfLayout("us");
  const Keysyms de = keysymsOfLayout("de");
  auto typed = [](std::vector<std::uint32_t> syms) {
    TextRun r;
    r.keysyms = std::move(syms);
    return r;
  };
  auto pasted = [](std::u32string text) {
    TextRun r;
    r.typed = false;
    r.characters = std::move(text);
    return r;
  };
  struct Case {
    std::u16string text;
    const Keysyms* layout;
    std::vector<TextRun> runs;
  };
  const Case cases[] = {
      {u"wörld ✓", &us, {typed({'w'}), pasted(U"ö"), typed({'r', 'l', 'd', ' '}), pasted(U"✓")}},
      {u"wörld ✓", &de, {typed({'w', XKB_KEY_odiaeresis, 'r', 'l', 'd', ' '}), pasted(U"✓")}},
      // Control characters are dropped, a pair of surrogates is one character,
      // a lone surrogate none.
      {u"a\tb\u0085", &us, {typed({'a', 'b'})}},
      {u"\U0001F600x\xD800", &us, {pasted(U"\U0001F600"), typed({'x'})}},
      {u"", &us, {}},
  };
  for (const auto& c : cases) EXPECT_EQ(c.runs, planText(c.text, *c.layout));
}

// A GetCurrentState answer with one physical monitor per logical one.
struct Monitor {
  const char* connector;
  int width, height;
  int x, y;
  double scale;
  unsigned transform;
  bool primary;
};

GVariant* currentState(const std::vector<Monitor>& monitors, std::uint32_t layoutMode) {
  GVariantBuilder physical, logical, props;
  g_variant_builder_init(&physical, G_VARIANT_TYPE("a((ssss)a(siiddada{sv})a{sv})"));
  g_variant_builder_init(&logical, G_VARIANT_TYPE("a(iiduba(ssss)a{sv})"));
  for (const auto& m : monitors) {
    GVariantBuilder modes, modeProps, other;
    g_variant_builder_init(&modes, G_VARIANT_TYPE("a(siiddada{sv})"));
    g_variant_builder_init(&modeProps, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&modeProps, "{sv}", "is-current", g_variant_new_boolean(TRUE));
    GVariantBuilder scales;
    g_variant_builder_init(&scales, G_VARIANT_TYPE("ad"));
    g_variant_builder_add(&scales, "d", 1.0);
    // A larger mode that is not current comes first: it must be passed over.
    GVariantBuilder idle;
    g_variant_builder_init(&idle, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&modes, "(siiddad@a{sv})", "big", 4000, 3000, 60.0, 1.0, nullptr, g_variant_builder_end(&idle));
    g_variant_builder_add(&modes, "(siiddada{sv})", "m", m.width, m.height, 60.0, 1.0, &scales, &modeProps);
    g_variant_builder_init(&other, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&other, "{sv}", "display-name", g_variant_new_string((std::string("Screen ") + m.connector).c_str()));
    g_variant_builder_add(&physical, "((ssss)a(siiddada{sv})a{sv})", m.connector, "v", "p", "s", &modes, &other);
    GVariantBuilder members, lprops;
    g_variant_builder_init(&members, G_VARIANT_TYPE("a(ssss)"));
    g_variant_builder_add(&members, "(ssss)", m.connector, "v", "p", "s");
    g_variant_builder_init(&lprops, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&logical, "(iiduba(ssss)a{sv})", m.x, m.y, m.scale, m.transform, m.primary, &members, &lprops);
  }
  g_variant_builder_init(&props, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&props, "{sv}", "layout-mode", g_variant_new_uint32(layoutMode));
  return g_variant_ref_sink(g_variant_new("(ua((ssss)a(siiddada{sv})a{sv})a(iiduba(ssss)a{sv})a{sv})", 1u, &physical, &logical, &props));
}

TEST(GnomeDisplayConfig, LogicalMonitorsBecomeDisplays) {
  struct Case {
    const char* what;
    std::vector<Monitor> monitors;
    std::uint32_t layoutMode;
    std::vector<std::pair<std::string, Rect>> expected;  // connector, bounds; the main one first
    std::int64_t firstPixelWidth;
  };
  const Case cases[] = {
      {"physical layout keeps the mode's size", {{"DP-1", 2560, 1440, 0, 0, 2.0, 0, true}}, 2, {{"DP-1", {0, 0, 2560, 1440}}}, 2560},
      {"logical layout divides by the scale", {{"DP-1", 2560, 1440, 0, 0, 2.0, 0, true}}, 1, {{"DP-1", {0, 0, 1280, 720}}}, 2560},
      {"a monitor turned sideways swaps its sides", {{"HDMI-1", 1920, 1080, 0, 0, 1.0, 1, true}}, 2, {{"HDMI-1", {0, 0, 1080, 1920}}}, 1080},
      {"the primary comes first",
       {{"DP-1", 1920, 1080, 0, 0, 1.0, 0, false}, {"DP-2", 1280, 1024, 1920, 0, 1.0, 0, true}},
       2,
       {{"DP-2", {1920, 0, 1280, 1024}}, {"DP-1", {0, 0, 1920, 1080}}},
       1280},
      {"without a primary the first is main",
       {{"DP-1", 1920, 1080, 0, 0, 1.0, 0, false}, {"DP-2", 1280, 1024, 1920, 0, 1.0, 0, false}},
       2,
       {{"DP-1", {0, 0, 1920, 1080}}, {"DP-2", {1920, 0, 1280, 1024}}},
       1920},
  };
  for (const auto& c : cases) {
    GVariant* state = currentState(c.monitors, c.layoutMode);
    auto parsed = parseCurrentState(state);
    g_variant_unref(state);
    ASSERT_TRUE(parsed) << c.what;
    ASSERT_EQ(c.expected.size(), parsed->size()) << c.what;
    for (std::size_t i = 0; i < c.expected.size(); ++i) {
      EXPECT_EQ(c.expected[i].first, (*parsed)[i].connector) << c.what;
      EXPECT_EQ(c.expected[i].second, (*parsed)[i].bounds) << c.what;
      EXPECT_EQ(i == 0, (*parsed)[i].isMain) << c.what;
      EXPECT_EQ("Screen " + c.expected[i].first, (*parsed)[i].name) << c.what;
      EXPECT_EQ(monitorID(c.expected[i].first), (*parsed)[i].id) << c.what;
    }
    EXPECT_EQ(c.firstPixelWidth, parsed->front().pixelWidth) << c.what;
  }
  EXPECT_NE(monitorID("DP-1"), monitorID("DP-2"));
  GVariant* wrong = g_variant_ref_sink(g_variant_new("(s)", "x"));
  EXPECT_FALSE(parseCurrentState(wrong));
  g_variant_unref(wrong);
}

}  // namespace
}  // namespace tillerpad::platform::gnome
