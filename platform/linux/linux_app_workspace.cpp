#include "platform/linux/linux_app_workspace.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <thread>

#include "platform/linux/desktop_entries.h"
#include "platform/linux/gsettings.h"
#include "platform/linux/icon_image.h"
#include "platform/linux/icon_theme.h"
#include "platform/linux/wakeup.h"
#include "platform/linux/window_source.h"
#include "platform/linux/x11_display.h"
#include "platform/linux/xsettings.h"

namespace tillerpad::platform::linux_apps {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
namespace x11 = linux_x11;

// How long a caller waits for the X thread; a server that does not answer
// costs each call this much, never more.
constexpr auto kCallLimit = 2s;
constexpr auto kSlice = 500ms;
constexpr long kMaxClientWindows = 1 << 16;
constexpr long kMaxIconItems = 1 << 21;  // 8 MiB of 32-bit pixels
constexpr auto kThemeReuse = 60s;

std::string lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// The adapter's X connection and the one thread that uses it: keeps the
// window snapshot current from root PropertyNotify events and runs the
// requests of callers (activation, icons, settings) posted to it.
class XWatcher : public std::enable_shared_from_this<XWatcher> {
 public:
  XWatcher(kit::Logger log, std::function<void()> changed) : log_(std::move(log)), changed_(std::move(changed)) {}

  // The connection is made on the thread, so that a server that does not
  // answer never holds the caller.
  void start(const std::string& name) {
    running_ = true;
    auto self = shared_from_this();
    thread_ = std::thread([self, name] {
      if (self->open(name)) {
        self->run();
      } else {
        self->log_.info("No X display: installed applications only");
      }
      self->finish();
    });
  }

  // From the adapter's destructor: ends the thread, and lets it go when a
  // dead server holds it in a call.
  void stop() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wakeup_.signal();
    std::unique_lock lock(mutex_);
    if (finishedCv_.wait_for(lock, kCallLimit, [&] { return finished_; })) {
      lock.unlock();
      thread_.join();
    } else {
      lock.unlock();
      thread_.detach();
    }
  }

  WindowSnapshot snapshot() {
    std::lock_guard lock(mutex_);
    return snapshot_;
  }
  std::string displayName() {
    std::lock_guard lock(mutex_);
    return displayName_;
  }

  // Runs `task` on the X thread; nothing when the thread is gone or the
  // answer takes longer than kCallLimit.
  template <typename T>
  std::optional<T> call(std::function<T(XWatcher&)> task) {
    auto promise = std::make_shared<std::promise<T>>();
    auto future = promise->get_future();
    if (!post([promise, task = std::move(task)](XWatcher& self) { promise->set_value(task(self)); })) {
      return std::nullopt;
    }
    if (future.wait_for(kCallLimit) != std::future_status::ready) return std::nullopt;
    try {
      return future.get();
    } catch (const std::future_error&) {
      return std::nullopt;  // the thread ended before running it
    }
  }
  bool post(std::function<void(XWatcher&)> task) {
    {
      std::lock_guard lock(mutex_);
      if (!running_ || stopping_) return false;
      tasks_.push_back(std::move(task));
    }
    wakeup_.signal();
    return true;
  }

  // ---- on the X thread ----

  // An EWMH activation request as a pager makes it: window managers honour
  // those without focus-stealing checks.
  bool activate(unsigned long window) {
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = window;
    e.xclient.message_type = activeWindow_;
    e.xclient.format = 32;
    e.xclient.data.l[0] = 2;
    e.xclient.data.l[1] = static_cast<long>(serverTime().value_or(CurrentTime));
    e.xclient.data.l[2] = 0;
    x11::XErrorTrap trap(display_);
    XSendEvent(display_, root_, False, SubstructureRedirectMask | SubstructureNotifyMask, &e);
    return trap.check() == 0 && !x11::isDisplayLost(display_);
  }

