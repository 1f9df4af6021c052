#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/app_workspace.h"

namespace tillerpad::platform::fake {

// Folders of ".desktop" files the test scripts, running applications, icons
// and the outcome of opening; every call is counted. Called on the catalog's
// worker while the test reads from its own thread, hence the lock.
class FakeAppWorkspace final : public AppWorkspace {
 public:
  struct Counts {
    int scans = 0;  // appFolders() calls
    int running = 0;
    int icons = 0;
    std::vector<std::string> listed;     // folders listed, in order
    std::vector<std::string> described;  // "folder/relative", in order
    std::vector<std::string> opened;
  };

  void setFolders(std::vector<std::string> folders) {
    std::lock_guard lock(mutex_);
    folders_ = std::move(folders);
  }
  // A file at folder/relativePath ("x.desktop" or "sub/x.desktop"; deeper
  // paths too, to see that they are not searched): listed in its folder and
  // in each subfolder on the way; described as `id` and `name` unless `id`
  // is empty (a file that describes nothing to show).
  void addFile(const std::string& folder, const std::string& relativePath, const std::string& id = "",
               const std::string& name = "") {
    std::lock_guard lock(mutex_);
    std::string dir = folder, rest = relativePath;
    for (std::size_t slash; (slash = rest.find('/')) != std::string::npos;) {
      addEntry(dir, {rest.substr(0, slash), true});
      dir += "/" + rest.substr(0, slash);
      rest = rest.substr(slash + 1);
    }
    addEntry(dir, {rest, false});
    if (!id.empty()) descriptions_[folder + "/" + relativePath] = {id, name, folder + "/" + relativePath};
  }
  void setRunning(Running running) {
    std::lock_guard lock(mutex_);
    running_ = std::move(running);
  }
  // Applications with an icon. `broken`: an icon whose pixels do not match
  // its size, which no encoder can take.
  void setIcons(std::set<std::string> ids, bool broken = false) {
    std::lock_guard lock(mutex_);
    icons_ = std::move(ids);
    brokenIcons_ = broken;
  }
  // What open(id) answers; unknown for ids not given.
  void setOpenResult(const std::string& id, OpenResult result) {
    std::lock_guard lock(mutex_);
    openResults_[id] = std::move(result);
  }
  // running() waits until release() (at most 5 s), as a slow X server would.
  void holdRunning() { setHeld(true); }
  void release() { setHeld(false); }

  // A launch, quit or activation, announced on the calling thread.
  void fireChange() {
    std::lock_guard lock(callbackMutex_);
    if (onChange_) onChange_();
  }
  bool hasOnChange() {
    std::lock_guard lock(callbackMutex_);
    return static_cast<bool>(onChange_);
  }
  Counts counts() {
    std::lock_guard lock(mutex_);
    return counts_;
  }

  std::vector<std::string> appFolders() override {
    std::lock_guard lock(mutex_);
    ++counts_.scans;
    return folders_;
  }
  std::vector<FolderEntry> listFolder(const std::string& path) override {
    std::lock_guard lock(mutex_);
    counts_.listed.push_back(path);
    auto it = listings_.find(path);
    return it == listings_.end() ? std::vector<FolderEntry>{} : it->second;
  }
  bool isCandidate(const std::string& fileName) override {
    return fileName.size() > 8 && fileName.ends_with(".desktop");
  }
  std::optional<Description> describe(const std::string& folder, const std::string& relativePath) override {
    std::lock_guard lock(mutex_);
    counts_.described.push_back(folder + "/" + relativePath);
    auto it = descriptions_.find(folder + "/" + relativePath);
    if (it == descriptions_.end()) return std::nullopt;
    return it->second;
  }
  Running running() override {
    std::unique_lock lock(mutex_);
    ++counts_.running;
    heldChanged_.wait_for(lock, std::chrono::seconds(5), [this] { return !held_; });
    return running_;
  }
  std::optional<Icon> icon(const std::string& id, int size) override {
    std::lock_guard lock(mutex_);
    ++counts_.icons;
    if (!icons_.count(id)) return std::nullopt;
    Icon icon{size, std::vector<std::uint8_t>(static_cast<std::size_t>(size) * size * 4, 0x80)};
    if (brokenIcons_) icon.rgba.resize(7);
    return icon;
  }
  OpenResult open(const std::string& id) override {
    std::lock_guard lock(mutex_);
    counts_.opened.push_back(id);
    auto it = openResults_.find(id);
    return it == openResults_.end() ? OpenResult{OpenResult::Outcome::unknown, ""} : it->second;
  }
  void setOnChange(std::function<void()> onChange) override {
    std::lock_guard lock(callbackMutex_);
    onChange_ = std::move(onChange);
  }

 private:
  void addEntry(const std::string& dir, FolderEntry entry) {
    auto& entries = listings_[dir];
    if (std::find(entries.begin(), entries.end(), entry) == entries.end()) entries.push_back(std::move(entry));
  }
  void setHeld(bool held) {
    {
      std::lock_guard lock(mutex_);
      held_ = held;
    }
    heldChanged_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable heldChanged_;
  std::vector<std::string> folders_;
  std::map<std::string, std::vector<FolderEntry>> listings_;
  std::map<std::string, Description> descriptions_;
  Running running_;
  std::set<std::string> icons_;
  bool brokenIcons_ = false, held_ = false;
  std::map<std::string, OpenResult> openResults_;
  Counts counts_;
  std::mutex callbackMutex_;  // held through a call, so setOnChange waits for it
  std::function<void()> onChange_;
};

}  // namespace tillerpad::platform::fake
