#include "host/apps/app_catalog.h"

#include <asio/post.hpp>
#include <unicode/ucol.h>

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <set>

#include "host/apps/png_encoder.h"

namespace tillerpad::host {

using platform::AppWorkspace;

namespace {

// "de_DE.UTF-8@euro" -> "de_DE"; "C" and "POSIX" mean no language: the root order.
std::string userCollationLocale() {
  for (const char* name : {"LC_ALL", "LC_COLLATE", "LANG"}) {
    const char* value = std::getenv(name);
    if (!value || !*value) continue;
    std::string locale(value);
    locale = locale.substr(0, locale.find_first_of(".@"));
    return locale == "C" || locale == "POSIX" ? "" : locale;
  }
  return "";
}

}  // namespace

// Case-insensitive (secondary strength: accents count, case does not), and
// digits compared by their value: "Item 2" before "item 10".
struct AppCatalog::Collator {
  explicit Collator(const std::string& locale) {
    UErrorCode status = U_ZERO_ERROR;
    collator = ucol_open(locale.c_str(), &status);
    if (U_FAILURE(status)) {
      status = U_ZERO_ERROR;
      collator = ucol_open("", &status);
    }
    if (!collator) return;
    ucol_setStrength(collator, UCOL_SECONDARY);
    ucol_setAttribute(collator, UCOL_NUMERIC_COLLATION, UCOL_ON, &status);
  }
  ~Collator() {
    if (collator) ucol_close(collator);
  }
  bool less(const std::string& a, const std::string& b) const {
    UErrorCode status = U_ZERO_ERROR;
    if (!collator) return a < b;
    auto order = ucol_strcollUTF8(collator, a.data(), static_cast<int32_t>(a.size()), b.data(),
                                  static_cast<int32_t>(b.size()), &status);
    return U_SUCCESS(status) ? order == UCOL_LESS : a < b;
  }
  UCollator* collator = nullptr;
};

template <class F>
auto AppCatalog::later(F f) {
  return [weak = weak_from_this(), executor = env_.executor, f = std::move(f)](auto&&... args) mutable {
    asio::post(executor, [weak, f = std::move(f), ... args = std::forward<decltype(args)>(args)]() mutable {
      if (auto self = weak.lock()) {
        --self->inFlight_;
        f(*self, std::move(args)...);
      }
    });
  };
}

std::shared_ptr<AppCatalog> AppCatalog::create(Environment environment) {
  std::shared_ptr<AppCatalog> catalog(new AppCatalog(std::move(environment)));
  // Notices come on the adapter's thread; the debounce is the service thread's.
  catalog->env_.workspace.setOnChange([weak = std::weak_ptr<AppCatalog>(catalog), executor = catalog->env_.executor] {
    asio::post(executor, [weak] {
      if (auto self = weak.lock()) self->changed();
    });
  });
  return catalog;
}

AppCatalog::AppCatalog(Environment environment)
    : env_(std::move(environment)),
      collator_(std::make_unique<Collator>(env_.locale.empty() ? userCollationLocale() : env_.locale)),
      worker_(workerLabel, workerCapacity, env_.log) {}

AppCatalog::~AppCatalog() {
  env_.workspace.setOnChange({});
  // What is still queued is skipped: nobody waits for it any more.
  alive_->store(false);
  if (pendingChange_) pendingChange_->cancel();
}

bool AppCatalog::onWorker(std::function<void()> work, bool essential) {
  auto task = [alive = alive_, work = std::move(work)] {
    if (alive->load()) work();
  };
  bool queued = essential ? worker_.postEssential(-1, std::move(task)) : worker_.post(std::move(task));
  if (queued) ++inFlight_;
  return queued;
}

int AppCatalog::clampedIconSize(std::int64_t pixelSize) {
  return static_cast<int>(std::clamp<std::int64_t>(pixelSize, minIconSize, maxIconSize));
}

std::vector<AppCatalog::InstalledApp> AppCatalog::scan(AppWorkspace& workspace) {
  std::vector<InstalledApp> found;
  std::set<std::string> ids;
  auto take = [&](const std::string& folder, const std::string& relativePath) {
    auto description = workspace.describe(folder, relativePath);
    if (!description || description->id.empty() || !ids.insert(description->id).second) return;
    found.push_back({description->id, description->name, description->location});
  };
  for (const auto& folder : workspace.appFolders()) {
    for (const auto& entry : workspace.listFolder(folder)) {
      if (!entry.isDirectory) {
        if (workspace.isCandidate(entry.name)) take(folder, entry.name);
        continue;
      }
      // One level deeper, no further.
      for (const auto& inner : workspace.listFolder(folder + "/" + entry.name)) {
        if (!inner.isDirectory && workspace.isCandidate(inner.name)) take(folder, entry.name + "/" + inner.name);
      }
    }
  }
  return found;
}

void AppCatalog::apps(AppsDone done) {
  waiting_.push_back(std::move(done));
  if (!listing_) startListing();
}

// One list at a time; the calls that came meanwhile get the next one, made
// after theirs, so none is answered with running flags older than its call.
void AppCatalog::startListing() {
  listing_ = true;
  listedFor_ = std::move(waiting_);
  waiting_.clear();
  const bool rescan = !installedScanDate_ || env_.clock->now() - *installedScanDate_ > scanReuse;
  auto finish = later([](AppCatalog& self, std::optional<std::vector<InstalledApp>> scanned, AppWorkspace::Running running) {
    self.finishListing(std::move(scanned), std::move(running));
  });
  // Bounded without a drop: at most one list waits for the worker.
  onWorker(
      [&workspace = env_.workspace, log = env_.log, rescan, finish]() mutable {
        std::optional<std::vector<InstalledApp>> scanned;
        AppWorkspace::Running running;
        try {
          if (rescan) scanned = scan(workspace);
          running = workspace.running();
        } catch (const std::exception& e) {
          log.error(std::string("Listing applications failed: ") + e.what());
        }
        finish(std::move(scanned), std::move(running));
      },
      true);
}

void AppCatalog::finishListing(std::optional<std::vector<InstalledApp>> scanned, AppWorkspace::Running running) {
  if (scanned) {
    installed_ = std::move(*scanned);
    installedScanDate_ = env_.clock->now();
  }
  std::set<std::string> runningIDs;
  for (const auto& app : running.apps) runningIDs.insert(app.id);
  auto isActive = [&](const std::string& id) { return running.activeId == id; };
  std::map<std::string, kit::MacApp> byID;
  for (const auto& app : installed_) byID.emplace(app.id, kit::MacApp{app.id, app.name, runningIDs.count(app.id) > 0, isActive(app.id)});
  // Started from elsewhere (no description found): listed while it runs.
  for (const auto& app : running.apps) {
    if (app.id.empty() || byID.count(app.id)) continue;
    byID.emplace(app.id, kit::MacApp{app.id, app.name.empty() ? app.id : app.name, true, isActive(app.id)});
  }
  std::vector<kit::MacApp> list;
  for (auto& [id, app] : byID) list.push_back(std::move(app));
  // Equal names (as the collator sees them) stay in id order.
  std::stable_sort(list.begin(), list.end(),
                   [this](const kit::MacApp& a, const kit::MacApp& b) { return collator_->less(a.name, b.name); });

  auto answered = std::move(listedFor_);
  listedFor_.clear();
  listing_ = false;
  for (auto& done : answered) done(list);
  // Calls that came while this list was made.
  if (!waiting_.empty() && !listing_) startListing();
}

void AppCatalog::icon(const std::string& id, std::int64_t pixelSize, IconDone done) {
  const int size = clampedIconSize(pixelSize);
  std::string key = id + "@" + std::to_string(size);
  if (auto cached = iconCache_.find(key); cached != iconCache_.end()) return done(cached->second);
  auto finish = later([key, done](AppCatalog& self, std::optional<kit::Bytes> png) {
    if (png) self.iconCache_[key] = *png;
    done(std::move(png));
  });
  bool queued = onWorker([&workspace = env_.workspace, log = env_.log, id, size, finish]() mutable {
    std::optional<kit::Bytes> png;
    try {
      if (auto icon = workspace.icon(id, size)) {
        png = encodePng(size, size, icon->rgba);
        if (!png) log.error("Could not encode the icon of " + id + " as PNG");
      }
    } catch (const std::exception& e) {
      log.error("Could not draw the icon of " + id + ": " + e.what());
    }
    finish(std::move(png));
  });
  if (!queued) done(std::nullopt);
}

void AppCatalog::open(const std::string& id) {
  auto report = later([id](AppCatalog& self, AppWorkspace::OpenResult result) {
    using Outcome = AppWorkspace::OpenResult::Outcome;
    if (result.outcome == Outcome::unknown) self.env_.log.notice("No app with bundle ID " + id);
    if (result.outcome == Outcome::failed) self.env_.log.error("Could not open " + id + ": " + result.error);
  });
  onWorker([&workspace = env_.workspace, id, report]() mutable {
    AppWorkspace::OpenResult result;
    try {
      result = workspace.open(id);
    } catch (const std::exception& e) {
      result = {AppWorkspace::OpenResult::Outcome::failed, e.what()};
    }
    report(std::move(result));
  });
}

// Each notice restarts the wait: a burst (a launch usually also activates)
// ends in one onChange, changeDelay after its last notice.
void AppCatalog::changed() {
  // A cancelled timer never fires, also when it already came due.
  if (pendingChange_) pendingChange_->cancel();
  pendingChange_ = env_.clock->schedule(env_.executor, changeDelay, [weak = weak_from_this()] {
    if (auto self = weak.lock()) self->onChange();
  });
}

}  // namespace tillerpad::host
