#include "platform/linux/x11_screen_capture.h"

#include <poll.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include <libyuv/scale_argb.h>

#include "platform/linux/frame_pool.h"
#include "platform/linux/wakeup.h"
#include "platform/linux/x11_display.h"

// Last: Xlib's macros clash with the headers above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>

namespace tillerpad::platform::linux_x11 {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Waits on a connection are cut into slices so that a stop is seen promptly
// even if a wake-up were lost.
constexpr auto kLongestWait = 500ms;
// How long a stream's destructor waits for its thread before letting it go.
constexpr auto kEndWait = 2s;
// A server that went away is looked for again this often.
constexpr auto kReconnectInterval = 2s;
// Frames lent at once: the pump holds at most two in flight and one pending.
constexpr auto kShortestInterval = 2ms;
// Monitors made with RRSetMonitor (`xrandr --setmonitor`) come and go
// without any RandR event: they are looked at this often.
constexpr auto kMonitorLookInterval = 1s;

// Waits until the X connection or the wake-up is readable, or `timeout`.
// Returns whether the X connection is.
bool waitFor(Display* display, Wakeup& wakeup, Clock::duration timeout) {
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(std::clamp<Clock::duration>(timeout, 0ms, kLongestWait));
  pollfd fds[2] = {{wakeup.fd(), POLLIN, 0}, {display ? ConnectionNumber(display) : -1, POLLIN, 0}};
  int n = ::poll(fds, display ? 2 : 1, static_cast<int>(ms.count()));
  if (n <= 0) return false;
  if (fds[0].revents) wakeup.drain();
  return display && fds[1].revents != 0;
}

struct Rect {
  int x = 0, y = 0, width = 0, height = 0;
  friend bool operator==(const Rect&, const Rect&) = default;
  bool intersects(int ox, int oy, int ow, int oh) const {
    return ox < x + width && x < ox + ow && oy < y + height && y < oy + oh;
  }
};

struct Monitor {
  CaptureDisplay display;
  Rect rect;
};

// The monitor name from an EDID block: the descriptor tagged 0xFC.
std::string edidModelName(const unsigned char* edid, unsigned long length) {
  if (length < 128) return {};
  for (int offset : {54, 72, 90, 108}) {
    const unsigned char* d = edid + offset;
    if (d[0] != 0 || d[1] != 0 || d[2] != 0 || d[3] != 0xFC) continue;
    std::string name;
    for (int i = 5; i < 18 && d[i] != 0x0A; ++i) name.push_back(static_cast<char>(d[i]));
    while (!name.empty() && name.back() == ' ') name.pop_back();
    return name;
  }
  return {};
}

std::string outputName(Display* display, XRRScreenResources* resources, RROutput output) {
  std::string name;
  if (Atom edidAtom = XInternAtom(display, "EDID", True)) {
    Atom type = 0;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    if (XRRGetOutputProperty(display, output, edidAtom, 0, 64, False, False, AnyPropertyType, &type, &format, &items, &after,
                             &data) == Success &&
        data) {
      if (format == 8) name = edidModelName(data, items);
      XFree(data);
    }
  }
  if (name.empty() && resources) {
    if (XRROutputInfo* info = XRRGetOutputInfo(display, resources, output)) {
      name.assign(info->name, static_cast<std::size_t>(info->nameLen));
      XRRFreeOutputInfo(info);
    }
  }
  return name;
}

// The RandR monitors now, in the server's order.
std::vector<Monitor> readMonitors(Display* display) {
  std::vector<Monitor> result;
  Window root = XDefaultRootWindow(display);
  XErrorTrap trap(display);
  int count = 0;
  XRRMonitorInfo* monitors = XRRGetMonitors(display, root, True, &count);
  if (!monitors) return result;
  XRRScreenResources* resources = XRRGetScreenResourcesCurrent(display, root);
  bool anyPrimary = false;
  for (int i = 0; i < count; ++i) {
    const XRRMonitorInfo& m = monitors[i];
    Monitor monitor;
    monitor.display.id = static_cast<std::uint32_t>(m.name);
    if (m.noutput > 0) monitor.display.name = outputName(display, resources, m.outputs[0]);
    if (monitor.display.name.empty()) {
      if (char* atomName = XGetAtomName(display, m.name)) {
        monitor.display.name = atomName;
        XFree(atomName);
      }
    }
    monitor.display.pointWidth = std::max(1, m.width);
    monitor.display.pointHeight = std::max(1, m.height);
    monitor.display.pixelWidth = m.width;
    monitor.display.left = m.x;
    monitor.display.isMain = m.primary && !anyPrimary;
    anyPrimary = anyPrimary || m.primary;
    monitor.rect = Rect{m.x, m.y, m.width, m.height};
    result.push_back(std::move(monitor));
  }
  if (!anyPrimary && !result.empty()) {
    // No primary: the first that shows a real output; monitors made up with
    // RRSetMonitor come first in the list but are rarely what is meant.
    std::size_t main = 0;
    for (int i = count - 1; i >= 0; --i) {
      if (monitors[i].noutput > 0) main = static_cast<std::size_t>(i);
    }
    result[main].display.isMain = true;
  }
  if (resources) XRRFreeScreenResources(resources);
  XRRFreeMonitors(monitors);
  return result;
}

// Where monitor `id` is now, if it exists: one request, for the capture's
// regular look.
std::optional<Rect> monitorRect(Display* display, std::uint32_t id) {
  XErrorTrap trap(display);
  int count = 0;
  XRRMonitorInfo* monitors = XRRGetMonitors(display, XDefaultRootWindow(display), True, &count);
  std::optional<Rect> found;
  for (int i = 0; monitors && i < count; ++i) {
    if (static_cast<std::uint32_t>(monitors[i].name) == id) {
      found = Rect{monitors[i].x, monitors[i].y, monitors[i].width, monitors[i].height};
    }
  }
  if (monitors) XRRFreeMonitors(monitors);
  return found;
}

bool hasRandr15(Display* display) {
  int eventBase = 0, errorBase = 0, major = 0, minor = 0;
  return XRRQueryExtension(display, &eventBase, &errorBase) && XRRQueryVersion(display, &major, &minor) &&
         (major > 1 || (major == 1 && minor >= 5));
}


// ---------------------------------------------------------------------------
// One capture: its thread, its connection and everything it reads with.

std::optional<std::string> checkConfig(const CaptureConfig& config) {
  if (config.width < 1 || config.height < 1 || config.width > 16384 || config.height > 16384) {
    return "Invalid capture size " + std::to_string(config.width) + "×" + std::to_string(config.height);
  }
  if (!(config.minFrameInterval >= 0)) return std::string("Invalid frame interval");
  return std::nullopt;
}

class StreamWorker : public std::enable_shared_from_this<StreamWorker> {
 public:
  StreamWorker(std::string displayName, CaptureConfig config, CaptureHandlers handlers, kit::Logger log)
      : displayName_(std::move(displayName)), config_(config), handlers_(std::move(handlers)), log_(std::move(log)) {}

