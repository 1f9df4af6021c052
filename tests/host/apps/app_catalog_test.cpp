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

// The side of a square PNG that decodes; 0 otherwise.
int decodedSide(const kit::Bytes& png) {
  png_image image{.version = PNG_IMAGE_VERSION};
  if (!png_image_begin_read_from_memory(&image, png.data(), png.size())) return 0;
  image.format = PNG_FORMAT_RGBA;
  std::vector<std::uint8_t> pixels(PNG_IMAGE_SIZE(image));
  bool square = image.width == image.height;
  return png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr) && square ? int(image.width) : 0;
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
    std::vector<MacApp> got;
    catalog->apps([&](std::vector<MacApp> apps) { got = std::move(apps); });
    settle();
    return got;
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

// The first folder's description of an id wins, one level of subfolders is
// walked and not two; running applications merge by id, the others are listed
// by name or id; names sort with case ignored and numbers by value. The walk
// is reused for a minute, the running ones asked for every time, and calls
// made during a listing share the next one.
TEST_F(AppCatalogTest, ListsInstalledAndRunningInNaturalOrderWalkingOnceAMinute) {
  workspace.setFolders({"/home", "/usr"});
  workspace.addFile("/home", "ten.desktop", "ten", "Item 10");
  workspace.addFile("/usr", "ten.desktop", "ten", "Shadowed");
  workspace.addFile("/usr", "kde/two.desktop", "kde-two", "item 2");
  workspace.addFile("/usr", "kde/deep/z.desktop", "z", "Z");
  workspace.addFile("/usr", "hidden.desktop");  // describes nothing
  workspace.setRunning({{{"kde-two", "Other"}, {"vlc", "VLC"}, {"xterm", ""}, {"", "No id"}}, "vlc"});
  const std::vector<MacApp> all = {{"kde-two", "item 2", true, false}, {"ten", "Item 10", false, false},
                                   {"vlc", "VLC", true, true}, {"xterm", "xterm", true, false}};
  const std::pair<kit::Clock::Duration, int> steps[] = {{0s, 1}, {10s, 1}, {50s, 1}, {1s, 2}};  // after, walks
  std::chrono::seconds at{};
  for (const auto& [after, walks] : steps) {
    advance(after);
    at += std::chrono::duration_cast<std::chrono::seconds>(after);
    EXPECT_EQ(list(), all) << "at " << at.count() << " s";
    EXPECT_EQ(workspace.counts().scans, walks) << "at " << at.count() << " s";
  }
  int answers = 0;
  for (int i = 0; i < 3; ++i) catalog->apps([&](std::vector<MacApp>) { ++answers; });
  settle();
  EXPECT_EQ(std::pair(answers, workspace.counts().running), std::pair(3, 6));
}

// Sizes are clamped before the cache key is made; nothing is cached for a
// missing icon.
TEST_F(AppCatalogTest, IconsAreClampedAndCached) {
  workspace.setIcons({"x"});
  // id, size asked, side of the PNG (0: none), drawings so far
  const std::tuple<std::string, std::int64_t, int, int> cases[] = {
      {"x", 16, 32, 1}, {"x", 32, 32, 1}, {"x", 1024, 512, 2}, {"x", 512, 512, 2}, {"none", 64, 0, 3}, {"none", 64, 0, 4}};
  for (const auto& [id, asked, side, drawn] : cases) {
    std::optional<kit::Bytes> png;
    catalog->icon(id, asked, [&](std::optional<kit::Bytes> got) { png = std::move(got); });
    settle();
    EXPECT_EQ(png ? decodedSide(*png) : 0, side) << id << "@" << asked;
    EXPECT_EQ(workspace.counts().icons, drawn) << id << "@" << asked;
  }
}

TEST_F(AppCatalogTest, OpeningLogsWhatWentWrong) {
  workspace.setOpenResult("x", {Outcome::opened, ""});
  workspace.setOpenResult("broken", {Outcome::failed, "Exec not found"});
  for (const char* id : {"x", "nope", "broken"}) catalog->open(id);
  settle();
  std::vector<std::string> lines;
  for (const auto& r : log->records()) lines.push_back(std::string(kit::toText(r.level)) + " " + r.text);
  EXPECT_EQ(lines, (std::vector<std::string>{"NOTICE No app with bundle ID nope", "ERROR Could not open broken: Exec not found"}));
}

TEST_F(AppCatalogTest, ABurstOfNoticesIsOneChangeAfterItsLast) {
  int changes = 0;
  catalog->onChange = [&] { ++changes; };
  for (auto gap : {0ms, 100ms, 100ms}) advance(gap), workspace.fireChange(), kit::testing::drain(io);
  for (auto [after, calls] : {std::pair{299ms, 0}, {1ms, 1}, {10s, 1}}) {
    advance(after);
    EXPECT_EQ(changes, calls) << after.count() << " ms later";
  }
  EXPECT_EQ(workspace.counts().scans, 0);  // notices never walk the folders
  catalog.reset();
  EXPECT_FALSE(workspace.hasOnChange());
}

}  // namespace
}  // namespace tillerpad::host
