// The GNOME/GTK desktop: org.gnome.system.proxy through GIO's GSettings on the dconf backend.
// GNOME, GTK applications (through glib-networking) and the Chromium family read it.
#define G_SETTINGS_ENABLE_BACKEND
#include <gio/gio.h>
#include <gio/gsettingsbackend.h>

#include <cstring>
#include <map>
#include <memory>

#include "tools/networksetup/DesktopBackend.h"

namespace networksetup {

namespace {

constexpr const char* kSchema = "org.gnome.system.proxy";

// The settings written, as "child.key" ("" child: the proxy schema itself).
struct Setting {
  const char* child;
  const char* key;
};
// The switch of the user's proxy credentials is among them: off while ours is on, so they never go to
// our proxy, and back at off with the rest. The name and password themselves stay where they are,
// never copied into the tool's state.
constexpr Setting kSettings[] = {
    {"", "mode"},      {"", "ignore-hosts"}, {"http", "host"},  {"http", "port"},  {"http", "use-authentication"},
    {"https", "host"}, {"https", "port"},    {"socks", "host"}, {"socks", "port"},
};

std::string settingName(const Setting& setting) {
  return *setting.child == '\0' ? setting.key : std::string(setting.child) + "." + setting.key;
}

template <typename T>
struct GUnref {
  void operator()(T* object) const { g_object_unref(object); }
};
using Settings = std::unique_ptr<GSettings, GUnref<GSettings>>;

// The proxy schema in delay-apply mode and its children made afterwards, which share its delayed
// backend: everything set on any of them goes to dconf as one change on apply().
class ProxySettings {
 public:
  ProxySettings() : root_(g_settings_new(kSchema)) {
    g_settings_delay(root_.get());
    for (const char* child : {"http", "https", "socks"})
      children_.emplace(child, g_settings_get_child(root_.get(), child));
  }
  GSettings* of(const Setting& setting) { return *setting.child == '\0' ? root() : child(setting.child); }
  GSettings* child(const char* name) { return children_.at(name).get(); }
  GSettings* root() { return root_.get(); }
  // The user's own value of every setting written, as "child.key" = GVariant text: with a change not
  // applied yet, the values it sets.
  void userValues(SavedSettings& saved) {
    for (const auto& setting : kSettings) {
      GVariant* value = g_settings_get_user_value(of(setting), setting.key);
      if (value == nullptr) continue;
      gchar* text = g_variant_print(value, FALSE);
      saved[settingName(setting)] = text;
      g_free(text);
      g_variant_unref(value);
    }
  }
  // Sends the change to dconf and waits until dconf has answered; whether it kept it only a read
  // through other settings tells (a refused commit is only a warning of GLib's).
  posix::Expected<void> apply() {
    g_settings_apply(root_.get());
    g_settings_sync();
    if (g_settings_get_has_unapplied(root_.get())) return posix::Error("dconf did not take the change");
    return {};
  }

 private:
  Settings root_;
  std::map<std::string, Settings> children_;
};

bool setEndpoint(ProxySettings& settings, const char* child, const std::optional<ProxyEndpoint>& endpoint) {
  GSettings* target = settings.child(child);
  // GLib puts the host into a URL as it is, so an IPv6 address goes in with its brackets.
  return g_settings_set_string(target, "host", endpoint ? urlHost(endpoint->host).c_str() : "") &&
         g_settings_set_int(target, "port", endpoint ? endpoint->port : 0);
}

class GSettingsBackend final : public DesktopBackend {
 public:
  std::string name() const override { return "gsettings"; }

  posix::Expected<void> present(bool* transient) override {
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (bus == nullptr) {
      std::string why = std::string("no session bus: ") + error->message;
      g_error_free(error);
      *transient = true;  // logged out, or not yet in: the next session's first run carries it over
      return posix::Error(why);
    }
    g_object_unref(bus);
    GSettingsSchema* schema = g_settings_schema_source_lookup(g_settings_schema_source_get_default(), kSchema, TRUE);
    if (schema == nullptr)
      return posix::Error(std::string("the schema ") + kSchema + " is not installed (gsettings-desktop-schemas)");
    g_settings_schema_unref(schema);
    const char* backend = G_OBJECT_TYPE_NAME(g_settings_backend_get_default());
    if (std::strcmp(backend, "DConfSettingsBackend") != 0) {
      return posix::Error(std::string("GSettings stores in ") + backend + ", not dconf (dconf-gsettings-backend)");
    }
    return {};
  }

  // Through settings of its own, made after every earlier change was synced: dconf drops a change
  // it could not commit and these read what its database holds.
  posix::Expected<SavedSettings> read() override {
    g_settings_sync();
    ProxySettings settings;
    SavedSettings saved;
    settings.userValues(saved);
    return saved;
  }

  posix::Expected<SavedSettings> write(const DesktopProxy& proxy) override {
    ProxySettings settings;
    std::vector<const char*> hosts;
    for (const auto& entry : proxy.bypass) hosts.push_back(entry.c_str());
    hosts.push_back(nullptr);
    const bool set = g_settings_set_string(settings.root(), "mode", "manual") &&
                     g_settings_set_strv(settings.root(), "ignore-hosts", hosts.data()) &&
                     setEndpoint(settings, "http", proxy.web) && setEndpoint(settings, "https", proxy.secureWeb) &&
                     setEndpoint(settings, "socks", proxy.socks) &&
                     g_settings_set_boolean(settings.child("http"), "use-authentication", FALSE);
    if (!set) {
      g_settings_revert(settings.root());
      return posix::Error("the proxy settings are locked");
    }
    SavedSettings intended;
    settings.userValues(intended);
    if (auto applied = settings.apply(); !applied) return applied.error();
    return intended;
  }

  posix::Expected<void> restore(const SavedSettings& saved) override {
    ProxySettings settings;
    for (const auto& setting : kSettings) {
      GSettings* target = settings.of(setting);
      auto own = saved.find(settingName(setting));
      if (own == saved.end()) {
        g_settings_reset(target, setting.key);
        continue;
      }
      GSettingsSchema* schema = nullptr;
      g_object_get(target, "settings-schema", &schema, nullptr);
      GSettingsSchemaKey* key = g_settings_schema_get_key(schema, setting.key);
      GVariant* value =
          g_variant_parse(g_settings_schema_key_get_value_type(key), own->second.c_str(), nullptr, nullptr, nullptr);
      g_settings_schema_key_unref(key);
      g_settings_schema_unref(schema);
      if (value == nullptr || !g_settings_set_value(target, setting.key, value)) {
        g_settings_revert(settings.root());
        return posix::Error("cannot put back " + settingName(setting) + " = " + own->second);
      }
    }
    return settings.apply();
  }
};

}  // namespace

std::unique_ptr<DesktopBackend> makeGSettingsBackend() { return std::make_unique<GSettingsBackend>(); }

}  // namespace networksetup
