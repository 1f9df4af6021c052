#include "platform/linux/secret_service_credential_store.h"

#include <gio/gio.h>
#include <libsecret/secret.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace tillerpad::platform {
namespace {

using kit::Bytes;
using kit::KeychainError;
using Status = KeychainError::Status;

constexpr const char* kSecretsBusName = "org.freedesktop.secrets";

const SecretSchema* schema() {
  static const SecretSchema value = {
      "app.tillerpad.Credential",
      SECRET_SCHEMA_NONE,
      {
          {"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
          {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
          {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
      },
      0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
  };
  return &value;
}

struct GFree {
  void operator()(GError* p) const { g_error_free(p); }
  void operator()(GHashTable* p) const { g_hash_table_unref(p); }
  void operator()(GVariant* p) const { g_variant_unref(p); }
  void operator()(SecretValue* p) const { secret_value_unref(p); }
  void operator()(GList* p) const { g_list_free_full(p, g_object_unref); }
  void operator()(gchar* p) const { g_free(p); }
};
template <class T>
using GOwned = std::unique_ptr<T, GFree>;

struct ObjectUnref {
  void operator()(gpointer p) const { g_object_unref(p); }
};
using ObjectRef = std::unique_ptr<void, ObjectUnref>;

// Cancels the call it guards when the time limit passes; libsecret's own
// calls wait without one behind prompts.
class Deadline {
 public:
  explicit Deadline(std::chrono::milliseconds limit) : cancellable_(g_cancellable_new()) {
    if (limit <= std::chrono::milliseconds::zero()) g_cancellable_cancel(get());  // already over
    watcher_ = std::thread([this, limit] {
      std::unique_lock lock(mutex_);
      if (!done_.wait_for(lock, limit, [this] { return finished_; })) g_cancellable_cancel(get());
    });
  }
  ~Deadline() {
    {
      std::lock_guard lock(mutex_);
      finished_ = true;
    }
    done_.notify_all();
    watcher_.join();
  }
  GCancellable* get() const { return G_CANCELLABLE(cancellable_.get()); }

 private:
  ObjectRef cancellable_;
  std::mutex mutex_;
  std::condition_variable done_;
  bool finished_ = false;
  std::thread watcher_;
};

Status statusOf(const GError* error) {
  if (error->domain == G_IO_ERROR) {
    switch (error->code) {
      case G_IO_ERROR_CANCELLED:
      case G_IO_ERROR_TIMED_OUT: return Status::timedOut;
      case G_IO_ERROR_PERMISSION_DENIED: return Status::accessDenied;
      default: return Status::failed;
    }
  }
  if (error->domain == G_DBUS_ERROR) {
    switch (error->code) {
      case G_DBUS_ERROR_SERVICE_UNKNOWN:
      case G_DBUS_ERROR_NAME_HAS_NO_OWNER:
      case G_DBUS_ERROR_SPAWN_EXEC_FAILED:
      case G_DBUS_ERROR_SPAWN_FORK_FAILED:
      case G_DBUS_ERROR_SPAWN_CHILD_EXITED:
      case G_DBUS_ERROR_SPAWN_CHILD_SIGNALED:
      case G_DBUS_ERROR_SPAWN_FAILED:
      case G_DBUS_ERROR_SPAWN_SERVICE_NOT_FOUND:
      case G_DBUS_ERROR_NO_SERVER:
      case G_DBUS_ERROR_DISCONNECTED: return Status::unavailable;
      case G_DBUS_ERROR_ACCESS_DENIED:
      case G_DBUS_ERROR_AUTH_FAILED: return Status::accessDenied;
      case G_DBUS_ERROR_TIMEOUT:
      case G_DBUS_ERROR_TIMED_OUT:
      case G_DBUS_ERROR_NO_REPLY: return Status::timedOut;
      default: return Status::failed;
    }
  }
  if (error->domain == SECRET_ERROR && error->code == SECRET_ERROR_IS_LOCKED) return Status::locked;
  return Status::failed;
}

[[noreturn]] void fail(GError* raw, const Deadline* deadline = nullptr) {
  GOwned<GError> error(raw);
  if (deadline && g_cancellable_is_cancelled(deadline->get())) throw KeychainError(Status::timedOut);
  if (!error) throw KeychainError(Status::failed);
  throw KeychainError(statusOf(error.get()), error->message);
}

GOwned<GHashTable> attributes(const std::string& service, const std::string* account) {
  // Values point into the caller's strings, which outlive the table.
  GOwned<GHashTable> table(g_hash_table_new(g_str_hash, g_str_equal));
  g_hash_table_insert(table.get(), const_cast<char*>("service"), const_cast<char*>(service.c_str()));
  if (account) g_hash_table_insert(table.get(), const_cast<char*>("account"), const_cast<char*>(account->c_str()));
  return table;
}

ObjectRef connect(const Deadline& deadline) {
  GError* error = nullptr;
  SecretService* service = secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, deadline.get(), &error);
  if (!service) fail(error, &deadline);
  return ObjectRef(service);
}

// Items of this schema matching `attrs`, unlocked where the keyring allows.
GOwned<GList> search(SecretService* service, GHashTable* attrs, SecretSearchFlags extra, const Deadline& deadline) {
  GError* error = nullptr;
  auto flags = static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_UNLOCK | extra);
  GList* items = secret_service_search_sync(service, schema(), attrs, flags, deadline.get(), &error);
  if (error) fail(error, &deadline);
  GOwned<GList> owned(items);
  // A locked item here means the user or the keyring declined to unlock it:
  // reporting it as missing would make paired phones silently disappear.
  for (GList* l = owned.get(); l; l = l->next) {
    if (secret_item_get_locked(SECRET_ITEM(l->data))) throw KeychainError(Status::locked);
  }
  return owned;
}

std::optional<std::string> attribute(SecretItem* item, const char* name) {
  GOwned<GHashTable> attrs(secret_item_get_attributes(item));
  if (!attrs) return std::nullopt;
  auto* value = static_cast<const char*>(g_hash_table_lookup(attrs.get(), name));
  if (!value) return std::nullopt;
  return std::string(value);
}

}  // namespace

SecretServiceCredentialStore::SecretServiceCredentialStore(std::string service, std::chrono::milliseconds timeout)
    : service_(std::move(service)), timeout_(timeout) {}

std::map<std::string, Bytes> SecretServiceCredentialStore::all() {
  Deadline deadline(timeout_);
  ObjectRef connection = connect(deadline);
  auto attrs = attributes(service_, nullptr);
  auto items = search(static_cast<SecretService*>(connection.get()), attrs.get(), SECRET_SEARCH_LOAD_SECRETS, deadline);
  std::map<std::string, Bytes> out;
  for (GList* l = items.get(); l; l = l->next) {
    auto* item = SECRET_ITEM(l->data);
    auto account = attribute(item, "account");
    if (!account) continue;
    GOwned<SecretValue> value(secret_item_get_secret(item));
    if (!value) continue;  // an item without a secret is left out
    gsize length = 0;
    const gchar* data = secret_value_get(value.get(), &length);
    auto* begin = reinterpret_cast<const std::uint8_t*>(data);
    out[*account] = Bytes(begin, begin + length);
  }
  return out;
}

void SecretServiceCredentialStore::write(kit::ByteView data, const std::string& account) {
  Deadline deadline(timeout_);
  ObjectRef connection = connect(deadline);
  auto* service = static_cast<SecretService*>(connection.get());
  auto attrs = attributes(service_, &account);
  GOwned<SecretValue> value(
      secret_value_new(reinterpret_cast<const gchar*>(data.data()), static_cast<gssize>(data.size()),
                       "application/octet-stream"));
  auto items = search(service, attrs.get(), SECRET_SEARCH_NONE, deadline);
  GError* error = nullptr;
  if (items) {
    // Update in place, so the item keeps its label and place.
    for (GList* l = items.get(); l; l = l->next) {
      if (!secret_item_set_secret_sync(SECRET_ITEM(l->data), value.get(), deadline.get(), &error)) {
        fail(error, &deadline);
      }
    }
    return;
  }
  std::string label = "Tillerpad (" + service_ + ")";
  if (!secret_service_store_sync(service, schema(), attrs.get(), SECRET_COLLECTION_DEFAULT, label.c_str(),
                                 value.get(), deadline.get(), &error)) {
    fail(error, &deadline);
  }
}

void SecretServiceCredentialStore::remove(const std::string& account) {
  Deadline deadline(timeout_);
  ObjectRef connection = connect(deadline);
  auto attrs = attributes(service_, &account);
  GError* error = nullptr;
  // False without an error means there was nothing to delete, which is fine.
  secret_service_clear_sync(static_cast<SecretService*>(connection.get()), schema(), attrs.get(), deadline.get(),
                            &error);
  if (error) fail(error, &deadline);
}

std::optional<std::string> SecretServiceCredentialStore::labelOf(const std::string& account) {
  Deadline deadline(timeout_);
  ObjectRef connection = connect(deadline);
  auto attrs = attributes(service_, &account);
  auto items = search(static_cast<SecretService*>(connection.get()), attrs.get(), SECRET_SEARCH_NONE, deadline);
  if (!items) return std::nullopt;
  GOwned<gchar> label(secret_item_get_label(SECRET_ITEM(items->data)));
  return label ? std::optional<std::string>(label.get()) : std::nullopt;
}

bool sessionBusOffersSecretService(std::chrono::milliseconds timeout) {
  Deadline deadline(timeout);
  GError* error = nullptr;
  ObjectRef bus(g_bus_get_sync(G_BUS_TYPE_SESSION, deadline.get(), &error));
  if (!bus) {
    GOwned<GError> owned(error);
    return false;  // no session bus: nobody could answer
  }
  auto* connection = static_cast<GDBusConnection*>(bus.get());
  auto ask = [&](const char* method, GVariant* args, const char* type) {
    GError* callError = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(connection, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                  "org.freedesktop.DBus", method, args, G_VARIANT_TYPE(type),
                                                  G_DBUS_CALL_FLAGS_NONE, static_cast<gint>(timeout.count()),
                                                  deadline.get(), &callError);
    if (!reply) fail(callError, &deadline);
    return GOwned<GVariant>(reply);
  };
  auto owned = ask("NameHasOwner", g_variant_new("(s)", kSecretsBusName), "(b)");
  gboolean hasOwner = FALSE;
  g_variant_get(owned.get(), "(b)", &hasOwner);
  if (hasOwner) return true;
  auto activatable = ask("ListActivatableNames", nullptr, "(as)");
  GVariantIter* names = nullptr;
  g_variant_get(activatable.get(), "(as)", &names);
  bool found = false;
  const gchar* name = nullptr;
  while (g_variant_iter_next(names, "&s", &name)) found = found || g_strcmp0(name, kSecretsBusName) == 0;
  g_variant_iter_free(names);
  return found;
}

DefaultCollection probeDefaultCollection(std::chrono::milliseconds timeout) {
  Deadline deadline(timeout);
  const auto limit = static_cast<gint>(timeout.count());
  GError* error = nullptr;
  SecretService* rawService = secret_service_get_sync(SECRET_SERVICE_NONE, deadline.get(), &error);
  if (!rawService) fail(error, &deadline);
  ObjectRef service(rawService);
  SecretCollection* rawCollection = secret_collection_for_alias_sync(rawService, SECRET_COLLECTION_DEFAULT,
                                                                     SECRET_COLLECTION_NONE, deadline.get(), &error);
  if (error) fail(error, &deadline);
  if (!rawCollection) return DefaultCollection::missing;
  ObjectRef collection(rawCollection);
  if (!secret_collection_get_locked(rawCollection)) return DefaultCollection::unlocked;

  // Unlock answers with a prompt object when it needs the user; nothing is
  // shown until that prompt is called, which never happens here.
  const gchar* path = g_dbus_proxy_get_object_path(G_DBUS_PROXY(rawCollection));
  GVariant* reply = g_dbus_proxy_call_sync(G_DBUS_PROXY(rawService), "Unlock",
                                           g_variant_new("(@ao)", g_variant_new_objv(&path, 1)),
                                           G_DBUS_CALL_FLAGS_NONE, limit, deadline.get(), &error);
  if (!reply) fail(error, &deadline);
  GOwned<GVariant> owned(reply);
  GVariantIter* unlocked = nullptr;
  const gchar* prompt = nullptr;
  g_variant_get(reply, "(ao&o)", &unlocked, &prompt);
  bool opened = false;
  const gchar* object = nullptr;
  while (g_variant_iter_next(unlocked, "&o", &object)) opened = opened || g_strcmp0(object, path) == 0;
  g_variant_iter_free(unlocked);
  if (opened) return DefaultCollection::unlocked;
  if (prompt && g_strcmp0(prompt, "/") != 0) {
    GVariant* dismissed = g_dbus_connection_call_sync(
        g_dbus_proxy_get_connection(G_DBUS_PROXY(rawService)), kSecretsBusName, prompt,
        "org.freedesktop.Secret.Prompt", "Dismiss", nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE, limit, deadline.get(),
        nullptr);  // tidying only: a prompt left over does no harm
    if (dismissed) g_variant_unref(dismissed);
  }
  return DefaultCollection::needsPrompt;
}

}  // namespace tillerpad::platform
