#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tillerpad::platform {

// The desktop's applications as the catalog sees them: where installed ones
// are described, which run and which is in front, their icons, and opening
// one. Any call may block on the file system, the X server or D-Bus, so the
// catalog makes them on a worker of its own, one at a time; only
// setOnChange's callback arrives on a thread of the adapter's.
//
// An application's id is what installed and running applications are matched
// by; on Linux the desktop-file id without ".desktop" ("org.gnome.Calculator",
// "kde-okular" for kde/okular.desktop).
class AppWorkspace {
 public:
  struct FolderEntry {
    std::string name;
    bool isDirectory = false;
    bool operator==(const FolderEntry&) const = default;
  };

  // What one candidate file says of its application.
  struct Description {
    std::string id;
    std::string name;      // in the user's language
    std::string location;  // the file it was read from
    bool operator==(const Description&) const = default;
  };

  struct RunningApp {
    std::string id;    // an installed application's id, or the platform's own name for one without
    std::string name;  // empty when the platform knows none
    bool operator==(const RunningApp&) const = default;
  };

  // Regular applications only: those a window list shows, not background
  // services, docks or desktops.
  struct Running {
    std::vector<RunningApp> apps;
    std::optional<std::string> activeId;  // the application in front
    bool operator==(const Running&) const = default;
  };

  // size x size pixels, RGBA with straight alpha, rows top to bottom.
  struct Icon {
    int size = 0;
    std::vector<std::uint8_t> rgba;
  };

  struct OpenResult {
    enum class Outcome { opened, unknown, failed };
    Outcome outcome = Outcome::opened;
    std::string error;  // with failed: why, for the log
  };

  virtual ~AppWorkspace() = default;

  // The folders that hold installed applications, in the order in which the
  // first description of an id wins.
  virtual std::vector<std::string> appFolders() = 0;
  // A folder's entries, hidden ones left out; nothing when it can't be read.
  virtual std::vector<FolderEntry> listFolder(const std::string& path) = 0;
  // Whether a file of this name may describe an application.
  virtual bool isCandidate(const std::string& fileName) = 0;
  // Reads the candidate at folder/relativePath (relativePath is "name" or
  // "subfolder/name"); nothing when it describes no application to show.
  virtual std::optional<Description> describe(const std::string& folder, const std::string& relativePath) = 0;

  virtual Running running() = 0;

  // The application's icon drawn into a transparent size x size square,
  // aspect kept, centred; nothing for an unknown id or one without an icon.
  virtual std::optional<Icon> icon(const std::string& id, int size) = 0;

  // Brings the application's window to the front when it has one, else
  // launches it. unknown: no application has that id.
  virtual OpenResult open(const std::string& id) = 0;

  // Called after each launch, quit or activation, on any thread; replaces an
  // earlier callback, and an empty one stops the calls (it returns once a
  // call in flight has finished).
  virtual void setOnChange(std::function<void()> onChange) = 0;
};

}  // namespace tillerpad::platform