  std::vector<unsigned long> netWmIcon(unsigned long window) {
    x11::XErrorTrap trap(display_);
    auto items = longs(window, wmIcon_, XA_CARDINAL, kMaxIconItems);
    trap.check();
    return items;
  }

  std::optional<std::string> xsettingsIconTheme() {
    auto theme = x11::xsettingsString(x11::readXSettings(display_), "Net/IconThemeName");
    if (theme && theme->empty()) return std::nullopt;
    return theme;
  }

  // A server timestamp: the time of a property change on our own window.
  std::optional<unsigned long> serverTime() {
    XChangeProperty(display_, own_, timeProbe_, XA_STRING, 8, PropModeAppend, nullptr, 0);
    XFlush(display_);
    auto deadline = std::chrono::steady_clock::now() + 1s;
    while (!x11::isDisplayLost(display_)) {
      XEvent e;
      while (XCheckTypedWindowEvent(display_, own_, PropertyNotify, &e)) {
        if (e.xproperty.atom == timeProbe_) return e.xproperty.time;
      }
      auto left = deadline - std::chrono::steady_clock::now();
      if (left <= 0s) break;
      pollfd fd{ConnectionNumber(display_), POLLIN, 0};
      ::poll(&fd, 1, static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count()));
    }
    return std::nullopt;
  }

  // A startup-notification message, broadcast in 20-byte pieces.
  void sendStartupMessage(const std::string& message) {
    std::string text = message;
    text.push_back('\0');
    for (std::size_t offset = 0; offset < text.size(); offset += 20) {
      XEvent e{};
      e.xclient.type = ClientMessage;
      e.xclient.window = own_;
      e.xclient.message_type = offset == 0 ? startupBegin_ : startupMore_;
      e.xclient.format = 8;
      std::size_t n = std::min<std::size_t>(20, text.size() - offset);
      std::copy_n(text.data() + offset, n, e.xclient.data.b);
      XSendEvent(display_, root_, False, PropertyChangeMask, &e);
    }
    XFlush(display_);
  }

 private:
  bool open(const std::string& name) {
    display_ = x11::openDisplay(name);
    if (!display_) return false;
    {
      std::lock_guard lock(mutex_);
      displayName_ = DisplayString(display_);
    }
    root_ = DefaultRootWindow(display_);
    auto atom = [&](const char* n) { return XInternAtom(display_, n, False); };
    clientList_ = atom("_NET_CLIENT_LIST");
    activeWindow_ = atom("_NET_ACTIVE_WINDOW");
    wmCheck_ = atom("_NET_SUPPORTING_WM_CHECK");
    wmPid_ = atom("_NET_WM_PID");
    wmIcon_ = atom("_NET_WM_ICON");
    wmType_ = atom("_NET_WM_WINDOW_TYPE");
    typeNormal_ = atom("_NET_WM_WINDOW_TYPE_NORMAL");
    typeDialog_ = atom("_NET_WM_WINDOW_TYPE_DIALOG");
    wmState_ = atom("_NET_WM_STATE");
    skipTaskbar_ = atom("_NET_WM_STATE_SKIP_TASKBAR");
    gtkAppId_ = atom("_GTK_APPLICATION_ID");
    utf8_ = atom("UTF8_STRING");
    startupBegin_ = atom("_NET_STARTUP_INFO_BEGIN");
    startupMore_ = atom("_NET_STARTUP_INFO");
    timeProbe_ = atom("_TILLERPAD_TIME");
    XSetWindowAttributes attributes{};
    attributes.event_mask = PropertyChangeMask;
    own_ = XCreateWindow(display_, root_, -1, -1, 1, 1, 0, CopyFromParent, InputOnly, CopyFromParent, CWEventMask,
                         &attributes);
    XSelectInput(display_, root_, PropertyChangeMask);
    refresh(true);
    return true;
  }

  void run() {
    while (true) {
      std::deque<std::function<void(XWatcher&)>> tasks;
      bool stopping;
      {
        std::lock_guard lock(mutex_);
        tasks.swap(tasks_);
        stopping = stopping_;
      }
      if (stopping) break;
      for (auto& task : tasks) task(*this);
      bool dirty = false;
      while (!x11::isDisplayLost(display_) && XPending(display_) > 0) {
        XEvent e;
        XNextEvent(display_, &e);
        if (e.type == PropertyNotify && e.xproperty.window == root_ &&
            (e.xproperty.atom == clientList_ || e.xproperty.atom == activeWindow_ || e.xproperty.atom == wmCheck_)) {
          dirty = true;
        }
      }
      if (x11::isDisplayLost(display_)) {
        log_.error("X display lost: no running applications from now on");
        bool had = false;
        {
          std::lock_guard lock(mutex_);
          had = !snapshot_.windows.empty();
          snapshot_ = {};
        }
        if (had) changed_();
        break;
      }
      if (dirty) refresh(true);
      pollfd fds[2] = {{wakeup_.fd(), POLLIN, 0}, {ConnectionNumber(display_), POLLIN, 0}};
      ::poll(fds, 2, static_cast<int>(kSlice.count()));
      if (fds[0].revents & POLLIN) wakeup_.drain();
    }
    if (!x11::isDisplayLost(display_)) XDestroyWindow(display_, own_);
    x11::closeDisplay(display_);
  }

  void finish() {
    std::deque<std::function<void(XWatcher&)>> dropped;
    {
      std::lock_guard lock(mutex_);
      running_ = false;
      dropped.swap(tasks_);  // their callers see a broken promise
    }
    dropped.clear();
    std::lock_guard lock(mutex_);
    finished_ = true;
    finishedCv_.notify_all();
  }

  std::vector<unsigned long> longs(Window w, Atom property, Atom type, long max) {
    Atom actual = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    int status = XGetWindowProperty(display_, w, property, 0, max, False, type, &actual, &format, &count, &after, &data);
    std::vector<unsigned long> out;
    if (status == Success && data && format == 32) {
      const auto* items = reinterpret_cast<const unsigned long*>(data);
      out.assign(items, items + count);
    }
    if (data) XFree(data);
    return out;
  }
  std::string bytes(Window w, Atom property, Atom type, long maxBytes) {
    Atom actual = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    int status =
        XGetWindowProperty(display_, w, property, 0, maxBytes / 4, False, type, &actual, &format, &count, &after, &data);
    std::string out;
    if (status == Success && data && format == 8) out.assign(reinterpret_cast<const char*>(data), count);
    if (data) XFree(data);
    return out;
  }

  bool hasWindowManager() {
    auto check = longs(root_, wmCheck_, XA_WINDOW, 1);
    if (check.empty()) return false;
    auto self = longs(check[0], wmCheck_, XA_WINDOW, 1);
    return !self.empty() && self[0] == check[0];
  }

  ClientWindow readStatic(unsigned long w) {
    ClientWindow c;
    c.id = w;
    std::string wmClass = bytes(w, XA_WM_CLASS, XA_STRING, 4096);
    std::size_t split = wmClass.find('\0');
    c.wmName = wmClass.substr(0, split);
    if (split != std::string::npos) c.wmClass = std::string(wmClass.c_str() + split + 1);
    c.gtkAppId = bytes(w, gtkAppId_, utf8_, 4096);
    auto pid = longs(w, wmPid_, XA_CARDINAL, 1);
    c.pid = pid.empty() ? 0 : static_cast<long>(pid[0] & 0xFFFFFFFFul);
    auto transient = longs(w, XA_WM_TRANSIENT_FOR, XA_WINDOW, 1);
    c.transientFor = transient.empty() ? 0 : transient[0];
    return c;
  }

  // What a window list shows: normal windows (and dialogs of no other
  // window), not skip-taskbar; docks, desktops, menus, utilities and the
  // like are left out.
  bool shown(const ClientWindow& c) {
    auto types = longs(c.id, wmType_, XA_ATOM, 32);
    bool typed = types.empty() ? c.transientFor == 0
                               : std::any_of(types.begin(), types.end(), [&](unsigned long t) {
                                   return t == typeNormal_ || (t == typeDialog_ && c.transientFor == 0);
                                 });
    if (!typed) return false;
    auto state = longs(c.id, wmState_, XA_ATOM, 64);
    return std::find(state.begin(), state.end(), skipTaskbar_) == state.end();
  }

  void refresh(bool announce) {
    WindowSnapshot next;
    {
      x11::XErrorTrap trap(display_);  // windows may go away while we read them
      bool wm = hasWindowManager();
      if (wm != hadWindowManager_) {
        log_.info(wm ? "EWMH window manager found: listing running applications"
                     : "No EWMH window manager: installed applications only");
        hadWindowManager_ = wm;
      }
      if (wm) {
        std::map<unsigned long, ClientWindow> kept;
        for (unsigned long w : longs(root_, clientList_, XA_WINDOW, kMaxClientWindows)) {
          auto it = cache_.find(w);
          ClientWindow c = it != cache_.end() ? it->second : readStatic(w);
          c.shown = shown(c);
          kept[w] = c;
          next.windows.push_back(std::move(c));
        }
        cache_ = std::move(kept);
        auto active = longs(root_, activeWindow_, XA_WINDOW, 1);
        next.active = active.empty() ? 0 : active[0];
      } else {
        cache_.clear();
      }
      trap.check();
    }
    bool changed;
    {
      std::lock_guard lock(mutex_);
      changed = next != snapshot_;
      snapshot_ = std::move(next);
    }
    if (changed && announce) changed_();
  }

  kit::Logger log_;
  std::function<void()> changed_;
  Display* display_ = nullptr;
  std::string displayName_;
  Window root_ = 0, own_ = 0;
  Atom clientList_ = 0, activeWindow_ = 0, wmCheck_ = 0, wmPid_ = 0, wmIcon_ = 0, wmType_ = 0, typeNormal_ = 0,
       typeDialog_ = 0, wmState_ = 0, skipTaskbar_ = 0, gtkAppId_ = 0, utf8_ = 0, startupBegin_ = 0, startupMore_ = 0,
       timeProbe_ = 0;
  std::optional<bool> hadWindowManager_;
  std::map<unsigned long, ClientWindow> cache_;  // the thread's own
  x11::Wakeup wakeup_;
  std::thread thread_;

  std::mutex mutex_;
  std::condition_variable finishedCv_;
  WindowSnapshot snapshot_;
  std::deque<std::function<void(XWatcher&)>> tasks_;
  bool running_ = false, stopping_ = false, finished_ = false;
};

