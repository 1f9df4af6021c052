// The Linux application workspace over scratch XDG folders and a scratch icon
// theme, and on an Xvfb of each test's own with openbox as the window manager.
#include "platform/linux/linux_app_workspace.h"

#include <gio/gio.h>
#include <gtest/gtest.h>
#include <png.h>
#include <sys/stat.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/linux/icon_image.h"
#include "tests/platform/linux/temp_dir.h"
#include "tests/support/child_process.h"

namespace tillerpad::platform::linux_apps {
namespace {

using namespace std::chrono_literals;
using platform::test::ScopedEnv;
using platform::test::TempDir;
using tillerpad::test::ChildProcess;
using tillerpad::test::PrivateXvfb;
namespace fs = std::filesystem;

constexpr const char* kNoDisplay = ":64999";

void writeFile(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << text;
}

std::string entry(const std::string& name, const std::string& extra = "", const std::string& exec = "true") {
  return "[Desktop Entry]\nType=Application\nName=" + name + "\nExec=" + exec + "\n" + extra;
}

// A width x height PNG of one straight-alpha RGBA colour.
void writePng(const fs::path& path, int width, int height, std::uint32_t rgba) {
  fs::create_directories(path.parent_path());
  std::vector<std::uint8_t> pixels;
  for (int i = 0; i < width * height; ++i) {
    for (int shift : {24, 16, 8, 0}) pixels.push_back(static_cast<std::uint8_t>(rgba >> shift));
  }
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = static_cast<png_uint_32>(width);
  image.height = static_cast<png_uint_32>(height);
  image.format = PNG_FORMAT_RGBA;
  ASSERT_TRUE(png_image_write_to_file(&image, path.c_str(), 0, pixels.data(), 0, nullptr));
}

std::uint32_t pixel(const AppWorkspace::Icon& icon, int x, int y) {
  const auto* p = &icon.rgba[(static_cast<std::size_t>(y) * icon.size + x) * 4];
  return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

bool eventually(const std::function<bool()>& done, std::chrono::milliseconds limit = 20s) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(20ms);
  return done();
}

// Scratch XDG folders: a data home and two data folders.
class Scratch {
 public:
  Scratch()
      : home_("XDG_DATA_HOME", (dir.path() / "home").c_str()),
        dirs_("XDG_DATA_DIRS", ((dir.path() / "one").string() + ":relative:" + (dir.path() / "two").string()).c_str()),
        desktop_("XDG_CURRENT_DESKTOP", "GNOME:Tillerpad"),
        language_("LANGUAGE", "de_DE:de"),
        messages_("LC_ALL", "C.UTF-8") {}
  fs::path apps(const char* where) const { return dir.path() / where / "applications"; }

  TempDir dir;

