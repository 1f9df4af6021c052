#pragma once

#include <asio/any_io_executor.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/input/serial_queue.h"
#include "kit/common/bytes.h"
#include "kit/common/log.h"
#include "kit/transport/clock.h"
#include "kit/wire/command_messages.h"
#include "platform/app_workspace.h"

namespace tillerpad::host {

// The desktop's applications for the phone: the installed ones (a walk over
// the platform's folders, reused for a minute) merged with the running ones,
// sorted as a person would; their icons as PNG, cached per size; opening
// one; and a debounced notice when applications start, quit or come to the
// front.
//
// One for the process, on the service thread. Every workspace call runs on
// the catalog's own worker, one at a time; answers are posted back here.
class AppCatalog : public std::enable_shared_from_this<AppCatalog> {
 public:
  static constexpr std::chrono::seconds scanReuse{60};
  static constexpr std::chrono::milliseconds changeDelay{300};
  static constexpr int minIconSize = 32, maxIconSize = 512;
  static constexpr const char* workerLabel = "app.tillerpad.apps";
  // Icon and open requests waiting for the worker; beyond, they are dropped.
  static constexpr std::size_t workerCapacity = 512;

  struct Environment {
    asio::any_io_executor executor;
    std::shared_ptr<kit::Clock> clock;
    platform::AppWorkspace& workspace;
    kit::Logger log;  // category "apps"
    // The collation locale ("de_DE"); empty: the user's, from LC_ALL,
    // LC_COLLATE or LANG.
    std::string locale;
  };

  struct InstalledApp {
    std::string id;
    std::string name;
    std::string location;
    friend bool operator==(const InstalledApp&, const InstalledApp&) = default;
  };

  using AppsDone = std::function<void(std::vector<kit::MacApp>)>;
  using IconDone = std::function<void(std::optional<kit::Bytes>)>;

  static std::shared_ptr<AppCatalog> create(Environment environment);
  ~AppCatalog();
  AppCatalog(const AppCatalog&) = delete;
  AppCatalog& operator=(const AppCatalog&) = delete;

  // The applications sorted by name; `done` on the service thread. Calls
  // while a list is being made share the next one.
  void apps(AppsDone done);
  // A PNG of the application's icon, pixelSize clamped to [32, 512];
  // nothing when it has none. `done` on the service thread (at once when
  // cached).
  void icon(const std::string& id, std::int64_t pixelSize, IconDone done);
  // Brings the application to the front, launching it if needed; failures
  // are logged only.
  void open(const std::string& id);

  // After launches, quits and activations have settled (changeDelay after
  // the last of a burst).
  std::function<void()> onChange = [] {};

  static int clampedIconSize(std::int64_t pixelSize);
  // The first description of an id wins, in folder order; one level of
  // subfolders. Runs on the worker (public for the bench).
  static std::vector<InstalledApp> scan(platform::AppWorkspace& workspace);

  const std::vector<InstalledApp>& installed() const { return installed_; }
  std::size_t cachedIcons() const { return iconCache_.size(); }
  // No workspace call is waiting or running.
  bool isIdle() const { return inFlight_ == 0; }

 private:
  explicit AppCatalog(Environment environment);

  void startListing();
  void finishListing(std::optional<std::vector<InstalledApp>> scanned, platform::AppWorkspace::Running running);
  void changed();
  // Runs `f` on the service thread if the catalog is still there then.
  template <class F>
  auto later(F f);
  // Runs `work` on the worker; false when the queue was full.
  bool onWorker(std::function<void()> work, bool essential = false);

  Environment env_;
  struct Collator;
  std::unique_ptr<Collator> collator_;
  std::vector<InstalledApp> installed_;
  std::optional<kit::Clock::TimePoint> installedScanDate_;
  std::map<std::string, kit::Bytes> iconCache_;  // "id@size"
  std::vector<AppsDone> listedFor_;              // the list being made
  std::vector<AppsDone> waiting_;                // for the next list
  bool listing_ = false;
  int inFlight_ = 0;
  std::unique_ptr<kit::Clock::Timer> pendingChange_;
  std::shared_ptr<std::atomic<bool>> alive_ = std::make_shared<std::atomic<bool>>(true);
  SerialQueue worker_;  // last: stopped first
};

}  // namespace tillerpad::host