// Startup-notification values are quoted when they hold spaces or quotes.
std::string startupValue(const std::string& value) {
  std::string out = "\"";
  for (char c : value) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  return out + "\"";
}

// The X11 window source: the XWatcher's snapshot, EWMH activation, the
// windows' own icons, XSETTINGS, and startup notification for launches.
class XSource final : public WindowSource {
 public:
  XSource(const std::string& display, kit::Logger log, std::function<void()> changed)
      : watcher_(std::make_shared<XWatcher>(std::move(log), std::move(changed))) {
    watcher_->start(display);
  }
  ~XSource() override { watcher_->stop(); }

  WindowSnapshot snapshot() override { return watcher_->snapshot(); }

  bool activate(unsigned long window) override {
    auto done = watcher_->call<bool>([window](XWatcher& x) { return x.activate(window); });
    return done && *done;
  }

  std::optional<std::vector<unsigned long>> windowIcon(unsigned long window) override {
    return watcher_->call<std::vector<unsigned long>>([window](XWatcher& x) { return x.netWmIcon(window); });
  }

  std::optional<std::string> iconThemeName() override {
    return watcher_->call<std::optional<std::string>>([](XWatcher& x) { return x.xsettingsIconTheme(); })
        .value_or(std::nullopt);
  }

  std::function<void()> prepareLaunch(GAppLaunchContext* context, const DesktopEntry& entry) override {
    if (std::string name = watcher_->displayName(); !name.empty()) {
      g_app_launch_context_setenv(context, "DISPLAY", name.c_str());
    }
    // Startup notification, for entries that ask for it: the window manager
    // shows the launch and lets the new window take the focus.
    if (!g_desktop_app_info_get_boolean(entry.info.get(), "StartupNotify")) return {};
    auto time = watcher_->call<std::optional<unsigned long>>([](XWatcher& x) { return x.serverTime(); })
                    .value_or(std::nullopt);
    if (!time) return {};
    static std::atomic<unsigned> sequence{0};
    std::string startupId = "tillerpad-" + std::to_string(::getpid()) + "-" + std::to_string(++sequence) + "-" +
                            entry.id + "_TIME" + std::to_string(*time);
    std::string message = "new: ID=" + startupValue(startupId) + " NAME=" + startupValue(entry.name) + " SCREEN=0" +
                          " APPLICATION_ID=" + startupValue(entry.path);
    if (!entry.icon.empty()) message += " ICON=" + startupValue(entry.icon);
    if (!entry.executable.empty()) message += " BIN=" + startupValue(entry.executable);
    if (!entry.startupWMClass.empty()) message += " WMCLASS=" + startupValue(entry.startupWMClass);
    watcher_->post([message](XWatcher& x) { x.sendStartupMessage(message); });
    g_app_launch_context_setenv(context, "DESKTOP_STARTUP_ID", startupId.c_str());
    return [watcher = watcher_, remove = "remove: ID=" + startupValue(startupId)] {
      watcher->post([remove](XWatcher& x) { x.sendStartupMessage(remove); });
    };
  }

