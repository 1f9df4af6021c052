#pragma once

#include <asio/io_context.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "host/app/login_item.h"
#include "host/app/mac_settings.h"
#include "host/app/permission_monitor.h"
#include "host/apps/app_catalog.h"
#include "host/clipboard/clipboard_sync.h"
#include "host/input/input_injector.h"
#include "host/input/system_commands.h"
#include "host/screen/screen_streamer.h"
#include "host/service/connection_listener.h"
#include "host/service/device_registry.h"
#include "host/service/mac_identity.h"
#include "host/service/pairing_controller.h"
#include "host/service/server.h"
#include "kit/common/log.h"
#include "kit/pairing/credential_store.h"
#include "kit/transport/clock.h"
#include "kit/transport/local_network_policy.h"

namespace tillerpad::platform {
class AppWorkspace;
class DesktopShortcuts;
class DisplayQuery;
class InputEventSink;
class KeyboardLayoutSource;
class LoginItemService;
class Pasteboard;
class PermissionProbe;
class ScreenCapture;
class ServiceAdvertiser;
class SystemCommandRunner;
class SystemInfo;
class UserDefaults;
}  // namespace tillerpad::platform

namespace tillerpad::host {

// What the app model needs of the system, each behind its platform interface.
struct AppPlatform {
  asio::io_context& io;
  std::shared_ptr<kit::Clock> clock;
  std::function<std::chrono::system_clock::time_point()> wallClock;
  std::shared_ptr<kit::LogSink> logSink;
  platform::UserDefaults& defaults;
  const platform::SystemInfo& system;
  platform::LoginItemService& loginItems;
  // The secure store for a service name (the device records live under
  // "<subsystem>.devices").
  std::function<std::shared_ptr<kit::CredentialStore>(const std::string& service)> credentialStore;
  platform::PermissionProbe& permissions;
  platform::InputEventSink& inputEvents;
  platform::DisplayQuery& displays;
  double doubleClickInterval;
  platform::KeyboardLayoutSource* keyboardLayouts;  // null: the injector keeps its built-in map
  platform::SystemCommandRunner& commandRunner;
  platform::DesktopShortcuts& shortcuts;
  platform::ServiceAdvertiser& advertiser;
  ListenerFactory makeListener;
  const kit::InterfaceSource& interfaces;
  platform::ScreenCapture& screenCapture;
  JpegEncoderFactory makeJpegEncoder;  // one encoder per capture
  platform::Pasteboard& pasteboard;    // the desktop's clipboard
  platform::AppWorkspace& appWorkspace;  // installed and running applications
  std::uint16_t fastPort = 0;            // the fast channel's UDP port; 0: the system chooses
};

// Creates, wires and owns every long-lived service of the desktop, in a
// fixed order, and starts the server. Service thread only.
class AppModel {
 public:
  struct Alert {
    std::string messageText;
    std::string informativeText;
    std::string confirmButton;
    std::string cancelButton;
  };
  // Shows the alert and answers true for its confirm button.
  using Confirm = std::function<void(const Alert&, std::function<void(bool)> answer)>;

  explicit AppModel(AppPlatform platform);
  ~AppModel();
  AppModel(const AppModel&) = delete;
  AppModel& operator=(const AppModel&) = delete;

  // Asks for confirmation through `confirm`, then has the server revoke the phone.
  void revoke(const kit::PairedDevice& device);
  Confirm confirm = [](const Alert&, std::function<void(bool)> answer) { answer(false); };

  kit::Logger logger(std::string category) const;

 private:
  AppPlatform platform_;

 public:
  // In the order they are built.
  MacSettings settings;
  LoginItem loginItem;
  MacIdentity identity;
  DeviceRegistry registry;
  std::shared_ptr<PairingController> pairing;
  PermissionMonitor permissions;
  InputInjector input;
  SystemCommands commands;
  std::shared_ptr<kit::FastChannelListener> fastListener;
  std::shared_ptr<DisplayChanges> displayChanges;
  std::shared_ptr<ClipboardSync> clipboard;
  std::shared_ptr<AppCatalog> catalog;
  std::shared_ptr<Server> server;
};

}  // namespace tillerpad::host
