// The Linux application workspace without a display (installed applications
// only), over scratch XDG folders:
//  - the scan the catalog makes: appFolders, listFolder of each folder and
//    subfolder, describe of each of 300 entries (median and worst of `runs`);
//  - an SVG icon found through a scratch theme and drawn at 512 px, each call
//    a first render (the adapter keeps no icons; the catalog does).
//   build-rel/bench/tillerpad_bench_apps [runs]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/linux/linux_app_workspace.h"

using namespace tillerpad;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

void summary(const char* what, std::vector<double> values) {
  std::sort(values.begin(), values.end());
  std::printf("%-44s median %8.2f ms   worst %8.2f ms\n", what, values[values.size() / 2], values.back());
}

void write(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << text;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
  char pattern[] = "/tmp/tillerpad-apps-bench-XXXXXX";
  if (!::mkdtemp(pattern)) return 1;
  fs::path root = pattern;
  ::setenv("XDG_DATA_HOME", (root / "home").c_str(), 1);
  ::setenv("XDG_DATA_DIRS", (root / "system").c_str(), 1);
  ::setenv("GSETTINGS_BACKEND", "memory", 1);
  // 300 entries: 200 at the top of the system folder, 100 in ten subfolders,
  // with translated names as real entries have.
  for (int i = 0; i < 300; ++i) {
    fs::path file = i < 200 ? root / "system/applications" / ("app" + std::to_string(i) + ".desktop")
                            : root / "system/applications" / ("sub" + std::to_string(i % 10)) /
                                  ("app" + std::to_string(i) + ".desktop");
    std::string text = "[Desktop Entry]\nType=Application\nName=Application " + std::to_string(i) +
                       "\nName[de]=Anwendung " + std::to_string(i) + "\nName[fr]=Application " + std::to_string(i) +
                       "\nComment=A program\nExec=true %U\nIcon=vector\nCategories=Utility;\n";
    write(file, text);
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
  auto workspace = platform::linux_apps::openLinuxAppWorkspace(":64999", {});

  std::vector<double> scans;
  std::size_t described = 0;
  for (int run = 0; run < runs; ++run) {
    auto start = Clock::now();
    described = 0;
    for (const auto& folder : workspace->appFolders()) {
      for (const auto& e : workspace->listFolder(folder)) {
        if (!e.isDirectory) {
          if (workspace->isCandidate(e.name)) described += workspace->describe(folder, e.name) ? 1 : 0;
          continue;
        }
        for (const auto& inner : workspace->listFolder(folder + "/" + e.name)) {
          if (!inner.isDirectory && workspace->isCandidate(inner.name)) {
            described += workspace->describe(folder, e.name + "/" + inner.name) ? 1 : 0;
          }
        }
      }
    }
    scans.push_back(ms(Clock::now() - start));
  }
  std::printf("entries described: %zu\n", described);
  summary("scan of 300 entries", scans);

  std::vector<double> svg;
  for (int run = 0; run < runs; ++run) {
    auto start = Clock::now();
    auto icon = workspace->icon("app" + std::to_string(run % 300), 512);
    svg.push_back(ms(Clock::now() - start));
    if (!icon || icon->size != 512) {
      std::fprintf(stderr, "no SVG icon\n");
      return 1;
    }
  }
  summary("SVG icon at 512 px (lookup and render)", svg);
  fs::remove_all(root);
  return 0;
}
