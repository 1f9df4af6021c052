// The host's part of the application list and icons, over the fake
// workspace (no file system, no X server): a list of 300 installed
// applications with 20 running, walked and cached; a 512 px icon encoded
// as PNG, and served from the cache. The desktop-entry adapter's own costs
// come on top.
//   build-rel/bench/tillerpad_bench_apps_catalog
#include <benchmark/benchmark.h>

#include <asio/io_context.hpp>

#include "host/apps/app_catalog.h"
#include "host/apps/png_encoder.h"
#include "platform/fake/fake_app_workspace.h"

using namespace tillerpad;

namespace {

struct Desk {
  Desk() {
    workspace.setFolders({"/a", "/b"});
    platform::AppWorkspace::Running running;
    for (int i = 0; i < 300; ++i) {
      auto id = "app" + std::to_string(i);
      workspace.addFile(i % 2 ? "/a" : "/b", (i % 3 ? "" : "sub/") + id + ".desktop", id, "Item " + std::to_string(299 - i));
      if (i % 15 == 0) running.apps.push_back({id, ""});
    }
    workspace.setRunning(running);
    workspace.setIcons({"app1"});
  }
  // Runs the service thread until the worker's answer was handled.
  template <class T, class Call>
  T wait(Call call) {
    std::optional<T> got;
    call([&](T value) { got = std::move(value); });
    for (io.restart(); !got; io.restart()) io.run_one();
    return std::move(*got);
  }
  asio::io_context io;
  platform::fake::FakeAppWorkspace workspace;
  std::shared_ptr<host::AppCatalog> catalog = host::AppCatalog::create(
      {io.get_executor(), std::make_shared<kit::SteadyClock>(), workspace, kit::Logger(), "en_US"});
};

void listFirstScan(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    auto desk = std::make_unique<Desk>();
    state.ResumeTiming();
    auto list = desk->wait<std::vector<kit::MacApp>>([&](auto done) { desk->catalog->apps(done); });
    benchmark::DoNotOptimize(list);
  }
}
BENCHMARK(listFirstScan)->Unit(benchmark::kMillisecond);

void listCached(benchmark::State& state) {
  Desk desk;
  desk.wait<std::vector<kit::MacApp>>([&](auto done) { desk.catalog->apps(done); });
  for (auto _ : state) {
    auto list = desk.wait<std::vector<kit::MacApp>>([&](auto done) { desk.catalog->apps(done); });
    benchmark::DoNotOptimize(list);
  }
}
BENCHMARK(listCached)->Unit(benchmark::kMillisecond);

void encodeIcon512(benchmark::State& state) {
  std::vector<std::uint8_t> rgba(512 * 512 * 4);
  for (std::size_t i = 0; i < rgba.size(); ++i) rgba[i] = static_cast<std::uint8_t>((i * 7) ^ (i >> 11));
  for (auto _ : state) benchmark::DoNotOptimize(host::encodePng(512, 512, rgba));
}
BENCHMARK(encodeIcon512)->Unit(benchmark::kMillisecond);

void iconCached(benchmark::State& state) {
  Desk desk;
  desk.wait<std::optional<kit::Bytes>>([&](auto done) { desk.catalog->icon("app1", 512, done); });
  for (auto _ : state) {
    auto png = desk.wait<std::optional<kit::Bytes>>([&](auto done) { desk.catalog->icon("app1", 512, done); });
    benchmark::DoNotOptimize(png);
  }
}
BENCHMARK(iconCached)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
