#include "platform/linux/gsettings.h"

#include <gio/gio.h>

#include <memory>

namespace tillerpad::platform::linux_x11 {
namespace {

struct ObjectUnref {
  void operator()(gpointer p) const { g_object_unref(p); }
};
struct SchemaUnref {
  void operator()(GSettingsSchema* s) const { g_settings_schema_unref(s); }
};
struct VariantUnref {
  void operator()(GVariant* v) const { g_variant_unref(v); }
};
using VariantPtr = std::unique_ptr<GVariant, VariantUnref>;

// GSettings aborts on an unknown schema or key, so both are looked up first.
std::unique_ptr<GSettings, ObjectUnref> openSettings(const char* schemaId, const char* key) {
  GSettingsSchemaSource* source = g_settings_schema_source_get_default();  // not owned
  if (!source) return nullptr;
  std::unique_ptr<GSettingsSchema, SchemaUnref> schema(g_settings_schema_source_lookup(source, schemaId, TRUE));
  if (!schema || !g_settings_schema_has_key(schema.get(), key)) return nullptr;
  return std::unique_ptr<GSettings, ObjectUnref>(g_settings_new_full(schema.get(), nullptr, nullptr));
}

}  // namespace

std::optional<int> gsettingsInt(const char* schema, const char* key) {
  auto settings = openSettings(schema, key);
  if (!settings) return std::nullopt;
  VariantPtr value(g_settings_get_value(settings.get(), key));
  if (!value || !g_variant_is_of_type(value.get(), G_VARIANT_TYPE_INT32)) return std::nullopt;
  return g_variant_get_int32(value.get());
}

std::optional<std::string> gsettingsString(const char* schema, const char* key) {
  auto settings = openSettings(schema, key);
  if (!settings) return std::nullopt;
  VariantPtr value(g_settings_get_value(settings.get(), key));
  if (!value || !g_variant_is_of_type(value.get(), G_VARIANT_TYPE_STRING)) return std::nullopt;
  return std::string(g_variant_get_string(value.get(), nullptr));
}

std::optional<StringListSetting> gsettingsStrings(const char* schema, const char* key) {
  auto settings = openSettings(schema, key);
  if (!settings) return std::nullopt;
  VariantPtr value(g_settings_get_value(settings.get(), key));
  if (!value || !g_variant_is_of_type(value.get(), G_VARIANT_TYPE_STRING_ARRAY)) return std::nullopt;
  StringListSetting out;
  gsize count = 0;
  const gchar** items = g_variant_get_strv(value.get(), &count);  // the strings stay owned by the variant
  for (gsize i = 0; i < count; ++i) out.value.emplace_back(items[i]);
  g_free(static_cast<gpointer>(items));
  VariantPtr user(g_settings_get_user_value(settings.get(), key));
  out.setByUser = user != nullptr;
  return out;
}

}  // namespace tillerpad::platform::linux_x11
