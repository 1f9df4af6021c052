#include "platform/linux/x11_pasteboard.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "platform/linux/clipboard_targets.h"
#include "platform/linux/wakeup.h"
#include "platform/linux/x11_display.h"

// Last: Xlib's macros clash with the headers above.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>

namespace tillerpad::platform::linux_x11 {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Waits are cut into slices so that a stop is seen even if a wake-up were lost.
constexpr auto kLongestWait = 500ms;
// A TARGETS answer longer than this is not a list of formats.
constexpr std::size_t kTargetsLimit = 64 * 1024;
constexpr std::size_t kMostTargets = 1024;
constexpr std::size_t kMostNamesKept = 4096;
// The server's answer to our own property change, for a timestamp.
constexpr auto kTimestampWait = 1s;

// A property as read: bytes for formats 8 and 16, items for format 32.
struct Reply {
  Atom type = None;
  int format = 0;
  Pasteboard::Bytes bytes;
  std::vector<unsigned long> items;
  // What it holds in memory (format 32 costs a long per item here).
  std::size_t size() const { return bytes.size() + items.size() * sizeof(unsigned long); }
};

enum class Outcome { ok, refused, timedOut, tooLarge, lost };

// What we own: every offer points into `items` or `latin1`.
struct Content {
  std::vector<std::pair<std::string, Pasteboard::Bytes>> items;  // as written, for our own reads
  std::vector<Pasteboard::Bytes> latin1;
  struct Served {
    Atom target;
    Atom type;
    const Pasteboard::Bytes* bytes;
  };
  std::vector<Served> served;
  Time time = CurrentTime;
};

// One chunked answer to a requestor, moved on by its deletions of the property.
struct Transfer {
  Window requestor;
  Atom property;
  Atom type;
  std::shared_ptr<const Content> content;
  const Pasteboard::Bytes* bytes;
  std::size_t offset = 0;
  Clock::time_point deadline;
};

// One conversion of the selection we asked for.
struct Fetch {
  Atom target = None;
  std::size_t limit = 0;
  std::function<void(Outcome, Reply)> done;
  Window window = None;
  bool incremental = false;
  // Past the limit: chunks are taken and dropped until the last, so that an
  // owner serving one requestor at a time is not left waiting on us.
  bool discarding = false;
  Reply reply;
  Clock::time_point deadline;
  std::int64_t startCount = 0;
};

}  // namespace

class X11Pasteboard::Worker : public std::enable_shared_from_this<Worker> {
 public:
  Worker(Options options, kit::Logger log) : options_(std::move(options)), log_(std::move(log)) {}

  void start() {
    display_ = openDisplay(options_.display);
    if (!display_) {
      log_.error("Cannot open the X display for the clipboard");
      lost_ = true;
    } else {
      setUp();
    }
    auto self = shared_from_this();
    thread_ = std::thread([self] { self->run(); });
  }

