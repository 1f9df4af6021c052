#include "host/apps/app_catalog.h"

#include <gtest/gtest.h>
#include <png.h>

#include "platform/fake/fake_app_workspace.h"
#include "tests/kit/transport/async_test.h"

namespace tillerpad::host {
namespace {

using namespace std::chrono_literals;
using kit::MacApp;
using Outcome = platform::AppWorkspace::OpenResult::Outcome;

// The width and height of a PNG that decodes; nothing otherwise.
std::optional<std::pair<int, int>> decodedSize(const kit::Bytes& png) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, png.data(), png.size())) return std::nullopt;
  image.format = PNG_FORMAT_RGBA;
  std::vector<std::uint8_t> pixels(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) return std::nullopt;
  return std::pair{static_cast<int>(image.width), static_cast<int>(image.height)};
}

class AppCatalogTest : public ::testing::Test {
 protected:
  // Until the worker's answers have been handled here (bounded).
  void settle() {
    auto end = std::chrono::steady_clock::now() + 10s;
    for (; !catalog->isIdle() && std::chrono::steady_clock::now() < end; io.restart()) io.run_for(2ms);
    ASSERT_TRUE(catalog->isIdle());
  }
  std::vector<MacApp> list() {
    std::optional<std::vector<MacApp>> got;
    catalog->apps([&](std::vector<MacApp> apps) { got = std::move(apps); });
    settle();
    EXPECT_TRUE(got);
    return got.value_or(std::vector<MacApp>{});
  }
  std::optional<kit::Bytes> icon(const std::string& id, std::int64_t size) {
    std::optional<std::optional<kit::Bytes>> got;
    catalog->icon(id, size, [&](std::optional<kit::Bytes> png) { got = std::move(png); });
    settle();
    EXPECT_TRUE(got);
    return got.value_or(std::nullopt);
  }
  void advance(kit::Clock::Duration by) {
    clock->advance(by);
    kit::testing::drain(io);
  }

  asio::io_context io;
  std::shared_ptr<kit::ManualClock> clock = std::make_shared<kit::ManualClock>();
  platform::fake::FakeAppWorkspace workspace;
  std::shared_ptr<kit::RecordingLogSink> log = std::make_shared<kit::RecordingLogSink>();
  std::shared_ptr<AppCatalog> catalog =
      AppCatalog::create({io.get_executor(), clock, workspace, kit::Logger(log, "app", "apps"), "en_US"});
};

TEST_F(AppCatalogTest, AScanIsReusedForAMinute) {
  workspace.setFolders({"/apps"});
  workspace.addFile("/apps", "x.desktop", "x", "X");
  struct Step {
    kit::Clock::Duration after;
    int scans;
  } steps[] = {{0s, 1}, {10s, 1}, {50s, 1}, {1s, 2}, {59s, 2}};
  for (const auto& step : steps) {
    advance(step.after);
    list();
    EXPECT_EQ(workspace.counts().scans, step.scans);
  }
  EXPECT_EQ(workspace.counts().running, 5);  // the running flags are fresh every time
}

// Folders in order, the first description of an id winning; one level of
// subfolders; only candidates are read; what describes nothing is left out.
TEST_F(AppCatalogTest, TheWalkTakesTheFirstIdAndOneLevelOfSubfolders) {
  workspace.setFolders({"/home/apps", "/usr/apps", "/missing"});
  workspace.addFile("/home/apps", "x.desktop", "x", "X (home)");
  workspace.addFile("/usr/apps", "x.desktop", "x", "X (usr)");
  workspace.addFile("/usr/apps", "kde/okular.desktop", "kde-okular", "Okular");
  workspace.addFile("/usr/apps", "kde/deep/z.desktop", "z", "Z");
  workspace.addFile("/usr/apps", "kde/notes.txt", "notes", "Notes");
  workspace.addFile("/usr/apps", "hidden.desktop");
  list();
  using Installed = AppCatalog::InstalledApp;
  EXPECT_EQ(catalog->installed(), (std::vector<Installed>{{"x", "X (home)", "/home/apps/x.desktop"},
                                                          {"kde-okular", "Okular", "/usr/apps/kde/okular.desktop"}}));
  auto counts = workspace.counts();
  EXPECT_EQ(counts.listed, (std::vector<std::string>{"/home/apps", "/usr/apps", "/usr/apps/kde", "/missing"}));
  EXPECT_EQ(counts.described, (std::vector<std::string>{"/home/apps/x.desktop", "/usr/apps/x.desktop",
                                                        "/usr/apps/kde/okular.desktop", "/usr/apps/hidden.desktop"}));
}