 private:
  ScopedEnv home_, dirs_, desktop_, language_, messages_;
};

TEST(LinuxAppWorkspaceEntries, FoldersListingAndEachRuleOfDescribe) {
  Scratch s;
  struct Case {
    const char* file;
    std::string text;
    std::optional<std::string> id, name;
  } cases[] = {
      {"plain.desktop", entry("Plain"), "plain", "Plain"},
      {"localized.desktop", entry("Editor", "Name[de]=Bearbeiter\nName[fr]=Editeur\n"), "localized", "Bearbeiter"},
      {"link.desktop", "[Desktop Entry]\nType=Link\nName=Link\nURL=file:///\n", {}, {}},
      {"nodisplay.desktop", entry("No", "NoDisplay=true\n"), {}, {}},
      {"hidden.desktop", entry("Hidden", "Hidden=true\n"), {}, {}},
      {"onlykde.desktop", entry("Kde", "OnlyShowIn=KDE;\n"), {}, {}},
      {"notours.desktop", entry("NotOurs", "NotShowIn=Tillerpad;\n"), {}, {}},
      {"onlyours.desktop", entry("Ours", "OnlyShowIn=XFCE;Tillerpad;\n"), "onlyours", "Ours"},
      {"tryexec.desktop", entry("Gone", "TryExec=/nonexistent/program\n"), {}, {}},
      {"tryexecok.desktop", entry("There", "TryExec=sh\n"), "tryexecok", "There"},
      {"noprogram.desktop", entry("NoProgram", "", "/nonexistent/program"), {}, {}},  // GIO treats Exec as TryExec
      {"broken.desktop", "not a key file\n", {}, {}},
      {"sub/inner.desktop", entry("Inner"), "sub-inner", "Inner"},
  };
  for (const auto& c : cases) writeFile(s.apps("home") / c.file, c.text);
  writeFile(s.apps("home") / ".secret.desktop", entry("Secret"));
  writeFile(s.apps("two") / "plain.desktop", entry("Second Plain"));

  auto workspace = openLinuxAppWorkspace(kNoDisplay, {});
  EXPECT_EQ(workspace->appFolders(),
            (std::vector<std::string>{s.apps("home").string(), s.apps("one").string(), s.apps("two").string()}));
  auto listing = workspace->listFolder(s.apps("home").string());
  EXPECT_EQ(listing.size(), std::size(cases)) << "the files and the subfolder, no hidden file";
  EXPECT_TRUE(std::find(listing.begin(), listing.end(), AppWorkspace::FolderEntry{"sub", true}) != listing.end());
  EXPECT_TRUE(workspace->listFolder((s.dir.path() / "missing").string()).empty());
  for (auto [name, candidate] : {std::pair{"a.desktop", true}, {"a.desktop~", false}, {".desktop", false},
                                 {"a.app", false}, {"a.Desktop", false}}) {
    EXPECT_EQ(workspace->isCandidate(name), candidate) << name;
  }
  for (const auto& c : cases) {
    auto d = workspace->describe(s.apps("home").string(), c.file);
    EXPECT_EQ(d ? std::optional(d->id) : std::nullopt, c.id) << c.file;
    EXPECT_EQ(d ? std::optional(d->name) : std::nullopt, c.name) << c.file;
    if (d) {
      EXPECT_EQ(d->location, (s.apps("home") / c.file).string());
    }
  }
  // The same id in a later folder describes itself; which wins is the catalog's.
  auto second = workspace->describe(s.apps("two").string(), "plain.desktop");
  ASSERT_TRUE(second);
  EXPECT_EQ(second->id, "plain");
  EXPECT_EQ(second->name, "Second Plain");
}

TEST(LinuxAppWorkspaceIcons, ThemeLookupSizesFormatsAndInherits) {
  Scratch s;
  fs::path icons = s.dir.path() / "home" / "icons";
  writeFile(icons / "Scratch" / "index.theme",
            "[Icon Theme]\nName=Scratch\nInherits=Parent\nDirectories=16x16/apps,128x128/apps,scalable/apps\n"
            "[16x16/apps]\nSize=16\nType=Fixed\n[128x128/apps]\nSize=128\nType=Fixed\n"
            "[scalable/apps]\nSize=48\nMinSize=8\nMaxSize=512\nType=Scalable\n");
  writeFile(icons / "Parent" / "index.theme", "[Icon Theme]\nName=Parent\nDirectories=48x48/apps\n[48x48/apps]\nSize=48\n");
  writeFile(icons / "hicolor" / "index.theme",
            "[Icon Theme]\nName=Hicolor\nDirectories=32x32/apps\n[32x32/apps]\nSize=32\nType=Fixed\n");
  writePng(icons / "Scratch/16x16/apps/sized.png", 16, 16, 0xFF0000FF);
  writePng(icons / "Scratch/128x128/apps/sized.png", 128, 128, 0x00FF00FF);
  writeFile(icons / "Scratch/scalable/apps/vector.svg",
            "<svg xmlns='http://www.w3.org/2000/svg' viewBox='0 0 10 10'><rect width='10' height='10' fill='#0000ff'/></svg>");
  writePng(icons / "Parent/48x48/apps/inherited.png", 48, 48, 0xFFFF00FF);
  writePng(icons / "hicolor/32x32/apps/fallback.png", 32, 32, 0x00FFFFFF);
  writePng(s.dir.path() / "wide.png", 40, 20, 0xFF00FF80);
  struct Case {
    const char* id;
    std::string icon;
    int size;
    std::optional<std::uint32_t> centre, corner;  // corner: (0, 0)
  } cases[] = {
      {"near-small", "sized", 20, 0xFF0000FF, 0xFF0000FF},  // 16 is 4 away, 128 is 108
      {"near-large", "sized", 100, 0x00FF00FF, 0x00FF00FF},
      {"vector", "vector.svg", 512, 0x0000FFFF, 0x0000FFFF},
      {"inherited", "inherited", 64, 0xFFFF00FF, 0xFFFF00FF},
      {"fallback", "fallback", 32, 0x00FFFFFF, 0x00FFFFFF},
      // 40x20 into 40x40: kept aspect, centred, so the top rows stay clear.
      {"absolute", (s.dir.path() / "wide.png").string(), 40, 0xFF00FF80, 0x00000000},
      {"missing", "no-such-icon", 32, {}, {}},
  };
  for (const auto& c : cases) {
    writeFile(s.apps("home") / (std::string(c.id) + ".desktop"), entry(c.id, "Icon=" + c.icon + "\n"));
  }
  // The theme comes from GSettings here (the tests run with the memory backend): no XSETTINGS manager runs.
  // The scratch data folders hold no schemas.
  ScopedEnv schemas("GSETTINGS_SCHEMA_DIR", "/usr/share/glib-2.0/schemas"), backend("GSETTINGS_BACKEND", "memory");
  GSettings* settings = g_settings_new("org.gnome.desktop.interface");
  g_settings_set_string(settings, "icon-theme", "Scratch");
  auto workspace = openLinuxAppWorkspace(kNoDisplay, {});
  for (const auto& c : cases) {
    auto icon = workspace->icon(c.id, c.size);
    ASSERT_EQ(icon.has_value(), c.centre.has_value()) << c.id;
    if (!icon) continue;
    ASSERT_EQ(icon->size, c.size);
    ASSERT_EQ(icon->rgba.size(), static_cast<std::size_t>(c.size * c.size * 4));
    EXPECT_EQ(pixel(*icon, c.size / 2, c.size / 2), *c.centre) << c.id;
    EXPECT_EQ(pixel(*icon, 0, 0), *c.corner) << c.id;
  }
  g_settings_reset(settings, "icon-theme");
  g_object_unref(settings);
}

TEST(LinuxAppWorkspaceIcons, NetWmIconPicksTheNearestWholeImage) {
  std::vector<unsigned long> items = {2, 2, 1, 2, 3, 4, 4, 4};
  items.insert(items.end(), 16, 5);
  items.insert(items.end(), {8, 8, 9});  // cut short: ignored
  struct Case {
    int size, width;
  } cases[] = {{1, 2}, {3, 4}, {4, 4}, {64, 4}};
  for (auto c : cases) EXPECT_EQ(pickNetWmIcon(items, c.size)->width, c.width) << c.size;
  EXPECT_FALSE(pickNetWmIcon(std::vector<unsigned long>{5000, 5000, 1}, 32));
  EXPECT_FALSE(pickNetWmIcon(std::vector<unsigned long>{0xFFFFFFFF, 0xFFFFFFFF}, 32));
  EXPECT_FALSE(pickNetWmIcon({}, 32));
}

// ---- on X ----

class LinuxAppWorkspaceX : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server.running()); }

  // openbox sets _NET_SUPPORTING_WM_CHECK before it handles map requests, and
  // a window mapped in between is never managed: its start-up command, run
  // once it is, says when windows may come.
  void startWindowManager() {
    // openbox finds its theme in the real data folders, not the scratch ones.
    auto wmEnv = env();
    wmEnv["XDG_DATA_DIRS"] = "/usr/local/share:/usr/share";
    wm = std::make_unique<ChildProcess>("openbox", std::vector<std::string>{"--sm-disable", "--startup", "echo started"},
                                        wmEnv);
    std::string printed;
    for (bool started = false; !started;) {
      auto line = wm->nextLine(20s);
      ASSERT_TRUE(line) << "openbox did not start within 20 s; it printed:\n" << printed;
      started = *line == "started";
      printed += *line + "\n";
    }
  }
  std::map<std::string, std::string> env() { return {{"DISPLAY", server.name()}}; }
  std::unique_ptr<ChildProcess> client(std::vector<std::string> arguments) {
    auto c = std::make_unique<ChildProcess>(TILLERPAD_APPS_TEST_CLIENT, arguments, env());
    EXPECT_EQ(c->nextLine(), "ready");
    return c;
  }
  // "running: id=name ...; active: id", in the adapter's order.
  std::string listed(AppWorkspace& w) {
    auto running = w.running();
    std::string out = "running:";
    for (const auto& a : running.apps) out += " " + a.id + (a.name.empty() ? "" : "=" + a.name);
    return out + "; active: " + running.activeId.value_or("none");
  }
  static std::string text(const fs::path& file) {
    std::ifstream in(file);
    return {std::istreambuf_iterator<char>(in), {}};
  }

  PrivateXvfb server;
  Scratch s;
  std::unique_ptr<ChildProcess> wm;
};

