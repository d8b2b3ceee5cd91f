// The KDE desktop: the [Proxy Settings] group of kioslaverc. Ours is written through KDE's own KConfig
// in one write (KConfig saves the whole file to a copy that replaces it in one rename, with its own
// escaping); the user's own entries are read and put back as the file has them. Each change is
// followed by the D-Bus signal on which running KDE applications reread it.
#include <gio/gio.h>
#include <sys/stat.h>

#include <KConfig>
#include <KConfigGroup>
#include <algorithm>
#include <cstdlib>
#include <iterator>

#include "platform/posix/Files.h"
#include "tools/networksetup/DesktopBackend.h"

namespace networksetup {

namespace {

constexpr const char* kGroup = "Proxy Settings";
// ReversedException inverts NoProxyFor (only the listed hosts use the proxy): ours is written false
// while on and comes back at off with the rest. The user's credentials live in the proxy URLs, which
// ours replace.
constexpr const char* kKeys[] = {"ProxyType",  "httpProxy",  "httpsProxy",
                                 "socksProxy", "NoProxyFor", "ReversedException"};
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

// A value as KConfig writes it into the file: the backslash escaped (the other escapes are for
// blanks and control characters, which no value of ours holds).
std::string kconfigEscaped(const std::string& value) {
  std::string text;
  for (char c : value) text += c == '\\' ? std::string("\\\\") : std::string(1, c);
  return text;
}

std::string trimmed(std::string_view text) {
  const size_t start = text.find_first_not_of(" \t");
  if (start == std::string_view::npos) return "";
  return std::string(text.substr(start, text.find_last_not_of(" \t") - start + 1));
}

// kioslaverc as lines, and which of them are entries of ours in the [Proxy Settings] group: the key
// as written (markers such as [$e] included) and its value as written, never expanded or unescaped,
// so the user's own entries can be put back exactly.
struct KioslavercLines {
  struct Entry {
    size_t line;
    std::string key;    // "httpProxy[$e]"
    std::string value;  // "http://$CORP_PROXY 8080"
  };
  std::vector<std::string> lines;
  std::vector<Entry> ours;
  std::optional<size_t> groupEnd;  // the line after the group's last line, when the file has the group

  static KioslavercLines parse(const std::string& text) {
    KioslavercLines file;
    size_t start = 0;
    while (start < text.size()) {
      const size_t end = text.find('\n', start);
      file.lines.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
      if (end == std::string::npos) break;
      start = end + 1;
    }
    bool inGroup = false;
    for (size_t i = 0; i < file.lines.size(); ++i) {
      const std::string line = trimmed(file.lines[i]);
      if (line.starts_with('[')) {
        inGroup = line == std::string("[") + kGroup + "]";
        if (inGroup) file.groupEnd = i + 1;
        continue;
      }
      if (!inGroup) continue;
      file.groupEnd = i + 1;
      const size_t equals = line.find('=');
      if (line.empty() || line.starts_with('#') || equals == std::string::npos) continue;
      const std::string key = trimmed(std::string_view(line).substr(0, equals));
      const std::string name = key.substr(0, key.find('['));
      if (std::find(std::begin(kKeys), std::end(kKeys), name) == std::end(kKeys)) continue;
      file.ours.push_back({i, key, trimmed(std::string_view(line).substr(equals + 1))});
    }
    return file;
  }

  // The file with every entry of ours replaced by `settings`, in the group (made when missing).
  std::string with(const SavedSettings& settings) const {
    std::vector<bool> dropped(lines.size(), false);
    for (const auto& entry : ours) dropped[entry.line] = true;
    std::string own;
    for (const auto& [key, value] : settings) own += key + "=" + value + "\n";
    std::string text;
    for (size_t i = 0; i < lines.size(); ++i) {
      if (groupEnd && i == *groupEnd) text += own;
      if (!dropped[i]) text += lines[i] + "\n";
    }
    if (groupEnd && *groupEnd >= lines.size()) text += own;
    if (!groupEnd && !settings.empty()) text += std::string(text.empty() ? "" : "\n") + "[" + kGroup + "]\n" + own;
    return text;
  }
};

class KdeBackend final : public DesktopBackend {
 public:
  KdeBackend() : file_(configFolder() + "/kioslaverc") {}

