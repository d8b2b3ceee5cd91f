// The KDE desktop: the [Proxy Settings] group of kioslaverc, written with KDE's own kwriteconfig
// into a copy that then replaces the file in one rename, followed by the D-Bus signal on which
// running KDE applications reread it.
#include <fcntl.h>
#include <gio/gio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/foundation/Subprocess.h"
#include "tools/networksetup/Desktop.h"

namespace networksetup {

namespace {

constexpr const char* kGroup = "Proxy Settings";
constexpr const char* kKeys[] = {"ProxyType", "httpProxy", "httpsProxy", "socksProxy", "NoProxyFor"};
constexpr const char* kManualProxyType = "1";
constexpr std::chrono::seconds kToolTimeLimit{10};

std::string configFolder() {
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && config[0] == '/') return config;
  const char* home = std::getenv("HOME");
  return std::string(home != nullptr ? home : "") + "/.config";
}

bool exists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

// KDE's command-line tool `name` (the Frameworks 6 one first), from PATH or /usr/bin.
std::string findTool(const std::string& stem) {
  const char* path = std::getenv("PATH");
  std::string folders = std::string(path != nullptr ? path : "") + ":/usr/bin";
  for (const char* version : {"6", "5"}) {
    std::stringstream list(folders);
    std::string folder;
    while (std::getline(list, folder, ':')) {
      if (folder.empty() || folder[0] != '/') continue;
      const std::string candidate = folder + "/" + stem + version;
      if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
  }
  return {};
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

bool runTool(const std::vector<std::string>& argv, std::string* output, std::string* error) {
  SubprocessOptions options;
  options.argv = argv;
  options.timeLimit = kToolTimeLimit;
  const SubprocessResult run = runSubprocess(options);
  if (!run.started || run.exitStatus != 0) {
    *error = argv[0] + (run.started ? " failed: " + run.standardError : " cannot start: " + run.startError);
    return false;
  }
  if (output != nullptr) *output = run.standardOutput;
  return true;
}

class KdeBackend final : public DesktopBackend {
 public:
  KdeBackend()
      : writer_(findTool("kwriteconfig")), reader_(findTool("kreadconfig")), file_(configFolder() + "/kioslaverc") {}

  std::string name() const override { return "kde"; }

  std::optional<std::string> absent() override {
    if (!exists(configFolder() + "/kdeglobals") && !exists(file_)) {
      return "no KDE configuration (kdeglobals or kioslaverc) in " + configFolder();
    }
    if (writer_.empty() || reader_.empty()) return std::string("kwriteconfig5 and kreadconfig5 are not installed (libkf5config-bin)");
    return std::nullopt;
  }

  bool read(SavedSettings& saved, std::string* error) override {
    if (!exists(file_)) return true;
    for (const char* key : kKeys) {
      std::string value;
      if (!runTool({reader_, "--file", file_, "--group", kGroup, "--key", key}, &value, error)) return false;
      if (!value.empty() && value.back() == '\n') value.pop_back();
      if (!value.empty()) saved[key] = value;
    }
    return true;
  }

  bool write(const DesktopProxy& proxy, std::string* error) override {
    return change(
        {
            {"ProxyType", kManualProxyType},
            {"httpProxy", proxyValue("http", proxy.web)},
            {"httpsProxy", proxyValue("http", proxy.secureWeb)},
            {"socksProxy", proxyValue("socks", proxy.socks)},
            {"NoProxyFor", joined(proxy.bypass)},
        },
        error);
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
  // Writes `values` (nothing: the key is deleted) into a copy of kioslaverc, renames the copy over
  // it, then tells running KDE applications.
  bool change(const std::vector<std::pair<std::string, std::optional<std::string>>>& values, std::string* error) {
    std::string copy = file_ + ".networksetup-XXXXXX";
    const int fd = ::mkstemp(copy.data());
    if (fd < 0) {
      *error = "cannot create a copy of " + file_ + ": " + std::strerror(errno);
      return false;
    }
    struct stat info {};
    const mode_t umaskNow = ::umask(0);
    ::umask(umaskNow);
    ::fchmod(fd, ::stat(file_.c_str(), &info) == 0 ? (info.st_mode & 07777) : (0666 & ~umaskNow));
    std::ifstream original(file_, std::ios::binary);
    std::stringstream bytes;
    bytes << original.rdbuf();
    const std::string text = bytes.str();
    const bool copied = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    bool ok = copied;
    if (!copied) *error = "cannot copy " + file_ + ": " + std::strerror(errno);
    for (const auto& [key, value] : values) {
      if (!ok) break;
      std::vector<std::string> argv = {writer_, "--file", copy, "--group", kGroup, "--key", key};
      if (value) {
        argv.push_back(*value);
      } else {
        argv.push_back("--delete");
      }
      ok = runTool(argv, nullptr, error);
    }
    if (ok && ::rename(copy.c_str(), file_.c_str()) != 0) {
      *error = "cannot replace " + file_ + ": " + std::strerror(errno);
      ok = false;
    }
    if (!ok) {
      ::unlink(copy.c_str());
      return false;
    }
    announce();
    return true;
  }

  // The signal KDE's proxy settings module sends after a change; a bus that is not there has no
  // running KDE application to tell.
  static void announce() {
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    if (bus == nullptr) return;
    g_dbus_connection_emit_signal(bus, nullptr, "/KIO/Scheduler", "org.kde.KIO.Scheduler", "reparseSlaveConfiguration",
                                  g_variant_new("(s)", ""), nullptr);
    g_dbus_connection_flush_sync(bus, nullptr, nullptr);
    g_object_unref(bus);
  }

  std::string writer_;
  std::string reader_;
  std::string file_;
};

}  // namespace

std::unique_ptr<DesktopBackend> makeKdeBackend() { return std::make_unique<KdeBackend>(); }

}  // namespace networksetup