 private:
  std::shared_ptr<XWatcher> watcher_;
};

// The subscriber, shared with the source's thread, which may outlive the
// adapter for a while when a dead server holds it.
struct ChangeCallback {
  std::mutex mutex;
  std::function<void()> call;
  void operator()() {
    std::lock_guard lock(mutex);
    if (call) call();
  }
};

// The program a process runs: its executable's file name and argv[0]'s.
std::vector<std::string> processPrograms(long pid) {
  std::vector<std::string> out;
  if (pid <= 0) return out;
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec);
  if (!ec) out.push_back(exe.filename().string());
  std::ifstream cmdline("/proc/" + std::to_string(pid) + "/cmdline");
  std::string argv0;
  if (std::getline(cmdline, argv0, '\0') && !argv0.empty()) out.push_back(fs::path(argv0).filename().string());
  return out;
}

// Window-to-entry matching, strongest evidence first.
class Matcher {
 public:
  explicit Matcher(const std::vector<DesktopEntry>& entries) {
    for (const auto& e : entries) {
      byId_.emplace(e.id, &e);
      if (!e.startupWMClass.empty()) byWmClass_.emplace(e.startupWMClass, &e);
      byLowerId_.emplace(lower(e.id), &e);
      if (!e.executable.empty()) byProgram_.emplace(e.executable, &e);
    }
  }

