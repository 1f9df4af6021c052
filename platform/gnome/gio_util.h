#pragma once

// Owning pointers for the GLib and GIO objects the GNOME backend keeps.
#include <gio/gio.h>

#include <memory>
#include <string>

namespace tillerpad::platform::gnome {

struct GObjectUnref {
  void operator()(gpointer p) const {
    if (p) g_object_unref(p);
  }
};
struct GVariantUnref {
  void operator()(GVariant* v) const {
    if (v) g_variant_unref(v);
  }
};
struct GErrorFree {
  void operator()(GError* e) const {
    if (e) g_error_free(e);
  }
};

template <class T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;
using VariantPtr = std::unique_ptr<GVariant, GVariantUnref>;
using ErrorPtr = std::unique_ptr<GError, GErrorFree>;

// A GError's message, for logs.
inline std::string describe(const GError* error) { return error ? error->message : "unknown error"; }

}  // namespace tillerpad::platform::gnome