// Merged by id; a running application without a description is listed by
// its name, or by its id when it has none; the sort ignores case and
// compares numbers by value.
TEST_F(AppCatalogTest, RunningAppsMergeByIdAndAllSortNaturally) {
  workspace.setFolders({"/apps"});
  for (const auto& [id, name] : std::vector<std::pair<std::string, std::string>>{
           {"ten", "Item 10"}, {"two", "item 2"}, {"zebra", "Zebra"}, {"one", "Item 1"}, {"eclair", "Éclair"}}) {
    workspace.addFile("/apps", id + ".desktop", id, name);
  }
  workspace.setRunning({{{"two", "Item Two"}, {"vlc", "VLC"}, {"xterm", ""}, {"", "No id"}}, "vlc"});
  EXPECT_EQ(list(), (std::vector<MacApp>{{"eclair", "Éclair", false, false},
                                        {"one", "Item 1", false, false},
                                        {"two", "item 2", true, false},
                                        {"ten", "Item 10", false, false},
                                        {"vlc", "VLC", true, true},
                                        {"xterm", "xterm", true, false},
                                        {"zebra", "Zebra", false, false}}));
}

// Calls made while a list is being made share the next one, which asks
// for the running applications again.
TEST_F(AppCatalogTest, CallsDuringAListingShareTheNextOne) {
  int answers = 0;
  for (int i = 0; i < 3; ++i) catalog->apps([&](std::vector<MacApp>) { ++answers; });
  settle();
  EXPECT_EQ(answers, 3);
  EXPECT_EQ(workspace.counts().running, 2);
}

// Sizes are clamped before the cache key is made; a cached icon is not
// drawn again; nothing is cached for a missing icon or a failed encoding.
TEST_F(AppCatalogTest, IconsAreClampedCachedAndOnlyGoodOnesKept) {
  workspace.setIcons({"x"});
  struct Case {
    std::string id;
    std::int64_t asked;
    std::optional<int> drawn;  // nothing: no icon
    bool cached;               // served without drawing
  } cases[] = {
      {"x", 16, 32, false}, {"x", 32, 32, true},  {"x", -5, 32, true},   {"x", 1024, 512, false},
      {"x", 512, 512, true}, {"x", 64, 64, false}, {"x", 64, 64, true},  {"unknown", 64, std::nullopt, false},
      {"unknown", 64, std::nullopt, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.id + "@" + std::to_string(c.asked));
    const int before = workspace.counts().icons;
    auto png = icon(c.id, c.asked);
    EXPECT_EQ(workspace.counts().icons, before + (c.cached ? 0 : 1));
    EXPECT_EQ(png.has_value(), c.drawn.has_value());
    if (png) EXPECT_EQ(decodedSize(*png), (std::pair{*c.drawn, *c.drawn}));
  }
  EXPECT_EQ(catalog->cachedIcons(), 3u);

  workspace.setIcons({"broken"}, true);
  EXPECT_FALSE(icon("broken", 48));
  EXPECT_FALSE(icon("broken", 48));
  EXPECT_EQ(workspace.counts().icons, 7);
  EXPECT_EQ(catalog->cachedIcons(), 3u);
}

TEST_F(AppCatalogTest, OpeningLogsUnknownIdsAndFailures) {
  workspace.setOpenResult("x", {Outcome::opened, ""});
  workspace.setOpenResult("broken", {Outcome::failed, "Exec not found"});
  struct Case {
    std::string id;
    std::optional<kit::LogRecord> line;
  } cases[] = {
      {"x", std::nullopt},
      {"nope", kit::LogRecord{kit::LogLevel::notice, "app", "apps", "No app with bundle ID nope"}},
      {"broken", kit::LogRecord{kit::LogLevel::error, "app", "apps", "Could not open broken: Exec not found"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.id);
    const auto before = log->records().size();
    catalog->open(c.id);
    settle();
    EXPECT_EQ(workspace.counts().opened.back(), c.id);
    auto records = log->records();
    ASSERT_EQ(records.size(), before + (c.line ? 1 : 0));
    if (c.line) {
      const auto& r = records.back();
      EXPECT_EQ(std::tie(r.level, r.category, r.text), std::tie(c.line->level, c.line->category, c.line->text));
    }
  }
}

TEST_F(AppCatalogTest, ABurstOfNoticesIsOneChangeAfterItsLast) {
  int changes = 0;
  catalog->onChange = [&] { ++changes; };
  for (int i = 0; i < 3; ++i) {
    advance(i ? 100ms : 0ms);
    workspace.fireChange();
    kit::testing::drain(io);
  }
  advance(299ms);
  EXPECT_EQ(changes, 0);
  advance(1ms);
  EXPECT_EQ(changes, 1);
  advance(10s);
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(workspace.counts().scans, 0);  // notices never walk the folders

  catalog.reset();
  EXPECT_FALSE(workspace.hasOnChange());
}

}  // namespace
}  // namespace tillerpad::host
