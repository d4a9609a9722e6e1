#include "platform/keychain/secret_service.h"

#include <libsecret/secret.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <mutex>

namespace platform::keychain::secret_service {

namespace {

constexpr const char* kAttrService = "service";
constexpr const char* kAttrAccount = "account";

const SecretSchema* schema() {
  static const SecretSchema s = [] {
    SecretSchema v{};
    v.name = "com.varnelvpn.Keychain";
    v.flags = SECRET_SCHEMA_NONE;
    v.attributes[0].name = kAttrService;
    v.attributes[0].type = SECRET_SCHEMA_ATTRIBUTE_STRING;
    v.attributes[1].name = kAttrAccount;
    v.attributes[1].type = SECRET_SCHEMA_ATTRIBUTE_STRING;
    return v;
  }();
  return &s;
}

// A session bus can be found without starting one.
bool sessionBusConfigured() {
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (address && *address) return true;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (!runtime || !*runtime) return false;
  struct stat st;
  const std::string socket = std::string(runtime) + "/bus";
  return ::stat(socket.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

struct HashTableDeleter {
  void operator()(GHashTable* t) const { g_hash_table_unref(t); }
};
using Attributes = std::unique_ptr<GHashTable, HashTableDeleter>;

// The attribute table; the strings must outlive it.
Attributes attributes(const char* service, const char* account) {
  Attributes table(g_hash_table_new(g_str_hash, g_str_equal));
  if (service)
    g_hash_table_insert(table.get(), const_cast<char*>(kAttrService), const_cast<char*>(service));
  if (account)
    g_hash_table_insert(table.get(), const_cast<char*>(kAttrAccount), const_cast<char*>(account));
  return table;
}

const char* orNull(const std::optional<std::string>& s) { return s ? s->c_str() : nullptr; }

Status failed(GError* error, const char* what, std::string* reason) {
  if (reason) *reason = std::string(what) + ": " + (error ? error->message : "unknown error");
  if (error) g_error_free(error);
  return kIO;
}

Bytes bytesOf(SecretValue* value) {
  gsize length = 0;
  const gchar* data = secret_value_get(value, &length);
  return Bytes(reinterpret_cast<const unsigned char*>(data),
               reinterpret_cast<const unsigned char*>(data) + length);
}

std::optional<Bytes> lookup(const std::string& service, const std::string& account, Status* status,
                            std::string* reason) {
  Attributes attrs = attributes(service.c_str(), account.c_str());
  GError* error = nullptr;
  SecretValue* value = secret_password_lookupv_binary_sync(schema(), attrs.get(), nullptr, &error);
  if (error) {
    *status = failed(error, "lookup", reason);
    return std::nullopt;
  }
  if (!value) {
    *status = kItemNotFound;
    return std::nullopt;
  }
  Bytes out = bytesOf(value);
  secret_value_unref(value);
  *status = kSuccess;
  return out;
}

// The process-wide session bus connection, made so that losing the bus
// later does not end the process (the library's default for it).
void prepareSessionBus() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr)) {
      g_dbus_connection_set_exit_on_close(bus, FALSE);
      g_object_unref(bus);
    }
  });
}

}  // namespace

bool reachable(std::string* reason) {
  if (!sessionBusConfigured()) {
    if (reason) *reason = "no session bus";
    return false;
  }
  prepareSessionBus();
  Attributes attrs = attributes(nullptr, nullptr);
  GError* error = nullptr;
  GList* items =
      secret_password_searchv_sync(schema(), attrs.get(), SECRET_SEARCH_NONE, nullptr, &error);
  g_list_free_full(items, g_object_unref);
  if (!error) return true;
  failed(error, "Secret Service", reason);
  return false;
}

Status find(const std::optional<std::string>& service, const std::optional<std::string>& account,
            std::vector<Item>* items, std::string* reason) {
  Attributes attrs = attributes(orNull(service), orNull(account));
  GError* error = nullptr;
  GList* found = secret_password_searchv_sync(
      schema(), attrs.get(),
      static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_UNLOCK |
                                     SECRET_SEARCH_LOAD_SECRETS),
      nullptr, &error);
  if (error) {
    g_list_free_full(found, g_object_unref);
    return failed(error, "search", reason);
  }
  std::vector<Item> out;
  Status status = kSuccess;
  for (GList* l = found; l; l = l->next) {
    SecretRetrievable* item = SECRET_RETRIEVABLE(l->data);
    GHashTable* attributesOfItem = secret_retrievable_get_attributes(item);
    const char* s = static_cast<const char*>(g_hash_table_lookup(attributesOfItem, kAttrService));
    const char* a = static_cast<const char*>(g_hash_table_lookup(attributesOfItem, kAttrAccount));
    Item entry;
    entry.service = s ? s : "";
    entry.account = a ? a : "";
    g_hash_table_unref(attributesOfItem);
    if (!s || !a) continue;
    entry.creationDate = Date(static_cast<double>(secret_retrievable_get_created(item)));
    entry.modificationDate = Date(static_cast<double>(secret_retrievable_get_modified(item)));
    SecretValue* value = secret_retrievable_retrieve_secret_sync(item, nullptr, &error);
    if (error || !value) {
      status = failed(error, "read", reason);
      error = nullptr;
      break;
    }
    entry.data = bytesOf(value);
    secret_value_unref(value);
    out.push_back(std::move(entry));
  }
  g_list_free_full(found, g_object_unref);
  if (status != kSuccess) return status;
  std::stable_sort(out.begin(), out.end(), [](const Item& x, const Item& y) {
    return x.creationDate.timeIntervalSince1970() < y.creationDate.timeIntervalSince1970();
  });
  if (out.empty()) return kItemNotFound;
  if (items) *items = std::move(out);
  return kSuccess;
}

Status store(const std::string& service, const std::string& account, const Bytes& data,
             std::string* reason) {
  Attributes attrs = attributes(service.c_str(), account.c_str());
  SecretValue* value =
      secret_value_new(reinterpret_cast<const gchar*>(data.data()),
                       static_cast<gssize>(data.size()), "application/octet-stream");
  const std::string label = "VarnelVPN: " + service + " (" + account + ")";
  GError* error = nullptr;
  const gboolean ok = secret_password_storev_binary_sync(
      schema(), attrs.get(), SECRET_COLLECTION_DEFAULT, label.c_str(), value, nullptr, &error);
  secret_value_unref(value);
  if (error || !ok) return failed(error, "store", reason);
  // Read it back: only bytes the keyring really holds count as stored.
  Status status = kSuccess;
  std::optional<Bytes> back = lookup(service, account, &status, reason);
  if (!back || *back != data) {
    if (status == kSuccess || status == kItemNotFound) {
      if (reason) *reason = "the stored item does not read back";
    }
    return kIO;
  }
  return kSuccess;
}

Status remove(const std::string& service, const std::string& account, std::string* reason) {
  Attributes attrs = attributes(service.c_str(), account.c_str());
  GError* error = nullptr;
  const gboolean removed = secret_password_clearv_sync(schema(), attrs.get(), nullptr, &error);
  if (error) return failed(error, "delete", reason);
  return removed ? kSuccess : kItemNotFound;
}

}  // namespace platform::keychain::secret_service