  // The id and name the window's application is listed under; nothing for
  // a window with no entry and no WM_CLASS.
  std::optional<AppWorkspace::RunningApp> match(const ClientWindow& w) const {
    auto found = [](const DesktopEntry* e) { return AppWorkspace::RunningApp{e->id, e->name}; };
    if (auto it = byId_.find(w.gtkAppId); !w.gtkAppId.empty() && it != byId_.end()) return found(it->second);
    for (const auto* key : {&w.wmClass, &w.wmName}) {
      if (auto it = byWmClass_.find(*key); !key->empty() && it != byWmClass_.end()) return found(it->second);
    }
    for (const auto* key : {&w.wmClass, &w.wmName}) {
      if (auto it = byLowerId_.find(lower(*key)); !key->empty() && it != byLowerId_.end()) return found(it->second);
    }
    for (const auto& program : processPrograms(w.pid)) {
      if (auto it = byProgram_.find(program); it != byProgram_.end()) return found(it->second);
    }
    if (w.wmClass.empty()) return std::nullopt;
    return AppWorkspace::RunningApp{w.wmClass, ""};
  }

 private:
  std::map<std::string, const DesktopEntry*> byId_, byWmClass_, byLowerId_, byProgram_;
};

// Runs in the launched child before exec: a session of its own, so that
// signals to the host's process group never reach it.
void detachChild(gpointer) { ::setsid(); }

