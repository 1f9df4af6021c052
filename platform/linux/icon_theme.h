#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tillerpad::platform::linux_apps {

// Finds an icon's file by the freedesktop icon theme rules: the theme, the
// themes it inherits (depth first), hicolor, then the plain fallback folders;
// within a theme an exact size first, else the nearest. PNG and SVG only.
// The themes' index.theme files are read through GKeyFile and kept.
class IconTheme {
 public:
  // `bases`: the folders holding themes, in order; `fallbacks`: folders of
  // loose icons (/usr/share/pixmaps).
  IconTheme(std::string theme, std::vector<std::string> bases, std::vector<std::string> fallbacks);
  // $HOME/.icons, $XDG_DATA_HOME/icons, each $XDG_DATA_DIRS entry's icons.
  static std::vector<std::string> standardBases();
  static std::vector<std::string> standardFallbacks() { return {"/usr/share/pixmaps"}; }

  const std::string& theme() const { return theme_; }
  bool exists(const std::string& theme);
  std::optional<std::string> lookup(const std::string& iconName, int size);

 private:
  enum class Kind { fixed, scalable, threshold };
  struct Directory {
    std::string name;
    Kind kind = Kind::threshold;
    int size = 0, minSize = 0, maxSize = 0, threshold = 2;
  };
  struct Theme {
    std::vector<std::string> roots;  // base/theme folders that exist
    std::vector<Directory> directories;
    std::vector<std::string> parents;
  };
  const Theme* load(const std::string& name);
  std::optional<std::string> lookupIn(const Theme& theme, const std::string& iconName, int size);
  static bool matches(const Directory& d, int size);
  static int distance(const Directory& d, int size);

  std::string theme_;
  std::vector<std::string> bases_, fallbacks_;
  std::map<std::string, std::optional<Theme>> themes_;
};

}  // namespace tillerpad::platform::linux_apps