  void run(ScreenCapture::StartDone done);

  // From the stream object, any thread.
  void post(bool stop, std::optional<CaptureConfig> config, CaptureStream::Done done) {
    {
      std::lock_guard lock(mutex_);
      commands_.push_back(Command{stop, config, std::move(done)});
    }
    wakeup_.signal();
  }
  // The stream object is gone: end without completions; wait a little for
  // the thread unless it is this one.
  void abandon() {
    std::unique_lock lock(mutex_);
    abandoned_ = true;
    wakeup_.signal();
    if (std::this_thread::get_id() == threadID_) return;
    finishedChanged_.wait_for(lock, kEndWait, [this] { return finished_; });
  }

 private:
  struct Command {
    bool stop = false;
    std::optional<CaptureConfig> config;
    CaptureStream::Done done;
  };

  std::optional<std::string> open();
  void close();
  bool setUpImage();
  void dropImage();
  void loop();
  // Returns false when the loop must end.
  bool handleCommands(CaptureStream::Done& stopDone);
  void readEvents(bool socketReadable);
  void refreshMonitor();
  void refreshCursor();
  void pollPointer();
  void capture(Clock::time_point now, Clock::duration interval);
  void drawCursor(unsigned char* pixels, int stride);
  void endByPlatform(std::string why);

  std::string displayName_;
  CaptureConfig config_;
  CaptureHandlers handlers_;
  kit::Logger log_;
  Wakeup wakeup_;

  std::mutex mutex_;
  std::condition_variable finishedChanged_;
  std::deque<Command> commands_;
  bool abandoned_ = false;
  bool finished_ = false;
  std::thread::id threadID_;

