#include "platform/gnome/display_config.h"

#include <algorithm>
#include <cmath>
#include <map>

namespace tillerpad::platform::gnome {
namespace {

struct Mode {
  int width = 0, height = 0;
};

struct Physical {
  std::string name;
  std::optional<Mode> current;
};

// Layout modes: 1 logical (sizes divided by the scale), 2 physical.
constexpr std::uint32_t kLayoutPhysical = 2;

bool rotatedSideways(std::uint32_t transform) { return transform % 2 == 1; }

}  // namespace

std::uint32_t monitorID(std::string_view connector) {
  std::uint32_t hash = 2166136261u;  // FNV-1a
  for (unsigned char c : connector) hash = (hash ^ c) * 16777619u;
  return hash == 0 ? 1 : hash;
}

std::optional<std::vector<MutterMonitor>> parseCurrentState(GVariant* state) {
  if (!state || !g_variant_is_of_type(state, G_VARIANT_TYPE("(ua((ssss)a(siiddada{sv})a{sv})a(iiduba(ssss)a{sv})a{sv})"))) {
    return std::nullopt;
  }
  GVariant* monitors = g_variant_get_child_value(state, 1);
  GVariant* logical = g_variant_get_child_value(state, 2);
  GVariant* properties = g_variant_get_child_value(state, 3);

  std::uint32_t layoutMode = 1;
  g_variant_lookup(properties, "layout-mode", "u", &layoutMode);

  std::map<std::string, Physical> byConnector;
  for (gsize i = 0; i < g_variant_n_children(monitors); ++i) {
    GVariant* monitor = g_variant_get_child_value(monitors, i);
    const char *connector = nullptr, *vendor = nullptr, *product = nullptr, *serial = nullptr;
    GVariant* modes = nullptr;
    GVariant* props = nullptr;
    g_variant_get(monitor, "((&s&s&s&s)@a(siiddada{sv})@a{sv})", &connector, &vendor, &product, &serial, &modes, &props);
    Physical physical;
    const char* displayName = nullptr;
    physical.name = g_variant_lookup(props, "display-name", "&s", &displayName) && *displayName ? displayName : connector;
    for (gsize j = 0; j < g_variant_n_children(modes); ++j) {
      GVariant* mode = g_variant_get_child_value(modes, j);
      GVariant* modeProps = g_variant_get_child_value(mode, 6);
      gboolean current = FALSE;
      g_variant_lookup(modeProps, "is-current", "b", &current);
      if (current) {
        gint32 w = 0, h = 0;
        g_variant_get_child(mode, 1, "i", &w);
        g_variant_get_child(mode, 2, "i", &h);
        physical.current = Mode{w, h};
      }
      g_variant_unref(modeProps);
      g_variant_unref(mode);
    }
    byConnector[connector] = std::move(physical);
    g_variant_unref(modes);
    g_variant_unref(props);
    g_variant_unref(monitor);
  }

  std::vector<MutterMonitor> result;
  for (gsize i = 0; i < g_variant_n_children(logical); ++i) {
    GVariant* entry = g_variant_get_child_value(logical, i);
    gint32 x = 0, y = 0;
    double scale = 1;
    guint32 transform = 0;
    gboolean primary = FALSE;
    GVariant* members = nullptr;
    GVariant* props = nullptr;
    g_variant_get(entry, "(iidub@a(ssss)@a{sv})", &x, &y, &scale, &transform, &primary, &members, &props);
    if (g_variant_n_children(members) > 0) {
      const char* connector = nullptr;
      g_variant_get_child(members, 0, "(&s&s&s&s)", &connector, nullptr, nullptr, nullptr);
      auto found = byConnector.find(connector ? connector : "");
      if (found != byConnector.end() && found->second.current && scale > 0) {
        Mode mode = *found->second.current;
        if (rotatedSideways(transform)) std::swap(mode.width, mode.height);
        double divisor = layoutMode == kLayoutPhysical ? 1.0 : scale;
        MutterMonitor m;
        m.connector = found->first;
        m.name = found->second.name;
        m.bounds = {static_cast<double>(x), static_cast<double>(y), std::round(mode.width / divisor),
                    std::round(mode.height / divisor)};
        m.pixelWidth = mode.width;
        m.isMain = primary;
        m.id = monitorID(m.connector);
        result.push_back(std::move(m));
      }
    }
    g_variant_unref(members);
    g_variant_unref(props);
    g_variant_unref(entry);
  }
  g_variant_unref(monitors);
  g_variant_unref(logical);
  g_variant_unref(properties);

  // One main display: the primary, else the first.
  bool seen = false;
  for (auto& m : result) {
    m.isMain = m.isMain && !seen;
    seen = seen || m.isMain;
  }
  if (!seen && !result.empty()) result.front().isMain = true;
  std::stable_partition(result.begin(), result.end(), [](const MutterMonitor& m) { return m.isMain; });
  return result;
}

}  // namespace tillerpad::platform::gnome
