#pragma once

#include <gio/gio.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kit/common/log.h"
#include "platform/geometry.h"
#include "platform/gnome/gio_util.h"

namespace tillerpad::platform::gnome {

// Mutter's remote-desktop session and its linked screen-cast session, on a
// private connection to the session bus whose GMainContext runs on a thread
// of its own. The session is made at start, with one stream per monitor so
// that absolute pointer motion has somewhere to land, and made again when
// Mutter closes it or comes back after going away. Every D-Bus call has a
// time limit.
class MutterRemoteDesktop {
 public:
  static constexpr const char* kRemoteDesktopName = "org.gnome.Mutter.RemoteDesktop";
  static constexpr const char* kSessionInterface = "org.gnome.Mutter.RemoteDesktop.Session";
  static constexpr const char* kScreenCastName = "org.gnome.Mutter.ScreenCast";

  struct Options {
    std::string busAddress;  // empty: the session bus
    std::chrono::milliseconds callTimeout{2000};
    // How long `open` waits for the first session to start.
    std::chrono::milliseconds startWait{5000};
  };

  // What happened to the session or its clipboard; delivered on the bus thread.
  struct Event {
    enum class Kind { started, closed, selectionOwnerChanged, selectionTransfer };
    Kind kind = Kind::started;
    std::vector<std::string> mimeTypes;  // selectionOwnerChanged
    bool sessionIsOwner = false;         // selectionOwnerChanged
    std::string mimeType;                // selectionTransfer
    std::uint32_t serial = 0;            // selectionTransfer
  };

  struct InputStream {
    std::string path;
    Rect area;  // desktop coordinates of what the stream shows
  };

  // Null when there is no session bus or Mutter does not answer on it.
  static std::shared_ptr<MutterRemoteDesktop> open(Options options, kit::Logger log);
  ~MutterRemoteDesktop();
  MutterRemoteDesktop(const MutterRemoteDesktop&) = delete;
  MutterRemoteDesktop& operator=(const MutterRemoteDesktop&) = delete;

  bool running() const;
  // Waits (bounded) until a session runs; false when none did in time.
  bool waitRunning(std::chrono::milliseconds limit) const;
  // A Notify call on the running session, sent without waiting for the
  // answer; calls from one thread reach Mutter in order. `parameters` may be
  // floating. False when no session runs.
  bool notify(const char* method, GVariant* parameters);
  // Waits (bounded) until Mutter has handled every call sent before, and
  // the signals it sent meanwhile have reached their handlers.
  bool flush();
  std::vector<InputStream> inputStreams() const;
  // Counts the sessions started so far: a new one means a new virtual device.
  std::uint64_t generation() const;
  std::string sessionPath() const;

  // A call with the connection's time limit, from any thread; null with the
  // reason in `error` on failure. `fdsIn`/`fdsOut` carry file descriptors.
  VariantPtr call(const char* destination, const std::string& path, const char* interface, const char* method,
                  GVariant* parameters, const char* replyType, std::string* error = nullptr, GUnixFDList* fdsIn = nullptr,
                  GUnixFDList** fdsOut = nullptr) const;

  // Runs `handler` on the bus thread for each event until unsubscribed.
  int subscribe(std::function<void(const Event&)> handler);
  void unsubscribe(int id);

  // Signals of another object (a screen-cast session), on the bus thread.
  // Returns 0 when the bus thread did not take the subscription in time.
  unsigned watchSignal(const char* sender, const std::string& path, const char* interface, const char* member,
                       std::function<void(GVariant*)> handler);
  void unwatchSignal(unsigned id);
  // Calls `gone` on the bus thread when Mutter leaves the bus.
  int subscribeVanished(std::function<void()> gone);
  void unsubscribeVanished(int id);

  GDBusConnection* connection() const;
  std::chrono::milliseconds callTimeout() const;

  struct State;

 private:
  explicit MutterRemoteDesktop(std::shared_ptr<State> state);
  std::shared_ptr<State> state_;
};

// The "mime-types" of a selection's options, in either shape Mutter sends.
std::vector<std::string> selectionMimeTypes(GVariant* options);

}  // namespace tillerpad::platform::gnome