  // Owned by the capture thread.
  Display* display_ = nullptr;
  Window root_ = 0;
  Rect rect_;  // the monitor on the screen, clipped to it
  XImage* image_ = nullptr;
  XShmSegmentInfo shm_{};
  bool useShm_ = false;
  int damageEvent_ = -1, fixesEvent_ = -1, randrEvent_ = -1;
  Damage damage_ = 0;
  bool hasFixes_ = false;
  std::shared_ptr<FramePool> pool_ = std::make_shared<FramePool>();
  bool dirty_ = true;  // the first frame is always delivered
  bool ended_ = false; // the platform ended the capture
  Clock::time_point lastFrame_{}, lastPointerPoll_{}, retryAt_{}, lastMonitorLook_{};
  unsigned long subtractSerial_ = 0;  // damage reported before this request is in the last read
  int pointerX_ = -1, pointerY_ = -1;
  bool pointerKnown_ = false;
  struct {
    std::vector<std::uint32_t> argb;  // premultiplied
    int width = 0, height = 0, xhot = 0, yhot = 0;
  } cursor_;
};

void StreamWorker::run(ScreenCapture::StartDone done) {
  {
    std::lock_guard lock(mutex_);
    threadID_ = std::this_thread::get_id();
  }
  auto error = checkConfig(config_);
  if (!error) error = open();
  if (error) {
    close();
    done(nullptr, error);
  } else {
    class Stream : public CaptureStream {
     public:
      explicit Stream(std::shared_ptr<StreamWorker> worker) : worker_(std::move(worker)) {}
      ~Stream() override { worker_->abandon(); }
      void update(const CaptureConfig& config, Done done) override { worker_->post(false, config, std::move(done)); }
      void stop(Done done) override { worker_->post(true, std::nullopt, std::move(done)); }

     private:
      std::shared_ptr<StreamWorker> worker_;
    };
    done(std::make_unique<Stream>(shared_from_this()), std::nullopt);
    loop();
  }
  std::lock_guard lock(mutex_);
  finished_ = true;
  finishedChanged_.notify_all();
}

std::optional<std::string> StreamWorker::open() {
  display_ = openDisplay(displayName_);
  if (!display_) return "Cannot open the X display";
  root_ = XDefaultRootWindow(display_);
  if (!hasRandr15(display_)) return std::string("The X server has no RandR 1.5 monitors");
  Visual* visual = XDefaultVisual(display_, XDefaultScreen(display_));
  if (XDefaultDepth(display_, XDefaultScreen(display_)) < 24 || visual->red_mask != 0xff0000 ||
      visual->green_mask != 0xff00 || visual->blue_mask != 0xff) {
    return std::string("The X screen's pixel format is not 24-bit RGB");
  }
  int errorBase = 0;
  randrEvent_ = -1;
  XRRQueryExtension(display_, &randrEvent_, &errorBase);
  XRRSelectInput(display_, root_, RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
  refreshMonitor();
  if (ended_) return "No display with id " + std::to_string(config_.displayID);
  if (XDamageQueryExtension(display_, &damageEvent_, &errorBase)) {
    damage_ = XDamageCreate(display_, root_, XDamageReportDeltaRectangles);
  }
  hasFixes_ = XFixesQueryExtension(display_, &fixesEvent_, &errorBase);
  if (hasFixes_) {
    XFixesSelectCursorInput(display_, root_, XFixesDisplayCursorNotifyMask);
    refreshCursor();
  }
  if (!setUpImage()) return std::string("Cannot read the X screen");
  XSync(display_, False);
  if (isDisplayLost(display_)) return std::string("Lost the X display");
  return std::nullopt;
}

bool StreamWorker::setUpImage() {
  dropImage();
  if (rect_.width < 1 || rect_.height < 1) return false;
  int screen = XDefaultScreen(display_);
  Visual* visual = XDefaultVisual(display_, screen);
  auto depth = static_cast<unsigned>(XDefaultDepth(display_, screen));
  auto width = static_cast<unsigned>(rect_.width), height = static_cast<unsigned>(rect_.height);
  useShm_ = XShmQueryExtension(display_);
  if (useShm_) {
    shm_ = XShmSegmentInfo{};
    image_ = XShmCreateImage(display_, visual, depth, ZPixmap, nullptr, &shm_, width, height);
    int id = image_ ? ::shmget(IPC_PRIVATE, static_cast<std::size_t>(image_->bytes_per_line) * height, IPC_CREAT | 0600) : -1;
    void* address = id >= 0 ? ::shmat(id, nullptr, 0) : reinterpret_cast<void*>(-1);
    bool attached = false;
    if (address != reinterpret_cast<void*>(-1)) {
      shm_.shmid = id;
      shm_.shmaddr = image_->data = static_cast<char*>(address);
      shm_.readOnly = False;
      XErrorTrap trap(display_);
      XShmAttach(display_, &shm_);
      attached = trap.check() == 0 && !isDisplayLost(display_);
    }
    // Gone once both sides let go, even if this process dies first.
    if (id >= 0) ::shmctl(id, IPC_RMID, nullptr);
    if (!attached) {
      // A server on another machine, or no shared memory: plain reads.
      if (address != reinterpret_cast<void*>(-1)) ::shmdt(address);
      if (image_) {
        image_->data = nullptr;
        XDestroyImage(image_);
        image_ = nullptr;
      }
      useShm_ = false;
      log_.info("MIT-SHM unavailable; reading the screen without it");
    }
  }
  if (!useShm_) {
    image_ = XCreateImage(display_, visual, depth, ZPixmap, 0, nullptr, width, height, 32, 0);
    if (!image_) return false;
    image_->data = static_cast<char*>(std::calloc(static_cast<std::size_t>(image_->bytes_per_line) * height, 1));
  }
  if (image_->bits_per_pixel != 32 || image_->byte_order != LSBFirst) {
    dropImage();
    return false;
  }
  return true;
}

void StreamWorker::dropImage() {
  if (!image_) return;
  if (useShm_) {
    if (!isDisplayLost(display_)) XShmDetach(display_, &shm_);
    ::shmdt(shm_.shmaddr);
    image_->data = nullptr;
  }
  XDestroyImage(image_);  // frees a plain image's data
  image_ = nullptr;
}

void StreamWorker::close() {
  if (!display_) return;
  bool lost = isDisplayLost(display_);
  if (!lost) XSync(display_, False);  // the server has read the image before the segment goes
  dropImage();
  if (damage_ && !isDisplayLost(display_)) XDamageDestroy(display_, damage_);
  closeDisplay(display_);
  display_ = nullptr;
}

// Reads the captured monitor again; a vanished one ends the capture.
void StreamWorker::refreshMonitor() {
  lastMonitorLook_ = Clock::now();
  std::optional<Rect> found = monitorRect(display_, config_.displayID);
  if (isDisplayLost(display_)) return;
  if (!found) {
    ended_ = true;
    return;
  }
  int screen = XDefaultScreen(display_);
  int right = std::min(found->x + found->width, XDisplayWidth(display_, screen));
  int bottom = std::min(found->y + found->height, XDisplayHeight(display_, screen));
  Rect clipped{std::max(found->x, 0), std::max(found->y, 0), 0, 0};
  clipped.width = std::max(0, right - clipped.x);
  clipped.height = std::max(0, bottom - clipped.y);
  if (clipped == rect_) return;
  rect_ = clipped;
  dirty_ = true;
  if (image_ && !setUpImage()) ended_ = true;
}

void StreamWorker::refreshCursor() {
  XFixesCursorImage* image = XFixesGetCursorImage(display_);
  if (!image) return;
  cursor_.width = image->width;
  cursor_.height = image->height;
  cursor_.xhot = image->xhot;
  cursor_.yhot = image->yhot;
  cursor_.argb.resize(static_cast<std::size_t>(image->width) * image->height);
  // Xlib hands each 32-bit pixel in an unsigned long.
  for (std::size_t i = 0; i < cursor_.argb.size(); ++i) cursor_.argb[i] = static_cast<std::uint32_t>(image->pixels[i]);
  XFree(image);
}

void StreamWorker::pollPointer() {
  Window rootReturn = 0, child = 0;
  int x = 0, y = 0, wx = 0, wy = 0;
  unsigned int mask = 0;
  if (!XQueryPointer(display_, root_, &rootReturn, &child, &x, &y, &wx, &wy, &mask)) return;
  if (pointerKnown_ && x == pointerX_ && y == pointerY_) return;
  // Only a cursor that touches the monitor, before or after, changes the picture.
  auto touches = [&](int px, int py) {
    return rect_.intersects(px - cursor_.xhot, py - cursor_.yhot, std::max(cursor_.width, 1), std::max(cursor_.height, 1));
  };
  if (!pointerKnown_ || touches(x, y) || touches(pointerX_, pointerY_)) dirty_ = true;
  pointerX_ = x;
  pointerY_ = y;
  pointerKnown_ = true;
}

void StreamWorker::readEvents(bool socketReadable) {
  int queued = XEventsQueued(display_, socketReadable ? QueuedAfterReading : QueuedAlready);
  bool monitorsChanged = false;
  for (; queued > 0; --queued) {
    XEvent event;
    XNextEvent(display_, &event);
    if (damageEvent_ >= 0 && event.type == damageEvent_ + XDamageNotify) {
      const auto& d = reinterpret_cast<const XDamageNotifyEvent&>(event);
      if (d.serial >= subtractSerial_ && rect_.intersects(d.area.x, d.area.y, d.area.width, d.area.height)) dirty_ = true;
    } else if (hasFixes_ && event.type == fixesEvent_ + XFixesCursorNotify) {
      refreshCursor();
      if (config_.showCursor) dirty_ = true;
    } else if (randrEvent_ >= 0 && event.type >= randrEvent_ && event.type <= randrEvent_ + RRNotify) {
      XRRUpdateConfiguration(&event);
      monitorsChanged = true;
    }
  }
  if (monitorsChanged) refreshMonitor();
}

void StreamWorker::drawCursor(unsigned char* pixels, int stride) {
  int left = pointerX_ - cursor_.xhot - rect_.x, top = pointerY_ - cursor_.yhot - rect_.y;
  int x0 = std::max(left, 0), x1 = std::min(left + cursor_.width, rect_.width);
  int y0 = std::max(top, 0), y1 = std::min(top + cursor_.height, rect_.height);
  for (int y = y0; y < y1; ++y) {
    const std::uint32_t* src = cursor_.argb.data() + static_cast<std::size_t>(y - top) * cursor_.width + (x0 - left);
    unsigned char* dst = pixels + static_cast<std::size_t>(y) * stride + static_cast<std::size_t>(x0) * 4;
    for (int x = x0; x < x1; ++x, ++src, dst += 4) {
      std::uint32_t p = *src;
      std::uint32_t alpha = p >> 24;
      if (alpha == 0) continue;
      std::uint32_t keep = 255 - alpha;
      // Premultiplied: out = src + dst × (1 − alpha).
      for (int c = 0; c < 3; ++c) {
        std::uint32_t s = (p >> (8 * c)) & 0xff;
        std::uint32_t v = s + (dst[c] * keep + 127) / 255;
        dst[c] = static_cast<unsigned char>(std::min<std::uint32_t>(v, 255));
      }
    }
  }
}

void StreamWorker::capture(Clock::time_point now, Clock::duration interval) {
  int slot = pool_->acquire();
  if (slot < 0) {
    retryAt_ = now + interval;  // the consumer is behind: this tick is skipped
    return;
  }
  lastFrame_ = now;
  if (damage_) {
    // Before the read, so nothing is missed.
    subtractSerial_ = NextRequest(display_);
    XDamageSubtract(display_, damage_, None, None);
  }
  bool read = false;
  {
    XErrorTrap trap(display_);
    if (useShm_) {
      read = XShmGetImage(display_, root_, image_, rect_.x, rect_.y, AllPlanes);
    } else {
      read = XGetSubImage(display_, root_, rect_.x, rect_.y, static_cast<unsigned>(rect_.width),
                          static_cast<unsigned>(rect_.height), AllPlanes, ZPixmap, image_, 0, 0) != nullptr;
    }
    read = read && trap.check() == 0;
  }
  if (!read) {
    pool_->release(slot);
    // The screen may have just changed size: look again next time.
    if (!isDisplayLost(display_)) refreshMonitor();
    return;
  }
  dirty_ = false;
  auto* source = reinterpret_cast<unsigned char*>(image_->data);
  if (config_.showCursor) {
    pollPointer();  // where it is drawn now; a move seen here is in this frame
    dirty_ = false;
    if (hasFixes_ && !cursor_.argb.empty()) drawCursor(source, image_->bytes_per_line);
  }
  CapturedFrame& frame = pool_->frame(slot);
  if (frame.width != config_.width || frame.height != config_.height) {
    frame.width = config_.width;
    frame.height = config_.height;
    frame.stride = config_.width * 4;
    frame.pixels.resize(static_cast<std::size_t>(frame.stride) * frame.height);
  }
  libyuv::ARGBScale(source, image_->bytes_per_line, rect_.width, rect_.height, frame.pixels.data(), frame.stride, frame.width,
                    frame.height, libyuv::kFilterBox);
  if (handlers_.frame) {
    handlers_.frame(lend(pool_, slot));
  } else {
    pool_->release(slot);
  }
}

bool StreamWorker::handleCommands(CaptureStream::Done& stopDone) {
  std::deque<Command> commands;
  {
    std::lock_guard lock(mutex_);
    if (abandoned_) return false;
    commands.swap(commands_);
  }
  for (std::size_t i = 0; i < commands.size(); ++i) {
    Command& c = commands[i];
    if (c.stop) {
      stopDone = std::move(c.done);
      // Later commands find the capture stopped.
      for (std::size_t j = i + 1; j < commands.size(); ++j) {
        if (commands[j].done) commands[j].done(std::string("The capture has stopped"));
      }
      return false;
    }
    std::optional<std::string> error = checkConfig(*c.config);
    if (!error && c.config->displayID != config_.displayID) error = "A capture cannot change its display";
    if (!error && !display_) error = "The capture has ended";
    if (!error) {
      if (c.config->width != config_.width || c.config->height != config_.height ||
          c.config->showCursor != config_.showCursor) {
        dirty_ = true;  // the consumer waits for a picture at its new size
      }
      config_ = *c.config;
    }
    if (c.done) c.done(error);
  }
  return true;
}

void StreamWorker::endByPlatform(std::string why) {
  ended_ = true;
  log_.notice("Screen capture ended: " + why);
  close();
  if (handlers_.stopped) handlers_.stopped(CaptureStop{std::move(why), false});
}

void StreamWorker::loop() {
  CaptureStream::Done stopDone;
  lastPointerPoll_ = Clock::now();
  for (;;) {
    if (!handleCommands(stopDone)) break;
    if (display_ && isDisplayLost(display_)) {
      endByPlatform("Lost the X display");
    } else if (display_ && ended_) {
      endByPlatform("The display went away");
    }
    if (!display_) {
      // Ended by the platform: waits for the owner's stop or for its end.
      waitFor(nullptr, wakeup_, kLongestWait);
      continue;
    }
    // A zero interval would spin on a still screen.
    auto interval = std::max<Clock::duration>(
        kShortestInterval, std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(config_.minFrameInterval)));
    auto now = Clock::now();
    if (!dirty_ && config_.showCursor && now >= lastPointerPoll_ + interval) {
      lastPointerPoll_ = now;
      pollPointer();
    }
    if (dirty_ && now >= lastFrame_ + interval && now >= retryAt_) capture(now, interval);
    if (now >= lastMonitorLook_ + kMonitorLookInterval) refreshMonitor();
    XFlush(display_);
    if (isDisplayLost(display_) || ended_) continue;
    now = Clock::now();
    Clock::time_point next = std::min(now + kLongestWait, lastMonitorLook_ + kMonitorLookInterval);
    if (dirty_) {
      next = std::max(lastFrame_ + interval, retryAt_);
    } else if (config_.showCursor) {
      next = lastPointerPoll_ + interval;
    }
    bool readable = XEventsQueued(display_, QueuedAlready) > 0 || waitFor(display_, wakeup_, next - now);
    readEvents(readable);
  }
  if (display_) close();
  if (stopDone) stopDone(std::nullopt);
}

}  // namespace

