// The probes behind the backend choice, against real peers: a headless sway,
// private D-Bus buses (with a Mutter when one comes up), and sockets that
// accept but never answer.
#include "platform/linux/session_probe.h"

#include <gio/gio.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "tests/platform/linux/temp_dir.h"
#include "tests/support/child_process.h"
#include "tests/support/wayland_session.h"

namespace tillerpad::platform {
namespace {

using test::ScopedEnv;
using namespace std::chrono_literals;

constexpr const char* mutterName = "org.gnome.Mutter.RemoteDesktop";

// A unix socket that takes connections into its backlog and never reads.
class DeafSocket {
 public:
  explicit DeafSocket(std::string path) : path_(std::move(path)) {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd_, 8) != 0) {
      throw std::runtime_error("cannot listen on " + path_);
    }
  }
  ~DeafSocket() { ::close(fd_); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  int fd_ = -1;
};

// A dbus-daemon of the test's own at folder()/bus, as the user manager's
// bus is at $XDG_RUNTIME_DIR/bus; its address, or empty when none started.
class PrivateBus {
 public:
  PrivateBus()
      : daemon_("dbus-daemon",
                {"--session", "--nofork", "--print-address=1", "--address=unix:path=" + (dir_.path() / "bus").string()}) {
    if (auto line = daemon_.nextLine(10s)) address_ = *line;
  }
  const std::string& address() const { return address_; }
  const std::filesystem::path& folder() const { return dir_.path(); }

 private:
  test::TempDir dir_;
  tillerpad::test::ChildProcess daemon_;
  std::string address_;
};

TEST(WaylandProbe, HeadlessSwayOffersWhatTheWlrootsBackendNeeds) {
  tillerpad::test::PrivateSway sway;
  if (!sway.running()) GTEST_SKIP() << sway.skipReason();
  auto globals = probeWaylandGlobals(sway.socketPath(), 1s);
  ASSERT_TRUE(globals) << "no answer from " << sway.socketPath();
  auto offered = [&](const std::string& name) {
    return std::any_of(globals->begin(), globals->end(), [&](auto& g) { return g.interface == name && g.version >= 1; });
  };
  EXPECT_TRUE(offered("wl_compositor") && offered("wl_seat"));

  // The whole probe, from a client's environment: the socket by name in the runtime folder.
  auto slash = sway.socketPath().rfind('/');
  ScopedEnv runtime("XDG_RUNTIME_DIR", sway.socketPath().substr(0, slash).c_str());
  ScopedEnv wayland("WAYLAND_DISPLAY", sway.socketPath().substr(slash + 1).c_str());
  ScopedEnv x11("DISPLAY", nullptr);
  ScopedEnv bus("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/tillerpad-test-bus");
  auto facts = probeSession(1s);
  EXPECT_TRUE(facts.waylandConnected && facts.wlrVirtualPointer && facts.wlrScreencopy);
  EXPECT_EQ(chooseBackend(facts, std::nullopt).kind, BackendKind::wlroots);
}

// A peer that never answers costs the start at most the limit, and a missing
// one answers "nothing" at once.
TEST(SessionProbes, GiveUpOnPeersThatDoNotAnswer) {
  test::TempDir dir;
  DeafSocket deaf((dir.path() / "deaf").string());
  std::string missing = (dir.path() / "missing").string();
  ScopedEnv runtime("XDG_RUNTIME_DIR", dir.path().c_str());
  for (const auto& path : {deaf.path(), missing}) {
    SCOPED_TRACE(path);
    auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(probeWaylandGlobals(path, 300ms));
    ScopedEnv bus("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + path).c_str());
    EXPECT_FALSE(sessionBusNameHasOwner(mutterName, 300ms));
    // Generous: this is about not hanging, not about speed.
    EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
  }
  // Without $DBUS_SESSION_BUS_ADDRESS, the user manager's bus in the runtime
  // folder; none there: no bus is started.
  ScopedEnv noAddress("DBUS_SESSION_BUS_ADDRESS", nullptr);
  EXPECT_FALSE(sessionBusNameHasOwner(mutterName, 300ms));
}

TEST(BusProbe, FollowsTheNameOwnerOnAPrivateBus) {
  PrivateBus bus;
  ASSERT_FALSE(bus.address().empty()) << "dbus-daemon gave no address";
  ScopedEnv address("DBUS_SESSION_BUS_ADDRESS", bus.address().c_str());
  EXPECT_FALSE(sessionBusNameHasOwner(mutterName, 1s)) << "nobody owns it yet";

  GError* error = nullptr;
  GDBusConnection* owner = g_dbus_connection_new_for_address_sync(
      bus.address().c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, &error);
  ASSERT_TRUE(owner) << (error ? error->message : "");
  GVariant* reply = g_dbus_connection_call_sync(owner, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                "org.freedesktop.DBus", "RequestName",
                                                g_variant_new("(su)", mutterName, 0u), G_VARIANT_TYPE("(u)"),
                                                G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &error);
  ASSERT_TRUE(reply) << (error ? error->message : "");
  g_variant_unref(reply);
  EXPECT_TRUE(sessionBusNameHasOwner(mutterName, 1s));
  {
    ScopedEnv noAddress("DBUS_SESSION_BUS_ADDRESS", nullptr);
    ScopedEnv runtime("XDG_RUNTIME_DIR", bus.folder().c_str());
    EXPECT_TRUE(sessionBusNameHasOwner(mutterName, 1s)) << "the user manager's bus, found without the variable";
  }
  g_object_unref(owner);
}

// The real peer where it can run: Mutter headless on a bus of its own;
// gdbus says when it is up.
TEST(BusProbe, HeadlessMutterAnswers) {
  PrivateBus bus;
  ASSERT_FALSE(bus.address().empty()) << "dbus-daemon gave no address";
  test::TempDir runtime;
  ::chmod(runtime.path().c_str(), 0700);
  tillerpad::test::ChildProcess mutter("mutter", {"--headless", "--wayland", "--no-x11", "--virtual-monitor", "640x480"},
                            {{"DBUS_SESSION_BUS_ADDRESS", bus.address()},
                             {"XDG_RUNTIME_DIR", runtime.path().string()},
                             {"WAYLAND_DISPLAY", ""},
                             {"DISPLAY", ""}});
  ScopedEnv address("DBUS_SESSION_BUS_ADDRESS", bus.address().c_str());
  ScopedEnv wayland("WAYLAND_DISPLAY", nullptr);
  ScopedEnv x11("DISPLAY", nullptr);
  if (tillerpad::test::runShell(std::string("gdbus wait --session --timeout 15 ") + mutterName + " && echo up", 20s) != "up\n") {
    GTEST_SKIP() << "mutter did not come up on its bus within 15 s";
  }
  auto facts = probeSession(1s);
  EXPECT_TRUE(facts.mutterRemoteDesktop);
  EXPECT_EQ(chooseBackend(facts, std::nullopt).kind, BackendKind::gnome);
}

}  // namespace
}  // namespace tillerpad::platform