  std::string name() const override { return "kde"; }

  posix::Expected<void> present(bool*) override {
    if (!exists(configFolder() + "/kdeglobals") && !exists(file_)) {
      return posix::Error("no KDE configuration (kdeglobals or kioslaverc) in " + configFolder());
    }
    return {};
  }

  // The entries as the file has them, markers and unexpanded text included; an empty value is no
  // setting.
  posix::Expected<SavedSettings> read() override {
    const posix::Expected<std::string> text = readWhole();
    if (!text) return text.error();
    SavedSettings saved;
    for (const auto& entry : KioslavercLines::parse(*text).ours) {
      if (!entry.value.empty()) saved[entry.key] = entry.value;
    }
    return saved;
  }

  posix::Expected<SavedSettings> write(const DesktopProxy& proxy) override {
    const std::vector<std::pair<std::string, std::string>> values = {
        {"ProxyType", kManualProxyType},
        {"httpProxy", proxyValue("http", proxy.web)},
        {"httpsProxy", proxyValue("http", proxy.secureWeb)},
        {"socksProxy", proxyValue("socks", proxy.socks)},
        {"NoProxyFor", joined(proxy.bypass)},
        {"ReversedException", "false"},
    };
    // An empty value reads as no setting.
    SavedSettings intended;
    for (const auto& [key, value] : values) {
      if (!value.empty()) intended[key] = kconfigEscaped(value);
    }
    if (auto changed = change(values); !changed) return changed.error();
    return intended;
  }

  // The user's entries go back as they were written, which KConfig cannot do: it would expand an
  // entry marked [$e] (with the variables of this process, which pkexec has cleared) and write it
  // back unmarked. So the lines of ours are replaced in the file's text, the rest of it kept byte
  // for byte, and the file replaced in one rename as KConfig does.
  posix::Expected<void> restore(const SavedSettings& saved) override {
    if (auto open = changeable(); !open) return open;
    const posix::Expected<std::string> text = readWhole();
    if (!text) return text.error();
    struct stat info {};
    const mode_t mode = ::stat(file_.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0600;
    if (auto written = posix::writeFileAtomically(file_, KioslavercLines::parse(*text).with(saved), mode); !written) {
      return written.error().prefixed("cannot write " + file_);
    }
    return {};
  }

 private:
  // kioslaverc's text; empty when there is none.
  posix::Expected<std::string> readWhole() const {
    auto bytes = posix::readFile(file_, 1 << 20);
    if (bytes) return bytes;
    if (!exists(file_)) return std::string();
    return bytes.error().prefixed("cannot read " + file_);
  }

  // Whether the settings of ours can be changed, or why not ([$i] on the file, the group or an entry).
  posix::Expected<void> changeable() const {
    const KConfig config(QString::fromStdString(file_), KConfig::SimpleConfig);
    const KConfigGroup group = config.group(kGroup);
    bool locked = config.isImmutable() || group.isImmutable();
    for (const char* key : kKeys) locked = locked || group.isEntryImmutable(key);
    if (!locked) return {};
    return posix::Error("the [" + std::string(kGroup) + "] settings of " + file_ + " are marked immutable");
  }

  // Sets `values` and saves kioslaverc once. KConfig ignores writes to what the file marks immutable
  // ([$i]) and still saves, so that is asked first.
  posix::Expected<void> change(const std::vector<std::pair<std::string, std::string>>& values) {
    if (auto open = changeable(); !open) return open;
    KConfig config(QString::fromStdString(file_), KConfig::SimpleConfig);
    KConfigGroup group = config.group(kGroup);
    for (const auto& [key, value] : values) group.writeEntry(key.c_str(), QString::fromStdString(value));
    if (!config.sync()) return posix::Error("cannot write " + file_);
    return {};
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
