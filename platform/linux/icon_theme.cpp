#include "platform/linux/icon_theme.h"

#include <glib.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>

#include "platform/linux/xdg_dirs.h"

namespace tillerpad::platform::linux_apps {
namespace {

namespace fs = std::filesystem;

struct KeyFileFree {
  void operator()(GKeyFile* k) const { g_key_file_free(k); }
};

bool isFile(const fs::path& p) {
  std::error_code ec;
  return fs::is_regular_file(p, ec);
}

constexpr const char* kExtensions[] = {".png", ".svg"};

}  // namespace

IconTheme::IconTheme(std::string theme, std::vector<std::string> bases, std::vector<std::string> fallbacks)
    : theme_(std::move(theme)), bases_(std::move(bases)), fallbacks_(std::move(fallbacks)) {}

std::vector<std::string> IconTheme::standardBases() {
  std::vector<std::string> out;
  if (const char* home = std::getenv("HOME"); home && *home == '/') out.push_back(std::string(home) + "/.icons");
  if (auto data = xdg::dataHome()) out.push_back((*data / "icons").string());
  const char* dirs = std::getenv("XDG_DATA_DIRS");
  std::string list = dirs && *dirs ? dirs : "/usr/local/share/:/usr/share/";
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t end = std::min(list.find(':', start), list.size());
    std::string dir = list.substr(start, end - start);
    if (!dir.empty() && dir[0] == '/') out.push_back((fs::path(dir) / "icons").lexically_normal().string());
    start = end + 1;
  }
  return out;
}

const IconTheme::Theme* IconTheme::load(const std::string& name) {
  if (auto it = themes_.find(name); it != themes_.end()) return it->second ? &*it->second : nullptr;
  auto& slot = themes_[name];
  if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") return nullptr;
  Theme theme;
  std::unique_ptr<GKeyFile, KeyFileFree> index;
  for (const auto& base : bases_) {
    fs::path root = fs::path(base) / name;
    std::error_code ec;
    if (!fs::is_directory(root, ec)) continue;
    theme.roots.push_back(root.string());
    if (index) continue;
    // The first index.theme found describes the theme.
    std::unique_ptr<GKeyFile, KeyFileFree> candidate(g_key_file_new());
    g_key_file_set_list_separator(candidate.get(), ',');  // theme indexes list with commas
    if (g_key_file_load_from_file(candidate.get(), (root / "index.theme").c_str(), G_KEY_FILE_NONE, nullptr)) {
      index = std::move(candidate);
    }
  }
  if (!index) return nullptr;
  auto stringList = [&](const char* group, const char* key) {
    std::vector<std::string> out;
    gsize n = 0;
    gchar** list = g_key_file_get_string_list(index.get(), group, key, &n, nullptr);
    for (gsize i = 0; i < n; ++i) out.emplace_back(list[i]);
    g_strfreev(list);
    return out;
  };
  auto integer = [&](const char* group, const char* key, int fallback) {
    GError* error = nullptr;
    int v = g_key_file_get_integer(index.get(), group, key, &error);
    if (error) {
      g_error_free(error);
      return fallback;
    }
    return v;
  };
  for (const auto& dir : stringList("Icon Theme", "Directories")) {
    const char* group = dir.c_str();
    if (!g_key_file_has_group(index.get(), group)) continue;
    Directory d;
    d.name = dir;
    d.size = integer(group, "Size", 0);
    if (d.size <= 0 || integer(group, "Scale", 1) != 1) continue;  // scaled copies are for HiDPI drawing
    gchar* type = g_key_file_get_string(index.get(), group, "Type", nullptr);
    std::string kind = type ? type : "Threshold";
    g_free(type);
    d.kind = kind == "Fixed" ? Kind::fixed : kind == "Scalable" ? Kind::scalable : Kind::threshold;
    d.minSize = integer(group, "MinSize", d.size);
    d.maxSize = integer(group, "MaxSize", d.size);
    d.threshold = integer(group, "Threshold", 2);
    theme.directories.push_back(std::move(d));
  }
  theme.parents = stringList("Icon Theme", "Inherits");
  slot = std::move(theme);
  return &*slot;
}

bool IconTheme::exists(const std::string& theme) { return load(theme) != nullptr; }

bool IconTheme::matches(const Directory& d, int size) {
  switch (d.kind) {
    case Kind::fixed:
      return d.size == size;
    case Kind::scalable:
      return d.minSize <= size && size <= d.maxSize;
    case Kind::threshold:
      return d.size - d.threshold <= size && size <= d.size + d.threshold;
  }
  return false;
}

int IconTheme::distance(const Directory& d, int size) {
  switch (d.kind) {
    case Kind::fixed:
      return std::abs(d.size - size);
    case Kind::scalable:
      return size < d.minSize ? d.minSize - size : size > d.maxSize ? size - d.maxSize : 0;
    case Kind::threshold:
      return size < d.size - d.threshold   ? d.minSize - size
             : size > d.size + d.threshold ? size - d.maxSize
                                           : 0;
  }
  return INT_MAX;
}

std::optional<std::string> IconTheme::lookupIn(const Theme& theme, const std::string& iconName, int size) {
  std::optional<std::string> closest;
  int best = INT_MAX;
  for (const auto& d : theme.directories) {
    bool exact = matches(d, size);
    int away = exact ? 0 : std::abs(distance(d, size));
    if (!exact && away >= best) continue;
    for (const auto& root : theme.roots) {
      for (const char* ext : kExtensions) {
        fs::path file = fs::path(root) / d.name / (iconName + ext);
        if (!isFile(file)) continue;
        if (exact) return file.string();
        closest = file.string();
        best = away;
        break;
      }
      if (closest && best == away) break;
    }
  }
  return closest;
}

std::optional<std::string> IconTheme::lookup(const std::string& iconName, int size) {
  if (iconName.empty() || iconName.find('/') != std::string::npos) return std::nullopt;
  // Depth first through Inherits, each theme once, hicolor last.
  std::vector<std::string> order;
  std::set<std::string> seen;
  auto visit = [&](auto& self, const std::string& name) -> void {
    if (!seen.insert(name).second || order.size() > 64) return;
    const Theme* t = load(name);
    if (!t) return;
    order.push_back(name);
    for (const auto& parent : t->parents) self(self, parent);
  };
  visit(visit, theme_);
  seen.erase("hicolor");
  order.erase(std::remove(order.begin(), order.end(), "hicolor"), order.end());
  visit(visit, "hicolor");
  for (const auto& name : order) {
    if (auto file = lookupIn(*load(name), iconName, size)) return file;
  }
  for (const auto& folder : fallbacks_) {
    for (const char* ext : kExtensions) {
      fs::path file = fs::path(folder) / (iconName + ext);
      if (isFile(file)) return file.string();
    }
  }
  return std::nullopt;
}

}  // namespace tillerpad::platform::linux_apps