class LinuxAppWorkspace final : public AppWorkspace {
 public:
  LinuxAppWorkspace(const WindowSourceFactory& makeSource, kit::Logger log)
      : log_(std::move(log)), onChange_(std::make_shared<ChangeCallback>()) {
    source_ = makeSource([callback = onChange_] { (*callback)(); });
  }
  ~LinuxAppWorkspace() override {
    setOnChange(nullptr);
    source_.reset();
  }

  std::vector<std::string> appFolders() override { return applicationFolders(); }

  std::vector<FolderEntry> listFolder(const std::string& path) override {
    std::vector<FolderEntry> out;
    for (auto& [name, isDirectory] : folderEntries(path)) out.push_back({std::move(name), isDirectory});
    return out;
  }

  bool isCandidate(const std::string& fileName) override {
    constexpr std::string_view suffix = ".desktop";
    return fileName.size() > suffix.size() && fileName.ends_with(suffix) && fileName[0] != '.';
  }

  std::optional<Description> describe(const std::string& folder, const std::string& relativePath) override {
    auto entry = readDesktopEntry(folder, relativePath, currentDesktops());
    if (!entry) return std::nullopt;
    return Description{entry->id, entry->name, entry->path};
  }

  Running running() override {
    Running out;
    if (!source_) return out;
    WindowSnapshot snap = source_->snapshot();
    if (snap.windows.empty()) return out;
    auto entries = index_.entries();
    Matcher matcher(*entries);
    std::map<unsigned long, std::string> idOf;
    for (const auto& w : snap.windows) {
      if (!w.shown) continue;
      auto app = matcher.match(w);
      if (!app) continue;
      idOf[w.id] = app->id;
      if (std::none_of(out.apps.begin(), out.apps.end(), [&](const RunningApp& a) { return a.id == app->id; })) {
        out.apps.push_back(*app);
      }
    }
    // A dialog in front stands for the window it belongs to.
    unsigned long active = snap.active;
    for (int hops = 0; active != 0 && !idOf.contains(active) && hops < 4; ++hops) {
      auto it = std::find_if(snap.windows.begin(), snap.windows.end(), [&](const auto& w) { return w.id == active; });
      active = it == snap.windows.end() ? 0 : it->transientFor;
    }
    if (auto it = idOf.find(active); active != 0 && it != idOf.end()) out.activeId = it->second;
    return out;
  }

  std::optional<Icon> icon(const std::string& id, int size) override {
    if (size <= 0) return std::nullopt;
    if (auto entry = index_.find(id)) {
      if (entry->icon.empty()) return std::nullopt;
      if (entry->icon[0] == '/') return renderIconFile(entry->icon, size);
      std::string name = entry->icon;
      for (std::string_view ext : {".png", ".svg", ".xpm"}) {
        if (name.size() > ext.size() && name.ends_with(ext)) name.resize(name.size() - ext.size());
      }
      auto file = theme().lookup(name, size);
      if (!file) return std::nullopt;
      return renderIconFile(*file, size);
    }
    // A running application without an entry: its window's own icon.
    auto window = windowOf(id);
    if (!window || !source_) return std::nullopt;
    auto items = source_->windowIcon(*window);
    if (!items) return std::nullopt;
    auto image = pickNetWmIcon(*items, size);
    if (!image) return std::nullopt;
    return renderArgb(*image, size);
  }