TEST_F(LinuxAppWorkspaceX, RunningActiveChangesAndOpening) {
  ASSERT_NO_FATAL_FAILURE(startWindowManager());
  fs::path marks = s.dir.path() / "marks";
  writeFile(s.apps("home") / "alpha.desktop", entry("Alpha"));
  writeFile(s.apps("home") / "org.example.Beta.desktop", entry("Beta", "StartupWMClass=BetaWin\n"));
  writeFile(s.apps("home") / "org.example.Gamma.desktop", entry("Gamma"));
  // Found by its program's name only: a link of another name to the client.
  fs::path program = s.dir.path() / "delta-program";
  fs::create_symlink(TILLERPAD_APPS_TEST_CLIENT, program);
  writeFile(s.apps("home") / "delta.desktop",
            entry("Delta", "StartupNotify=true\n", program.string() + " --class zzz,Zzz --mark " + marks.string()));
  // A launch that fails before the program runs: its working folder is missing.
  writeFile(s.apps("home") / "broken.desktop", entry("Broken", "Path=/nonexistent/folder\n"));
  auto workspace = openLinuxAppWorkspace(server.name(), {});
  std::atomic<int> changes{0};
  workspace->setOnChange([&] { ++changes; });
  auto seen = [&] { return listed(*workspace) + "; changes: " + std::to_string(changes.load()); };
  auto isActive = [&](const std::string& id) { return eventually([&] { return workspace->running().activeId == id; }); };

  // Each way a window finds its entry; what a window list leaves out.
  auto alpha = client({"--class", "alpha,Alpha"});
  auto beta = client({"--class", "beta,BetaWin"});
  auto gamma = client({"--class", "x,Whatever", "--gtk-id", "org.example.Gamma"});
  auto skipped = client({"--class", "skipped,Skipped", "--skip-taskbar"});
  auto dock = client({"--class", "dock,Dock", "--dock"});
  auto stray = client({"--class", "stray,Stray", "--icon"});
  const std::string all = "running: alpha=Alpha org.example.Beta=Beta org.example.Gamma=Gamma Stray";
  ASSERT_TRUE(eventually([&] { return listed(*workspace).starts_with(all + ";"); })) << seen();
  EXPECT_TRUE(eventually([&] { return changes.load() > 0; })) << seen();

  // Opening an application with a window activates it, entry or not.
  for (const char* id : {"alpha", "Stray", "org.example.Beta"}) {
    auto result = workspace->open(id);
    EXPECT_EQ(result.outcome, AppWorkspace::OpenResult::Outcome::opened) << id << ": " << result.error;
    EXPECT_TRUE(isActive(id)) << id << " is not in front; " << seen();
  }

  // A window without an entry brings its own icon: the 8x8 red one for 32.
  auto icon = workspace->icon("Stray", 32);
  ASSERT_TRUE(icon) << seen();
  EXPECT_EQ(pixel(*icon, 16, 16), 0xFF0000FFu);

  // Quitting is a change, and the application is gone from the list.
  int before = changes.load();
  alpha->send("quit");
  EXPECT_TRUE(eventually([&] { return changes.load() > before; })) << seen();
  EXPECT_TRUE(eventually([&] { return listed(*workspace).find(" alpha=") == std::string::npos; })) << seen();

  // Launching: the process is matched by its executable, runs detached, and
  // a second open activates it instead of starting another.
  auto launched = workspace->open("delta");
  EXPECT_EQ(launched.outcome, AppWorkspace::OpenResult::Outcome::opened) << launched.error;
  ASSERT_TRUE(eventually([&] { return listed(*workspace).find(" delta=Delta") != std::string::npos; })) << seen();
  long pid = 0;
  std::string word;
  std::ifstream(marks) >> word >> pid;
  ASSERT_GT(pid, 0) << "marks: " << text(marks);
  // /proc/PID/stat after the name: state, parent, process group, session.
  std::string stat = text("/proc/" + std::to_string(pid) + "/stat");
  std::istringstream fields(stat.substr(stat.rfind(')') + 1));
  std::string state;
  long parent = 0, group = 0, session = 0;
  fields >> state >> parent >> group >> session;
  EXPECT_EQ(session, pid) << "a session of its own: " << stat;
  EXPECT_NE(parent, ::getpid()) << "no child of ours to reap: " << stat;
  for (const char* id : {"org.example.Beta", "delta"}) {
    auto result = workspace->open(id);
    EXPECT_EQ(result.outcome, AppWorkspace::OpenResult::Outcome::opened) << id << ": " << result.error;
    EXPECT_TRUE(isActive(id)) << id << " is not in front; " << seen();
  }
  EXPECT_EQ(text(marks), "started " + std::to_string(pid) + "\n") << "delta was started again";

  auto failed = workspace->open("broken");
  EXPECT_EQ(failed.outcome, AppWorkspace::OpenResult::Outcome::failed) << failed.error;
  EXPECT_NE(failed.error.find("No such file"), std::string::npos) << failed.error;
  EXPECT_EQ(workspace->open("org.example.Missing").outcome, AppWorkspace::OpenResult::Outcome::unknown);
  ::kill(static_cast<pid_t>(pid), SIGTERM);
}

TEST_F(LinuxAppWorkspaceX, WithoutWindowManagerNothingRunsAndTheDisplayMayGo) {
  writeFile(s.apps("home") / "alpha.desktop", entry("Alpha"));
  auto log = std::make_shared<kit::RecordingLogSink>();
  auto workspace = openLinuxAppWorkspace(server.name(), kit::Logger(log, "test", "apps"));
  auto alpha = client({"--class", "alpha,Alpha"});
  auto logged = [&] {
    std::string out;
    for (const auto& r : log->records()) out += "\n  " + r.text;
    return out;
  };
  EXPECT_TRUE(eventually([&] { return log->contains("No EWMH window manager"); })) << logged();
  EXPECT_EQ(listed(*workspace), "running:; active: none");
  // The server goes: one line, and still nothing runs.
  server.stop();
  EXPECT_TRUE(eventually([&] { return log->contains("X display lost"); })) << logged();
  EXPECT_EQ(listed(*workspace), "running:; active: none");
  EXPECT_EQ(log->records().size(), 2u) << logged();
}

}  // namespace
}  // namespace tillerpad::platform::linux_apps
