#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/desktop_shortcuts.h"
#include "platform/system_command_runner.h"

namespace tillerpad::platform::fake {

// Records media keys and power requests; a request listed in `failures`
// reports that error at once.
class FakeSystemCommands : public SystemCommandRunner, public DesktopShortcuts {
 public:
  struct MediaPost {
    MediaKey key;
    bool down;
    friend bool operator==(const MediaPost&, const MediaPost&) = default;
  };

  bool postMediaKey(MediaKey key, bool down) override {
    std::lock_guard lock(mutex_);
    media.push_back({key, down});
    return true;
  }
  void startPower(PowerRequest request, std::function<void(std::string)> onFailure) override {
    std::optional<std::string> failure;
    {
      std::lock_guard lock(mutex_);
      power.push_back(request);
      if (auto it = failures.find(request); it != failures.end()) failure = it->second;
    }
    if (failure) onFailure(*failure);
  }
  DesktopShortcut shortcut(std::string_view hotKeyId) override {
    std::lock_guard lock(mutex_);
    if (shortcutFailure) throw std::runtime_error(*shortcutFailure);
    auto it = shortcuts.find(std::string(hotKeyId));
    return it == shortcuts.end() ? DesktopShortcut{} : it->second;
  }
  bool performDirectly(std::string_view hotKeyId) override {
    std::lock_guard lock(mutex_);
    if (!direct.count(std::string(hotKeyId))) return false;
    performedDirectly.emplace_back(hotKeyId);
    return true;
  }

  // Set up before use; read after.
  std::vector<MediaPost> media;
  std::vector<PowerRequest> power;
  std::map<PowerRequest, std::string> failures;
  std::map<std::string, DesktopShortcut> shortcuts;
  std::map<std::string, bool> direct;  // hot key ids the desktop can do without a key
  std::vector<std::string> performedDirectly;
  std::optional<std::string> shortcutFailure;  // the desktop's settings cannot be read

 private:
  std::mutex mutex_;
};

}  // namespace tillerpad::platform::fake