  OpenResult open(const std::string& id) override {
    auto entry = index_.find(id);
    if (auto window = windowOf(id)) {
      if (source_->activate(*window)) return {};
      if (!entry) return {OpenResult::Outcome::failed, "its window could not be activated"};
    }
    if (!entry) return {OpenResult::Outcome::unknown, ""};
    return launch(*entry);
  }

  void setOnChange(std::function<void()> onChange) override {
    std::lock_guard lock(onChange_->mutex);
    onChange_->call = std::move(onChange);
  }

 private:
  // The newest listed window of the application with this id.
  std::optional<unsigned long> windowOf(const std::string& id) {
    if (!source_) return std::nullopt;
    WindowSnapshot snap = source_->snapshot();
    if (snap.windows.empty()) return std::nullopt;
    Matcher matcher(*index_.entries());
    for (auto it = snap.windows.rbegin(); it != snap.windows.rend(); ++it) {
      if (!it->shown) continue;
      auto app = matcher.match(*it);
      if (app && app->id == id) return it->id;
    }
    return std::nullopt;
  }

  IconTheme& theme() {
    auto now = std::chrono::steady_clock::now();
    if (!theme_ || now - themeChosenAt_ > kThemeReuse) {
      std::optional<std::string> name;
      if (source_) name = source_->iconThemeName();
      if (!name) name = x11::gsettingsString("org.gnome.desktop.interface", "icon-theme");
      if (!name || name->empty()) name = "hicolor";
      if (!theme_ || theme_->theme() != *name) {
        theme_ = std::make_unique<IconTheme>(*name, IconTheme::standardBases(), IconTheme::standardFallbacks());
      }
      themeChosenAt_ = now;
    }
    return *theme_;
  }

  OpenResult launch(const DesktopEntry& entry) {
    auto* info = entry.info.get();
    std::unique_ptr<GAppLaunchContext, void (*)(gpointer)> context(g_app_launch_context_new(), g_object_unref);
    std::function<void()> undo;
    if (source_) undo = source_->prepareLaunch(context.get(), entry);
    GError* error = nullptr;
    // Descriptors beyond the standard three are closed by g_spawn; standard
    // input and output go to /dev/null so the terminal front stays ours.
    auto flags = static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_STDOUT_TO_DEV_NULL);
    gboolean ok = g_desktop_app_info_launch_uris_as_manager(info, nullptr, context.get(), flags, detachChild, nullptr,
                                                            nullptr, nullptr, &error);
    if (ok) return {};
    std::string why = error && error->message ? error->message : "the launch failed";
    if (error) g_error_free(error);
    if (undo) undo();
    return {OpenResult::Outcome::failed, why};
  }

  kit::Logger log_;
  std::shared_ptr<ChangeCallback> onChange_;
  std::shared_ptr<WindowSource> source_;
  DesktopIndex index_;
  std::unique_ptr<IconTheme> theme_;
  std::chrono::steady_clock::time_point themeChosenAt_{};
};

}  // namespace

std::unique_ptr<AppWorkspace> openAppWorkspace(const WindowSourceFactory& makeSource, kit::Logger log) {
  return std::make_unique<LinuxAppWorkspace>(makeSource, std::move(log));
}

std::unique_ptr<AppWorkspace> openLinuxAppWorkspace(const std::string& display, kit::Logger log) {
  auto makeSource = [display, log](std::function<void()> changed) -> std::shared_ptr<WindowSource> {
    return std::make_shared<XSource>(display, log, std::move(changed));
  };
  return openAppWorkspace(makeSource, std::move(log));
}

}  // namespace tillerpad::platform::linux_apps
