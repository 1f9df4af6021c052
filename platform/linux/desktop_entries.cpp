#include "platform/linux/desktop_entries.h"

#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <set>

#include "platform/linux/xdg_dirs.h"

namespace tillerpad::platform::linux_apps {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find(separator, start);
    if (end == std::string::npos) end = text.size();
    if (end > start) out.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

constexpr std::string_view kSuffix = ".desktop";

bool hasSuffix(const std::string& name) {
  return name.size() > kSuffix.size() && name.compare(name.size() - kSuffix.size(), kSuffix.size(), kSuffix) == 0;
}

struct StrvFree {
  void operator()(gchar** v) const { g_strfreev(v); }
};

bool listed(const std::unique_ptr<gchar*, StrvFree>& list, const std::string& desktop) {
  for (gchar** p = list.get(); p && *p; ++p) {
    if (desktop == *p) return true;
  }
  return false;
}

// GLib's own reading of OnlyShowIn/NotShowIn, but with the desktops given:
// GIO caches $XDG_CURRENT_DESKTOP for the life of the process.
bool shownIn(GDesktopAppInfo* info, const std::vector<std::string>& desktops) {
  std::unique_ptr<gchar*, StrvFree> only(g_desktop_app_info_get_string_list(info, "OnlyShowIn", nullptr));
  std::unique_ptr<gchar*, StrvFree> notIn(g_desktop_app_info_get_string_list(info, "NotShowIn", nullptr));
  for (const auto& desktop : desktops) {
    if (listed(only, desktop)) return true;
    if (listed(notIn, desktop)) return false;
  }
  return !only || !*only;
}

std::string stringKey(GDesktopAppInfo* info, const char* key) {
  gchar* value = g_desktop_app_info_get_string(info, key);
  std::string out = value ? value : "";
  g_free(value);
  return out;
}

// Programs that only start another one: their name says nothing of the
// application behind a window's process.
bool isWrapper(const std::string& program) {
  static const std::set<std::string> wrappers = {"env", "sh", "bash", "dash", "flatpak", "snap", "gtk-launch", "exec"};
  return wrappers.contains(program);
}

}  // namespace

std::vector<std::string> applicationFolders() {
  std::vector<std::string> out;
  auto add = [&](const fs::path& dataDir) {
    if (!dataDir.is_absolute()) return;
    std::string folder = (dataDir / "applications").lexically_normal().string();
    if (std::find(out.begin(), out.end(), folder) == out.end()) out.push_back(folder);
  };
  if (auto home = xdg::dataHome()) add(*home);
  const char* dirs = std::getenv("XDG_DATA_DIRS");
  std::string list = dirs && *dirs ? dirs : "/usr/local/share/:/usr/share/";
  for (const auto& dir : split(list, ':')) add(dir);
  return out;
}

std::vector<std::pair<std::string, bool>> folderEntries(const std::string& path) {
  std::vector<std::pair<std::string, bool>> out;
  std::error_code ec;
  for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (name.empty() || name[0] == '.') continue;
    std::error_code typeError;
    out.emplace_back(name, it->is_directory(typeError));
  }
  if (ec) return {};
  std::sort(out.begin(), out.end());
  return out;
}

std::string desktopFileId(const std::string& relativePath) {
  std::string id = hasSuffix(relativePath) ? relativePath.substr(0, relativePath.size() - kSuffix.size()) : relativePath;
  std::replace(id.begin(), id.end(), '/', '-');
  return id;
}

std::vector<std::string> currentDesktops() {
  const char* value = std::getenv("XDG_CURRENT_DESKTOP");
  return split(value ? value : "", ':');
}

std::optional<DesktopEntry> readDesktopEntry(const std::string& folder, const std::string& relativePath,
                                             const std::vector<std::string>& desktops) {
  if (!hasSuffix(relativePath)) return std::nullopt;
  std::string path = (fs::path(folder) / relativePath).string();
  // Refuses other types and a TryExec that is not found.
  GDesktopAppInfo* raw = g_desktop_app_info_new_from_filename(path.c_str());
  if (!raw) return std::nullopt;
  std::shared_ptr<GDesktopAppInfo> info(raw, [](GDesktopAppInfo* i) { g_object_unref(i); });
  if (g_desktop_app_info_get_nodisplay(raw) || g_desktop_app_info_get_is_hidden(raw) || !shownIn(raw, desktops)) {
    return std::nullopt;
  }
  DesktopEntry entry;
  entry.id = desktopFileId(relativePath);
  const char* name = g_app_info_get_name(reinterpret_cast<GAppInfo*>(raw));  // localized by g_get_language_names()
  entry.name = name ? name : entry.id;
  entry.path = path;
  entry.icon = stringKey(raw, "Icon");
  const char* wmClass = g_desktop_app_info_get_startup_wm_class(raw);
  entry.startupWMClass = wmClass ? wmClass : "";
  const char* program = g_app_info_get_executable(reinterpret_cast<GAppInfo*>(raw));
  if (program && *program) {
    std::string base = fs::path(program).filename().string();
    if (!isWrapper(base)) entry.executable = base;
  }
  entry.info = std::move(info);
  return entry;
}

std::shared_ptr<const std::vector<DesktopEntry>> DesktopIndex::load() {
  auto entries = std::make_shared<std::vector<DesktopEntry>>();
  std::set<std::string> seen;
  auto desktops = currentDesktops();
  auto consider = [&](const std::string& folder, const std::string& relative) {
    std::string id = desktopFileId(relative);
    if (seen.contains(id)) return;
    // As the catalog's walk: an entry left out does not hold its id.
    if (auto entry = readDesktopEntry(folder, relative, desktops)) {
      seen.insert(id);
      entries->push_back(std::move(*entry));
    }
  };
  for (const auto& folder : applicationFolders()) {
    for (const auto& [name, isDirectory] : folderEntries(folder)) {
      if (!isDirectory) {
        if (hasSuffix(name)) consider(folder, name);
        continue;
      }
      for (const auto& [file, isFolder] : folderEntries(folder + "/" + name)) {
        if (!isFolder && hasSuffix(file)) consider(folder, name + "/" + file);
      }
    }
  }
  return entries;
}

std::shared_ptr<const std::vector<DesktopEntry>> DesktopIndex::reload() {
  auto fresh = load();
  std::lock_guard lock(mutex_);
  entries_ = fresh;
  loadedAt_ = std::chrono::steady_clock::now();
  return entries_;
}

std::shared_ptr<const std::vector<DesktopEntry>> DesktopIndex::entries() {
  {
    std::lock_guard lock(mutex_);
    if (entries_ && std::chrono::steady_clock::now() - loadedAt_ < maxAge_) return entries_;
  }
  return reload();
}

void DesktopIndex::refreshSoon() {
  {
    std::lock_guard lock(mutex_);
    if (entries_ && std::chrono::steady_clock::now() - loadedAt_ < std::chrono::seconds(1)) return;
  }
  reload();
}

std::optional<DesktopEntry> DesktopIndex::find(const std::string& id) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    auto all = entries();
    for (const auto& entry : *all) {
      if (entry.id == id) return entry;
    }
    if (attempt == 0) refreshSoon();
  }
  return std::nullopt;
}

}  // namespace tillerpad::platform::linux_apps
