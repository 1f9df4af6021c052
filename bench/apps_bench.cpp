// The application catalog over the Linux workspace as the headless host makes
// it (no display: installed applications only), on scratch XDG folders with
// 300 desktop entries and a hicolor theme with an SVG icon. Each figure runs
// from the call on the service thread (this one) until its answer runs here:
//  - apps(), first scan: a fresh catalog each run;
//  - apps(), cached: the same catalog again, within the minute a walk is reused;
//  - icon(id, 512), first render: an id not asked for before (theme lookup,
//    SVG render, PNG encode); then the same id again, from the cache.
// "first" is the process's first run: GIO's start-up, or the adapter's own
// index of entries read by its first icon.
//   build-rel/bench/tillerpad_bench_apps [runs]
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "host/apps/app_catalog.h"
#include "platform/linux/linux_app_workspace.h"

using namespace tillerpad;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

void summary(const char* what, std::vector<double> values) {
  double first = values.front();
  std::sort(values.begin(), values.end());
  std::printf("%-30s median %9.3f ms   worst %9.3f ms   first %9.3f ms\n", what, values[values.size() / 2],
              values.back(), first);
}

void write(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << text;
}

struct Desk {
  asio::io_context io;
  asio::executor_work_guard<asio::io_context::executor_type> busy = asio::make_work_guard(io);
  std::unique_ptr<platform::AppWorkspace> workspace = platform::linux_apps::openLinuxAppWorkspace("", {});

  std::shared_ptr<host::AppCatalog> catalog() {
    return host::AppCatalog::create({io.get_executor(), std::make_shared<kit::SteadyClock>(), *workspace, {}, ""});
  }

  // Milliseconds from `call` until its answer ran on the service thread;
  // the answer in `out`. Exits when none comes within 10 s.
  template <class T, class Call>
  double timed(Call call, std::optional<T>& out) {
    out.reset();
    auto start = Clock::now();
    call([&](T value) { out = std::move(value); });
    while (!out && io.run_one_for(std::chrono::seconds(10)) > 0) {
    }
    if (!out) {
      std::fprintf(stderr, "no answer within 10 s\n");
      std::exit(1);
    }
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  }
};

}  // namespace

int main(int argc, char** argv) {
  // Each first render needs an id not asked for before.
  int runs = argc > 1 ? std::clamp(std::atoi(argv[1]), 1, 300) : 20;
  char pattern[] = "/tmp/tillerpad-apps-bench-XXXXXX";
  if (!::mkdtemp(pattern)) return 1;
  fs::path root = pattern;
  ::setenv("XDG_DATA_HOME", (root / "home").c_str(), 1);
  ::setenv("XDG_DATA_DIRS", (root / "system").c_str(), 1);
  ::setenv("GSETTINGS_BACKEND", "memory", 1);
  ::unsetenv("DISPLAY");
  // 200 entries at the top of the system folder, 100 in ten subfolders,
  // with translated names as real entries have.
  for (int i = 0; i < 300; ++i) {
    auto name = "app" + std::to_string(i) + ".desktop";
    fs::path folder = root / "system/applications";
    write(i < 200 ? folder / name : folder / ("sub" + std::to_string(i % 10)) / name,
          "[Desktop Entry]\nType=Application\nName=Application " + std::to_string(i) + "\nName[de]=Anwendung " +
              std::to_string(i) + "\nName[fr]=Application " + std::to_string(i) +
              "\nComment=A program\nExec=true %U\nIcon=vector\nCategories=Utility;\n");
  }
  write(root / "system/icons/hicolor/index.theme",
        "[Icon Theme]\nName=Hicolor\nDirectories=scalable/apps,256x256/apps\n"
        "[scalable/apps]\nSize=48\nMinSize=8\nMaxSize=512\nType=Scalable\n[256x256/apps]\nSize=256\nType=Fixed\n");
  // A gradient, a few shapes and a blur: an icon of ordinary weight.
  write(root / "system/icons/hicolor/scalable/apps/vector.svg",
        "<svg xmlns='http://www.w3.org/2000/svg' viewBox='0 0 128 128'><defs>"
        "<linearGradient id='g' x1='0' y1='0' x2='0' y2='1'><stop offset='0' stop-color='#3c8'/>"
        "<stop offset='1' stop-color='#164'/></linearGradient>"
        "<filter id='b'><feGaussianBlur stdDeviation='2'/></filter></defs>"
        "<rect x='8' y='12' width='112' height='108' rx='20' fill='#000' opacity='.3' filter='url(#b)'/>"
        "<rect x='8' y='8' width='112' height='108' rx='20' fill='url(#g)'/>"
        "<circle cx='64' cy='60' r='30' fill='none' stroke='#fff' stroke-width='8'/>"
        "<path d='M40 100 L88 100 L64 76 Z' fill='#fff'/></svg>");

  Desk desk;
  std::optional<std::vector<kit::MacApp>> list;
  std::optional<std::optional<kit::Bytes>> png;
  std::vector<double> firstScan, cachedList, firstIcon, cachedIcon;
  for (int run = 0; run < runs; ++run) {
    auto catalog = desk.catalog();
    firstScan.push_back(desk.timed([&](auto done) { catalog->apps(done); }, list));
  }
  auto catalog = desk.catalog();
  desk.timed([&](auto done) { catalog->apps(done); }, list);
  for (int run = 0; run < runs; ++run) cachedList.push_back(desk.timed([&](auto done) { catalog->apps(done); }, list));
  for (int run = 0; run < runs; ++run) {
    auto id = "app" + std::to_string(run);
    firstIcon.push_back(desk.timed([&](auto done) { catalog->icon(id, 512, done); }, png));
    if (!*png) {
      std::fprintf(stderr, "no icon for %s\n", id.c_str());
      return 1;
    }
    cachedIcon.push_back(desk.timed([&](auto done) { catalog->icon(id, 512, done); }, png));
  }
  std::printf("applications listed: %zu; 512 px icon: %zu bytes of PNG\n", list->size(), (*png)->size());
  summary("apps(), first scan", firstScan);
  summary("apps(), cached", cachedList);
  summary("icon 512 px, first render", firstIcon);
  summary("icon 512 px, cached", cachedIcon);
  fs::remove_all(root);
  return 0;
}