  // From the adapter's destructor: hand over, end the thread, let it go if it
  // does not end in time (a server that hangs).
  void finish() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wakeup_.signal();
    std::unique_lock lock(mutex_);
    bool ended = ended_.wait_for(lock, options_.handoverLimit + 2s, [this] { return done_; });
    lock.unlock();
    if (ended) {
      thread_.join();
    } else {
      thread_.detach();
    }
  }

  bool connected() const { return !lost_; }
  std::int64_t changeCount() const { return count_.load(); }

  void post(std::function<void()> task) {
    {
      std::lock_guard lock(mutex_);
      tasks_.push_back(std::move(task));
    }
    wakeup_.signal();
  }

  void types(std::function<void(std::vector<std::string>)> done) {
    if (content_) {
      std::vector<std::string> result;
      for (const auto& item : content_->items) {
        if (std::ranges::find(result, item.first) == result.end()) result.push_back(item.first);
      }
      done(std::move(result));
      return;
    }
    fetch(atoms_.targets, kTargetsLimit, [this, done = std::move(done)](Outcome outcome, Reply reply) {
      if (outcome != Outcome::ok || reply.format != 32) return done({});
      if (reply.items.size() > kMostTargets) reply.items.resize(kMostTargets);
      done(hostTypesForTargets(atomNames(reply.items)));
    });
  }

  void data(const std::string& type, std::size_t limit, std::function<void(Data)> done) {
    if (content_) {
      for (const auto& item : content_->items) {
        if (item.first == type) return done(item.second.size() <= limit ? Data::of(item.second) : Data::overLimit());
      }
      return done(Data::none());
    }
    readCandidate(targetsForReading(type), 0, limit, std::move(done));
  }

  void write(std::vector<std::pair<std::string, Bytes>> representations, std::function<void(std::optional<std::int64_t>)> done) {
    if (lost_ || representations.empty()) return done(std::nullopt);
    auto content = std::make_shared<Content>();
    content->items = std::move(representations);
    content->latin1.reserve(content->items.size());
    for (const auto& [type, bytes] : content->items) {
      for (const auto& offer : offersForWriting(type, bytes)) {
        Atom target = atom(offer.target);
        if (std::ranges::any_of(content->served, [&](const Content::Served& s) { return s.target == target; })) continue;
        const Bytes* served = &bytes;
        if (offer.latin1) served = &content->latin1.emplace_back(*utf8ToLatin1(bytes));
        content->served.push_back({target, atom(offer.type), served});
      }
    }
    if (content->served.empty()) return done(std::nullopt);
    content->time = timestamp();
    ownCount_.reset();
    XSetSelectionOwner(display_, atoms_.clipboard, window_, content->time);
    if (XGetSelectionOwner(display_, atoms_.clipboard) != window_ || isDisplayLost(display_)) {
      log_.info("Another client kept the clipboard");
      return done(std::nullopt);
    }
    content_ = std::move(content);
    // The owner-change event of our own write came before the answer above:
    // it is in Xlib's queue, and counting it gives the count this write made.
    while (XEventsQueued(display_, QueuedAlready) > 0 && !ownCount_) {
      XEvent event;
      XNextEvent(display_, &event);
      dispatch(event);
    }
    done(ownCount_ ? *ownCount_ : count_.load());
  }

 private:
  struct Atoms {
    Atom clipboard, targets, timestamp, multiple, incr, utf8, manager, saveTargets, fetchProperty, stampProperty, saveProperty;
  };

  void setUp() {
    const char* names[] = {"CLIPBOARD",
                           "TARGETS",
                           "TIMESTAMP",
                           "MULTIPLE",
                           "INCR",
                           "UTF8_STRING",
                           "CLIPBOARD_MANAGER",
                           "SAVE_TARGETS",
                           "TILLERPAD_CLIPBOARD",
                           "TILLERPAD_TIMESTAMP",
                           "TILLERPAD_SAVE_TARGETS"};
    Atom values[std::size(names)];
    XInternAtoms(display_, const_cast<char**>(names), static_cast<int>(std::size(names)), False, values);
    atoms_ = {values[0], values[1], values[2], values[3], values[4], values[5],
              values[6], values[7], values[8], values[9], values[10]};
    window_ = makeWindow();
    // Requests above this go in chunks (INCR). The bound leaves room for the
    // request's own header.
    chunk_ = std::max<std::size_t>(4096, static_cast<std::size_t>(XMaxRequestSize(display_)) * 4 - 1024);
    int error = 0;
    if (XFixesQueryExtension(display_, &fixesEvent_, &error)) {
      int major = 5, minor = 0;
      XFixesQueryVersion(display_, &major, &minor);
      XFixesSelectSelectionInput(
          display_, DefaultRootWindow(display_), atoms_.clipboard,
          XFixesSetSelectionOwnerNotifyMask | XFixesSelectionWindowDestroyNotifyMask | XFixesSelectionClientCloseNotifyMask);
    } else {
      fixesEvent_ = -1;
      log_.error("The X server lacks XFIXES: clipboard changes go unseen");
    }
    XFlush(display_);
  }

  Window makeWindow() {
    XSetWindowAttributes attributes{};
    attributes.event_mask = PropertyChangeMask;
    return XCreateWindow(display_, DefaultRootWindow(display_), -10, -10, 1, 1, 0, CopyFromParent, InputOnly, CopyFromParent,
                         CWEventMask, &attributes);
  }

  Atom atom(const std::string& name) {
    auto it = atomsByName_.find(name);
    if (it != atomsByName_.end()) return it->second;
    Atom value = XInternAtom(display_, name.c_str(), False);
    atomsByName_.emplace(name, value);
    names_.emplace(value, name);
    return value;
  }

  // Names of an owner's atoms; atoms the server does not know are left out.
  std::vector<std::string> atomNames(const std::vector<unsigned long>& atoms) {
    std::vector<std::string> result;
    for (unsigned long value : atoms) {
      Atom a = value;
      auto it = names_.find(a);
      if (it == names_.end()) {
        // Owners can name any number of atoms: the cache stays small.
        if (names_.size() >= kMostNamesKept) {
          names_.clear();
          atomsByName_.clear();
        }
        XErrorTrap trap(display_);
        char* name = a == None ? nullptr : XGetAtomName(display_, a);
        if (trap.check() != 0 || !name) {
          if (name) XFree(name);
          continue;
        }
        it = names_.emplace(a, name).first;
        atomsByName_.emplace(name, a);
        XFree(name);
      }
      result.push_back(it->second);
    }
    return result;
  }

  // Asks for each target in turn until one is offered.
  void readCandidate(std::vector<std::string> targets, std::size_t index, std::size_t limit,
                     std::function<void(Data)> done) {
    if (index >= targets.size() || lost_) return done(Data::none());
    std::string target = targets[index];
    bool latin1 = target == "STRING";
    fetch(
        atom(target), limit,
        [this, targets = std::move(targets), index, limit, latin1, done = std::move(done)](Outcome outcome, Reply reply) mutable {
          if (outcome == Outcome::refused) return readCandidate(std::move(targets), index + 1, limit, std::move(done));
          if (outcome == Outcome::tooLarge) return done(Data::overLimit());
          if (outcome != Outcome::ok || reply.format != 8) return done(Data::none());
          if (!latin1) return done(Data::of(std::move(reply.bytes)));
          auto text = latin1ToUtf8(reply.bytes);
          done(text.size() <= limit ? Data::of(std::move(text)) : Data::overLimit());
        });
  }

  void fetch(Atom target, std::size_t limit, std::function<void(Outcome, Reply)> done) {
    Fetch f;
    f.target = target;
    f.limit = limit;
    f.done = std::move(done);
    waiting_.push_back(std::move(f));
  }

  void startFetches() {
    while (!current_ && !waiting_.empty() && !lost_) {
      Fetch f = std::move(waiting_.front());
      waiting_.pop_front();
      // An owner that let one transfer run out keeps the rest waiting until
      // the clipboard changes: its stall is paid once, not per question.
      if (stalledAt_ && *stalledAt_ == count_.load()) {
        f.done(Outcome::timedOut, {});
        continue;
      }
      if (XGetSelectionOwner(display_, atoms_.clipboard) == None) {
        f.done(Outcome::refused, {});
        continue;
      }
      f.window = makeWindow();
      f.deadline = Clock::now() + options_.transferLimit;
      f.startCount = count_.load();
      XConvertSelection(display_, atoms_.clipboard, f.target, atoms_.fetchProperty, f.window, CurrentTime);
      XFlush(display_);
      current_ = std::move(f);
    }
  }

  void endFetch(Outcome outcome) {
    Fetch f = std::move(*current_);
    current_.reset();
    if (!isDisplayLost(display_)) XDestroyWindow(display_, f.window);
    if (outcome == Outcome::timedOut) {
      stalledAt_ = f.startCount;
      log_.info("The clipboard's owner did not answer in time");
    }
    f.done(outcome, outcome == Outcome::ok ? std::move(f.reply) : Reply{});
  }

  enum class Read { ok, absent, tooLarge };

  // Reads and deletes `property`, appending to `out`, unless it holds more
  // than `room` bytes: then it is only deleted.
  Read readProperty(Window window, Atom property, std::size_t room, Reply& out) {
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    XErrorTrap trap(display_);
    if (XGetWindowProperty(display_, window, property, 0, 0, False, AnyPropertyType, &type, &format, &count, &after, &data) !=
        Success) {
      return Read::absent;
    }
    if (data) XFree(data);
    if (type == None) return Read::absent;
    std::size_t cost = format == 32 ? after / 4 * sizeof(unsigned long) : after;
    if (cost > room) {
      XDeleteProperty(display_, window, property);
      return Read::tooLarge;
    }
    data = nullptr;
    if (XGetWindowProperty(display_, window, property, 0, static_cast<long>((after + 3) / 4), True, AnyPropertyType, &type,
                           &format, &count, &after, &data) != Success ||
        type == None) {
      return Read::absent;
    }
    out.type = type;
    out.format = format;
    if (data) {
      // Xlib hands format 32 out as longs and format 16 as shorts.
      if (format == 8) {
        out.bytes.insert(out.bytes.end(), data, data + count);
      } else if (format == 16) {
        auto* shorts = reinterpret_cast<const unsigned short*>(data);
        for (unsigned long i = 0; i < count; ++i) {
          out.bytes.push_back(static_cast<std::uint8_t>(shorts[i] & 0xFF));
          out.bytes.push_back(static_cast<std::uint8_t>(shorts[i] >> 8));
        }
      } else if (format == 32) {
        auto* longs = reinterpret_cast<const unsigned long*>(data);
        out.items.insert(out.items.end(), longs, longs + count);
      }
      XFree(data);
    }
    return Read::ok;
  }

  void onSelectionNotify(const XSelectionEvent& event) {
    if (!current_ || event.requestor != current_->window) return;
    if (event.property == None) return endFetch(Outcome::refused);
    Reply reply;
    Read read = readProperty(current_->window, event.property, current_->limit, reply);
    if (read == Read::tooLarge) return endFetch(Outcome::tooLarge);
    if (read == Read::absent) return endFetch(Outcome::refused);
    if (reply.type == atoms_.incr) {
      // The size announced is a lower bound: the limit is checked again on
      // every chunk.
      current_->incremental = true;
      current_->discarding = !reply.items.empty() && reply.items.front() > current_->limit;
      return;
    }
    current_->reply = std::move(reply);
    endFetch(Outcome::ok);
  }

  void onPropertyNotify(const XPropertyEvent& event) {
    if (current_ && current_->incremental && event.window == current_->window && event.atom == atoms_.fetchProperty &&
        event.state == PropertyNewValue) {
      Reply& reply = current_->reply;
      std::size_t held = reply.size();
      int format = reply.format;
      // Straight into the reply: no second copy of each chunk.
      Read read = readProperty(current_->window, event.atom, current_->discarding ? 0 : current_->limit - held, reply);
      if (read == Read::tooLarge) {
        current_->discarding = true;
        reply = {};
        return;
      }
      if (read == Read::absent) return;
      if (current_->discarding) return endFetch(Outcome::tooLarge);  // the empty last chunk
      if (reply.size() == held) {  // the empty last chunk, whatever format it names
        if (format != 0) reply.format = format;
        return endFetch(Outcome::ok);
      }
      if (format != 0 && reply.format != format) return endFetch(Outcome::refused);
      return;
    }
    if (event.state != PropertyDelete) return;
    for (auto it = transfers_.begin(); it != transfers_.end(); ++it) {
      if (it->requestor == event.window && it->property == event.atom) {
        if (!sendChunk(*it)) endTransfer(it);
        return;
      }
    }
  }

  // The next piece of a chunked answer; false when the transfer is over.
  bool sendChunk(Transfer& transfer) {
    std::size_t n = std::min(chunk_, transfer.bytes->size() - transfer.offset);
    XErrorTrap trap(display_);
    XChangeProperty(display_, transfer.requestor, transfer.property, transfer.type, 8, PropModeReplace,
                    transfer.bytes->data() + transfer.offset, static_cast<int>(n));
    transfer.offset += n;
    transfer.deadline = Clock::now() + options_.transferLimit;
    // The empty piece ends it; a requestor gone meanwhile ends it too.
    return n > 0 && trap.check() == 0;
  }

  void endTransfer(std::vector<Transfer>::iterator it) {
    Window requestor = it->requestor;
    transfers_.erase(it);
    if (std::ranges::none_of(transfers_, [&](const Transfer& t) { return t.requestor == requestor; })) {
      XErrorTrap trap(display_);
      XSelectInput(display_, requestor, NoEventMask);
    }
  }

  void onSelectionRequest(const XSelectionRequestEvent& request) {
    XSelectionEvent reply{};
    reply.type = SelectionNotify;
    reply.display = display_;
    reply.requestor = request.requestor;
    reply.selection = request.selection;
    reply.target = request.target;
    reply.time = request.time;
    // Requestors from before ICCCM name no property: the target is used.
    Atom property = request.property == None ? request.target : request.property;
    reply.property = answer(request, property) ? property : None;
    XErrorTrap trap(display_);
    XSendEvent(display_, request.requestor, False, NoEventMask, reinterpret_cast<XEvent*>(&reply));
    XFlush(display_);
  }

  // Puts the answer to `request` on the requestor's property; false to refuse.
  bool answer(const XSelectionRequestEvent& request, Atom property) {
    if (request.selection != atoms_.clipboard || !content_ || request.owner != window_) return false;
    if (request.time != CurrentTime && content_->time != CurrentTime && request.time < content_->time) return false;
    XErrorTrap trap(display_);
    if (request.target == atoms_.targets) {
      std::vector<Atom> list{atoms_.targets, atoms_.timestamp};
      for (const auto& served : content_->served) list.push_back(served.target);
      XChangeProperty(display_, request.requestor, property, XA_ATOM, 32, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(list.data()), static_cast<int>(list.size()));
      return trap.check() == 0;
    }
    if (request.target == atoms_.timestamp) {
      long time = static_cast<long>(content_->time);
      XChangeProperty(display_, request.requestor, property, XA_INTEGER, 32, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(&time), 1);
      return trap.check() == 0;
    }
    // MULTIPLE, and whatever we do not offer, is refused.
    auto served = std::ranges::find_if(content_->served, [&](const auto& s) { return s.target == request.target; });
    if (served == content_->served.end()) return false;
    if (served->bytes->size() <= chunk_) {
      XChangeProperty(display_, request.requestor, property, served->type, 8, PropModeReplace, served->bytes->data(),
                      static_cast<int>(served->bytes->size()));
      return trap.check() == 0;
    }
    // Too large for one request: announce the size, then a chunk per deletion.
    XSelectInput(display_, request.requestor, PropertyChangeMask);
    long size = static_cast<long>(served->bytes->size());
    XChangeProperty(display_, request.requestor, property, atoms_.incr, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&size), 1);
    if (trap.check() != 0) return false;
    std::erase_if(transfers_, [&](const Transfer& t) { return t.requestor == request.requestor && t.property == property; });
    transfers_.push_back(
        {request.requestor, property, served->type, content_, served->bytes, 0, Clock::now() + options_.transferLimit});
    return true;
  }

  void onOwnerChange(const XFixesSelectionNotifyEvent& event) {
    if (event.selection != atoms_.clipboard) return;
    std::int64_t n = ++count_;
    if (event.owner == window_ && !ownCount_) ownCount_ = n;
  }

  // A clear may be stale (from before a write of ours that took the
  // selection back): the server says whether we still own it.
  void onSelectionClear(const XSelectionClearEvent& event) {
    if (event.selection != atoms_.clipboard || event.window != window_ || !content_) return;
    if (XGetSelectionOwner(display_, atoms_.clipboard) != window_) content_.reset();
  }

  void dispatch(XEvent& event) {
    if (fixesEvent_ >= 0 && event.type == fixesEvent_ + XFixesSelectionNotify) {
      return onOwnerChange(reinterpret_cast<const XFixesSelectionNotifyEvent&>(event));
    }
    switch (event.type) {
      case SelectionNotify:
        onSelectionNotify(event.xselection);
        break;
      case SelectionRequest:
        onSelectionRequest(event.xselectionrequest);
        break;
      case SelectionClear:
        onSelectionClear(event.xselectionclear);
        break;
      case PropertyNotify:
        onPropertyNotify(event.xproperty);
        break;
      default:
        break;
    }
  }

  // A server time for taking the selection: the stamp of our own property
  // change. CurrentTime if the server does not answer in time.
  Time timestamp() {
    XChangeProperty(display_, window_, atoms_.stampProperty, XA_INTEGER, 8, PropModeAppend, nullptr, 0);
    XFlush(display_);
    auto deadline = Clock::now() + kTimestampWait;
    XEvent event;
    struct Match {
      static Bool is(Display*, XEvent* e, XPointer arg) {
        auto* self = reinterpret_cast<Worker*>(arg);
        return e->type == PropertyNotify && e->xproperty.window == self->window_ &&
               e->xproperty.atom == self->atoms_.stampProperty;
      }
    };
    while (!isDisplayLost(display_)) {
      if (XCheckIfEvent(display_, &event, Match::is, reinterpret_cast<XPointer>(this))) return event.xproperty.time;
      auto left = deadline - Clock::now();
      if (left <= 0s) break;
      pollfd fd{ConnectionNumber(display_), POLLIN, 0};
      ::poll(&fd, 1, static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count()));
    }
    return CurrentTime;
  }

  void checkDeadlines() {
    auto now = Clock::now();
    if (current_ && now >= current_->deadline) endFetch(Outcome::timedOut);
    for (auto it = transfers_.begin(); it != transfers_.end();) {
      if (now >= it->deadline) {
        log_.info("Dropped a clipboard requestor that stopped reading");
        endTransfer(it);
        it = transfers_.begin();
      } else {
        ++it;
      }
    }
  }

  Clock::time_point nextDeadline() const {
    auto next = Clock::now() + kLongestWait;
    if (current_) next = std::min(next, current_->deadline);
    for (const auto& t : transfers_) next = std::min(next, t.deadline);
    return next;
  }

  // Everything waiting completes with nothing: the display is gone.
  void failAll() {
    if (current_) {
      auto f = std::move(*current_);
      current_.reset();
      f.done(Outcome::lost, {});
    }
    while (!waiting_.empty()) {
      auto f = std::move(waiting_.front());
      waiting_.pop_front();
      f.done(Outcome::lost, {});
    }
    transfers_.clear();
    content_.reset();
  }

  void noteLoss() {
    if (lost_ || !isDisplayLost(display_)) return;
    lost_ = true;
    log_.error("Lost the X display; the clipboard is out of reach");
  }

  bool runTasks() {
    std::deque<std::function<void()>> tasks;
    bool stopping = false;
    {
      std::lock_guard lock(mutex_);
      tasks.swap(tasks_);
      stopping = stopping_;
    }
    for (auto& task : tasks) task();
    return stopping;
  }

  void pumpEvents() {
    while (!lost_ && XPending(display_) > 0) {
      XEvent event;
      XNextEvent(display_, &event);
      dispatch(event);
      noteLoss();
    }
    noteLoss();
  }

  void wait(Clock::time_point until) {
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(std::clamp<Clock::duration>(until - Clock::now(), 0ms, kLongestWait));
    pollfd fds[2] = {{wakeup_.fd(), POLLIN, 0}, {lost_ ? -1 : ConnectionNumber(display_), POLLIN, 0}};
    int n = ::poll(fds, 2, static_cast<int>(ms.count()));
    if (n > 0 && fds[0].revents) wakeup_.drain();
  }

  // Gives our content to the clipboard manager, serving its requests
  // meanwhile, for at most the hand-over limit.
  void handOver() {
    if (lost_ || !content_ || XGetSelectionOwner(display_, atoms_.manager) == None) return;
    std::vector<Atom> list;
    for (const auto& served : content_->served) list.push_back(served.target);
    XChangeProperty(display_, window_, atoms_.saveProperty, XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(list.data()), static_cast<int>(list.size()));
    XConvertSelection(display_, atoms_.manager, atoms_.saveTargets, atoms_.saveProperty, window_, content_->time);
    XFlush(display_);
    auto deadline = Clock::now() + options_.handoverLimit;
    while (!lost_ && Clock::now() < deadline) {
      while (!lost_ && XPending(display_) > 0) {
        XEvent event;
        XNextEvent(display_, &event);
        if (event.type == SelectionNotify && event.xselection.requestor == window_ &&
            event.xselection.selection == atoms_.manager) {
          if (event.xselection.property == None) log_.info("The clipboard manager refused to keep the clipboard");
          return;
        }
        dispatch(event);
        noteLoss();
      }
      checkDeadlines();
      wait(std::min(deadline, nextDeadline()));
    }
    log_.info("The clipboard manager did not take the clipboard in time");
  }

  void run() {
    for (;;) {
      bool stopping = runTasks();
      if (stopping) break;
      if (!lost_) {
        pumpEvents();
        if (!lost_) {
          checkDeadlines();
          startFetches();
          pumpEvents();
        }
      }
      if (lost_) failAll();
      wait(nextDeadline());
    }
    handOver();
    failAll();
    if (display_) {
      if (!lost_) XDestroyWindow(display_, window_);
      closeDisplay(display_);
    }
    // Questions that came in while stopping.
    std::deque<std::function<void()>> tasks;
    {
      std::lock_guard lock(mutex_);
      tasks.swap(tasks_);
    }
    lost_ = true;
    for (auto& task : tasks) task();
    std::lock_guard lock(mutex_);
    done_ = true;
    ended_.notify_all();
  }

  Options options_;
  kit::Logger log_;
  std::thread thread_;
  Wakeup wakeup_;
  std::mutex mutex_;
  std::condition_variable ended_;
  std::deque<std::function<void()>> tasks_;
  bool stopping_ = false;
  bool done_ = false;
  std::atomic<std::int64_t> count_{0};
  std::atomic<bool> lost_{false};

  // The thread's own.
  Display* display_ = nullptr;
  Window window_ = None;
  Atoms atoms_{};
  int fixesEvent_ = -1;
  std::size_t chunk_ = 4096;
  std::map<std::string, Atom> atomsByName_;
  std::map<Atom, std::string> names_;
  std::shared_ptr<const Content> content_;
  std::optional<std::int64_t> ownCount_;
  std::optional<std::int64_t> stalledAt_;
  std::optional<Fetch> current_;
  std::deque<Fetch> waiting_;
  std::vector<Transfer> transfers_;
};

