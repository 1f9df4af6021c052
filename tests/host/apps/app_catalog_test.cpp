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
  png_image image{.version = PNG_IMAGE_VERSION};
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
  // What the catalog answers `ask` with, once settled.
  template <class T>
  T answer(const std::function<void(std::function<void(T)>)>& ask) {
    T got{};
    ask([&](T value) { got = std::move(value); });
    settle();
    return got;
  }
  std::vector<MacApp> list() { return answer<std::vector<MacApp>>([&](auto done) { catalog->apps(done); }); }
  std::optional<kit::Bytes> icon(const std::string& id, std::int64_t size) {
    return answer<std::optional<kit::Bytes>>([&](auto done) { catalog->icon(id, size, done); });
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
  const std::pair<kit::Clock::Duration, int> steps[] = {{0s, 1}, {10s, 1}, {50s, 1}, {1s, 2}, {59s, 2}};  // after, scans
  for (const auto& [after, scans] : steps) {
    advance(after);
    list();
    EXPECT_EQ(workspace.counts().scans, scans);
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
  EXPECT_EQ(catalog->installed(), (std::vector<AppCatalog::InstalledApp>{{"x", "X (home)", "/home/apps/x.desktop"},
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
  EXPECT_EQ(list(), (std::vector<MacApp>{{"eclair", "Éclair", false, false}, {"one", "Item 1", false, false},
                                        {"two", "item 2", true, false}, {"ten", "Item 10", false, false},
                                        {"vlc", "VLC", true, true}, {"xterm", "xterm", true, false},
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
  // id, size asked, size drawn (0: no icon), served from the cache
  const std::tuple<std::string, std::int64_t, int, bool> cases[] = {
      {"x", 16, 32, false}, {"x", 32, 32, true},  {"x", -5, 32, true}, {"x", 1024, 512, false}, {"x", 512, 512, true},
      {"x", 64, 64, false}, {"x", 64, 64, true}, {"unknown", 64, 0, false}, {"unknown", 64, 0, false}};
  for (const auto& [id, asked, drawn, cached] : cases) {
    const int before = workspace.counts().icons;
    auto png = icon(id, asked);
    EXPECT_EQ(workspace.counts().icons, before + (cached ? 0 : 1)) << id << "@" << asked;
    EXPECT_EQ(png ? decodedSize(*png) : std::nullopt, drawn ? std::optional(std::pair{drawn, drawn}) : std::nullopt);
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
  const std::pair<std::string, std::string> cases[] = {
      {"x", ""}, {"nope", "NOTICE No app with bundle ID nope"}, {"broken", "ERROR Could not open broken: Exec not found"}};
  for (const auto& [id, line] : cases) {
    const auto before = log->records().size();
    catalog->open(id);
    settle();
    EXPECT_EQ(workspace.counts().opened.back(), id);
    auto records = log->records();
    ASSERT_EQ(records.size(), before + (line.empty() ? 0 : 1)) << id;
    if (!line.empty()) EXPECT_EQ(std::string(kit::toText(records.back().level)) + " " + records.back().text, line);
  }
}

TEST_F(AppCatalogTest, ABurstOfNoticesIsOneChangeAfterItsLast) {
  int changes = 0;
  catalog->onChange = [&] { ++changes; };
  for (auto gap : {0ms, 100ms, 100ms}) advance(gap), workspace.fireChange(), kit::testing::drain(io);
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
