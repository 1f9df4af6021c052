#pragma once

// The tray application's entry, free of the toolkit's headers: the program's
// main builds the platform and calls it.
#include <asio/io_context.hpp>

#include <functional>
#include <memory>

#include "host/app/app_model.h"
#include "host/app/ui_bridge.h"
#include "kit/common/log.h"

namespace tillerpad::ui {

struct TrayService {
  asio::io_context& io;  // run by runTray on a thread of its own: the service thread
  // Both on the service thread: builds the model (may throw), and ends what
  // it runs once the loop has stopped, before it is destroyed.
  std::function<std::unique_ptr<host::AppModel>()> makeModel;
  std::function<void(host::AppModel&)> finish;
  host::UiBridge::OpenPermissionSettings openPermissionSettings;
  // Called once the toolkit has connected to the display.
  std::function<void()> toolkitStarted;
  kit::Logger log;
};

struct TrayOptions {
  // Started at login: no window opens by itself, unless no tray shows up.
  bool quiet = false;
};

// Runs the tray application until it quits (menu, Ctrl+Q, SIGINT, SIGTERM);
// returns the process's exit status.
int runTray(int& argc, char** argv, const TrayOptions& options, TrayService service);

}  // namespace tillerpad::ui