X11Pasteboard::X11Pasteboard(Options options, kit::Logger log)
    : worker_(std::make_shared<Worker>(std::move(options), std::move(log))) {
  worker_->start();
}

X11Pasteboard::~X11Pasteboard() { worker_->finish(); }

bool X11Pasteboard::connected() const { return worker_->connected(); }

std::int64_t X11Pasteboard::changeCount() { return worker_->changeCount(); }

void X11Pasteboard::types(std::function<void(std::vector<std::string>)> done) {
  worker_->post([w = worker_.get(), done = std::move(done)]() mutable {
    if (!w->connected()) return done({});
    w->types(std::move(done));
  });
}

void X11Pasteboard::data(const std::string& type, std::size_t limit, std::function<void(Data)> done) {
  worker_->post([w = worker_.get(), type, limit, done = std::move(done)]() mutable {
    if (!w->connected()) return done(Data::none());
    w->data(type, limit, std::move(done));
  });
}

void X11Pasteboard::write(std::vector<std::pair<std::string, Bytes>> representations,
                          std::function<void(std::optional<std::int64_t>)> done) {
  worker_->post([w = worker_.get(), representations = std::move(representations), done = std::move(done)]() mutable {
    if (!w->connected()) return done(std::nullopt);
    w->write(std::move(representations), std::move(done));
  });
}

}  // namespace tillerpad::platform::linux_x11
