#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

typedef struct _GDesktopAppInfo GDesktopAppInfo;

namespace tillerpad::platform::linux_apps {

// Installed applications as desktop entries in the XDG data folders. GIO
// reads the files (GDesktopAppInfo over GKeyFile); what is left here is which
// of them a user would be shown, and the ids.

// $XDG_DATA_HOME/applications, then each $XDG_DATA_DIRS entry's (by default
// /usr/local/share and /usr/share); relative entries and repeats left out.
std::vector<std::string> applicationFolders();

// A folder's entries by name, each with whether it is a folder; hidden ones
// (".name") left out, nothing when the folder can't be read. The catalog's
// walk and the index's list folders alike.
std::vector<std::pair<std::string, bool>> folderEntries(const std::string& path);

// The desktop-file id without ".desktop": "sub/x.desktop" gives "sub-x".
std::string desktopFileId(const std::string& relativePath);

// $XDG_CURRENT_DESKTOP's names, read anew on every call.
std::vector<std::string> currentDesktops();

struct DesktopEntry {
  std::string id;
  std::string name;            // Name in the user's language
  std::string path;            // the file
  std::string icon;            // Icon: a name or an absolute path; may be empty
  std::string startupWMClass;  // may be empty
  std::string executable;      // the file name of Exec's program; empty for wrappers (env, sh ...)
  std::shared_ptr<GDesktopAppInfo> info;
};

// The entry at folder/relativePath, or nothing when it is no application a
// user is shown: not Type=Application, NoDisplay, Hidden, OnlyShowIn or
// NotShowIn excluding one of `desktops` (in their order), TryExec not found,
// or a file GIO can't read.
std::optional<DesktopEntry> readDesktopEntry(const std::string& folder, const std::string& relativePath,
                                             const std::vector<std::string>& desktops);

// Every shown entry by id, the first of an id in folder order winning, as the
// catalog's own walk does (one level of subfolders). Read again when older
// than `maxAge`, or on demand; safe from any thread.
class DesktopIndex {
 public:
  explicit DesktopIndex(std::chrono::milliseconds maxAge = std::chrono::seconds(60)) : maxAge_(maxAge) {}

  std::shared_ptr<const std::vector<DesktopEntry>> entries();
  std::optional<DesktopEntry> find(const std::string& id);
  // Reads the folders again unless that happened within the last second, so
  // that a stream of unknown ids costs one walk a second at most.
  void refreshSoon();

 private:
  std::shared_ptr<const std::vector<DesktopEntry>> load();
  std::shared_ptr<const std::vector<DesktopEntry>> reload();

  std::chrono::milliseconds maxAge_;
  std::mutex mutex_;
  std::shared_ptr<const std::vector<DesktopEntry>> entries_;
  std::chrono::steady_clock::time_point loadedAt_{};
};

}  // namespace tillerpad::platform::linux_apps