// ---------------------------------------------------------------------------
// The watcher: lists monitors and follows RandR changes on a connection of
// its own.

struct X11ScreenCapture::Watcher {
  std::string displayName;
  kit::Logger log;
  Wakeup wakeup;
  std::mutex mutex;
  std::deque<DisplaysDone> requests;
  std::function<void()> changed;
  bool ending = false;
  std::thread thread;

  Display* display = nullptr;
  int randrEvent = -1;
  Clock::time_point lastOpenAttempt{}, lastLook{};
  bool everConnected = false;
  std::vector<CaptureDisplay> lastSeen;

  std::vector<CaptureDisplay> read() {
    std::vector<CaptureDisplay> displays;
    for (Monitor& m : readMonitors(display)) displays.push_back(std::move(m.display));
    lastLook = Clock::now();
    return displays;
  }
  // Tells of a change in the list since the last look.
  void look() {
    auto now = read();
    disconnectIfLost();
    if (display && now != lastSeen) {
      lastSeen = std::move(now);
      notifyChanged();
    }
  }
  bool hasHandler() {
    std::lock_guard lock(mutex);
    return static_cast<bool>(changed);
  }

  void connect() {
    lastOpenAttempt = Clock::now();
    display = openDisplay(displayName);
    if (!display) return;
    int errorBase = 0;
    if (!hasRandr15(display) || !XRRQueryExtension(display, &randrEvent, &errorBase)) {
      log.error("The X server has no RandR 1.5 monitors");
      closeDisplay(display);
      display = nullptr;
      return;
    }
    XRRSelectInput(display, XDefaultRootWindow(display),
                   RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
    lastSeen = read();
    if (everConnected) notifyChanged();  // a new server: the arrangement may be new too
    everConnected = true;
  }

  void disconnectIfLost() {
    if (display && isDisplayLost(display)) {
      log.error("Lost the X display");
      closeDisplay(display);
      display = nullptr;
      notifyChanged();
    }
  }

  void notifyChanged() {
    std::function<void()> handler;
    {
      std::lock_guard lock(mutex);
      handler = changed;
    }
    if (handler) handler();
  }

  void run() {
    connect();
    for (;;) {
      std::deque<DisplaysDone> pending;
      bool end = false;
      {
        std::lock_guard lock(mutex);
        pending.swap(requests);
        end = ending;
      }
      if (!pending.empty()) {
        if (!display && !end) connect();
        std::vector<CaptureDisplay> displays;
        if (display && !end) {
          displays = read();
          disconnectIfLost();
          if (!display) displays.clear();
        }
        for (auto& done : pending) done(displays);
      }
      if (end) break;
      if (!display && Clock::now() - lastOpenAttempt >= kReconnectInterval) connect();
      if (display && hasHandler() && Clock::now() - lastLook >= kMonitorLookInterval) look();
      bool readable = display && XEventsQueued(display, QueuedAlready) > 0;
      if (!readable) readable = waitFor(display, wakeup, display ? kLongestWait : std::chrono::duration_cast<Clock::duration>(kReconnectInterval));
      if (display && readable) {
        bool changedNow = false;
        for (int n = XEventsQueued(display, QueuedAfterReading); n > 0; --n) {
          XEvent event;
          XNextEvent(display, &event);
          if (event.type >= randrEvent && event.type <= randrEvent + RRNotify) {
            XRRUpdateConfiguration(&event);
            changedNow = true;
          }
        }
        disconnectIfLost();
        if (display && changedNow) {
          // A mode or output change may leave the monitor list as it was;
          // tell all the same, the caller smooths bursts.
          lastSeen = read();
          notifyChanged();
        }
      }
    }
    if (display) closeDisplay(display);
    display = nullptr;
  }
};

X11ScreenCapture::X11ScreenCapture(std::string displayName, kit::Logger log)
    : displayName_(std::move(displayName)), log_(std::move(log)), watcher_(std::make_shared<Watcher>()) {
  prepareXlib();
  watcher_->displayName = displayName_;
  watcher_->log = log_;
  watcher_->thread = std::thread([w = watcher_.get()] { w->run(); });
}

X11ScreenCapture::~X11ScreenCapture() {
  {
    std::lock_guard lock(watcher_->mutex);
    watcher_->ending = true;
  }
  watcher_->wakeup.signal();
  watcher_->thread.join();
}

void X11ScreenCapture::listDisplays(DisplaysDone done) {
  {
    std::lock_guard lock(watcher_->mutex);
    watcher_->requests.push_back(std::move(done));
  }
  watcher_->wakeup.signal();
}

void X11ScreenCapture::setDisplaysChangedHandler(std::function<void()> changed) {
  std::lock_guard lock(watcher_->mutex);
  watcher_->changed = std::move(changed);
}

void X11ScreenCapture::start(const CaptureConfig& config, CaptureHandlers handlers, StartDone done) {
  auto worker = std::make_shared<StreamWorker>(displayName_, config, std::move(handlers), log_);
  // The thread keeps its worker; the stream object waits for it to end.
  std::thread([worker, done = std::move(done)]() mutable { worker->run(std::move(done)); }).detach();
}

}  // namespace tillerpad::platform::linux_x11
