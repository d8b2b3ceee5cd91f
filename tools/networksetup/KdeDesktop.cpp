// The KDE desktop: the [Proxy Settings] group of kioslaverc, changed through KDE's own KConfig in
// one write (KConfig saves the whole file to a copy that replaces it in one rename, with its own
// escaping), followed by the D-Bus signal on which running KDE applications reread it.
#include <KConfig>
#include <KConfigGroup>
#include <gio/gio.h>
#include <sys/stat.h>

#include <cstdlib>

#include "tools/networksetup/DesktopBackend.h"

namespace networksetup {

namespace {

constexpr const char* kGroup = "Proxy Settings";
// ReversedException inverts NoProxyFor (only the listed hosts use the proxy): ours is written false
// while on and comes back at off with the rest. The user's credentials live in the proxy URLs, which
// ours replace.
constexpr const char* kKeys[] = {"ProxyType", "httpProxy", "httpsProxy", "socksProxy", "NoProxyFor", "ReversedException"};
constexpr const char* kManualProxyType = "1";

std::string configFolder() {
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && config[0] == '/') return config;
  const char* home = std::getenv("HOME");
  return std::string(home != nullptr ? home : "") + "/.config";
}

bool exists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

std::string proxyValue(const char* scheme, const std::optional<ProxyEndpoint>& endpoint) {
  if (!endpoint) return "";
  return std::string(scheme) + "://" + urlHost(endpoint->host) + " " + std::to_string(endpoint->port);
}

std::string joined(const std::vector<std::string>& entries) {
  std::string text;
  for (const auto& entry : entries) text += (text.empty() ? "" : ",") + entry;
  return text;
}

class KdeBackend final : public DesktopBackend {
 public:
  KdeBackend() : file_(configFolder() + "/kioslaverc") {}

  std::string name() const override { return "kde"; }

  std::optional<std::string> absent(bool*) override {
    if (!exists(configFolder() + "/kdeglobals") && !exists(file_)) {
      return "no KDE configuration (kdeglobals or kioslaverc) in " + configFolder();
    }
    return std::nullopt;
  }

  bool read(SavedSettings& saved, std::string*) override {
    if (!exists(file_)) return true;
    const KConfig config(QString::fromStdString(file_), KConfig::SimpleConfig);
    const KConfigGroup group = config.group(kGroup);
    for (const char* key : kKeys) {
      const std::string value = group.readEntry(key, QString()).toStdString();
      if (!value.empty()) saved[key] = value;
    }
    return true;
  }

  bool write(const DesktopProxy& proxy, SavedSettings& intended, std::string* error) override {
    const std::vector<std::pair<std::string, std::optional<std::string>>> values = {
        {"ProxyType", kManualProxyType},
        {"httpProxy", proxyValue("http", proxy.web)},
        {"httpsProxy", proxyValue("http", proxy.secureWeb)},
        {"socksProxy", proxyValue("socks", proxy.socks)},
        {"NoProxyFor", joined(proxy.bypass)},
        {"ReversedException", "false"},
    };
    // An empty value reads as no setting.
    for (const auto& [key, value] : values) {
      if (!value->empty()) intended[key] = *value;
    }
    return change(values, error);
  }

  bool restore(const SavedSettings& saved, std::string* error) override {
    std::vector<std::pair<std::string, std::optional<std::string>>> values;
    for (const char* key : kKeys) {
      auto own = saved.find(key);
      values.emplace_back(key, own == saved.end() ? std::nullopt : std::optional(own->second));
    }
    return change(values, error);
  }

 private:
  // Sets `values` (nothing: the key is deleted) and saves kioslaverc once. KConfig ignores writes to
  // what the file marks immutable ([$i]) and still saves, so that is asked first.
  bool change(const std::vector<std::pair<std::string, std::optional<std::string>>>& values, std::string* error) {
    KConfig config(QString::fromStdString(file_), KConfig::SimpleConfig);
    KConfigGroup group = config.group(kGroup);
    bool locked = config.isImmutable() || group.isImmutable();
    for (const auto& [key, value] : values) locked = locked || group.isEntryImmutable(key.c_str());
    if (locked) {
      *error = "the [" + std::string(kGroup) + "] settings of " + file_ + " are marked immutable";
      return false;
    }
    for (const auto& [key, value] : values) {
      if (value) {
        group.writeEntry(key.c_str(), QString::fromStdString(*value));
      } else {
        group.deleteEntry(key.c_str());
      }
    }
    if (!config.sync()) {
      *error = "cannot write " + file_;
      return false;
    }
    return true;
  }

 public:
  // The signal KDE's proxy settings module sends after a change; a bus that is not there has no
  // running KDE application to tell.
  void announce() override {
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    if (bus == nullptr) return;
    g_dbus_connection_emit_signal(bus, nullptr, "/KIO/Scheduler", "org.kde.KIO.Scheduler", "reparseSlaveConfiguration",
                                  g_variant_new("(s)", ""), nullptr);
    g_dbus_connection_flush_sync(bus, nullptr, nullptr);
    g_object_unref(bus);
  }

 private:
  std::string file_;
};

}  // namespace

std::unique_ptr<DesktopBackend> makeKdeBackend() { return std::make_unique<KdeBackend>(); }

}  // namespace networksetup
