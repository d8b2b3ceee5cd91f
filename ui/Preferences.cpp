#include "ui/Preferences.h"

#include <glib.h>

#include <cerrno>
#include <charconv>
#include <memory>

#include "platform/posix/Files.h"

namespace ui {

namespace {

constexpr const char* kProxyGroup = "Proxy";
constexpr const char* kLatencyGroup = "Latency";

struct KeyFileFree {
  void operator()(GKeyFile* file) const { g_key_file_free(file); }
};
using KeyFile = std::unique_ptr<GKeyFile, KeyFileFree>;

std::optional<std::string> stringAt(GKeyFile* file, const char* group, const char* key) {
  gchar* value = g_key_file_get_string(file, group, key, nullptr);
  if (value == nullptr) return std::nullopt;
  std::string text(value);
  g_free(value);
  return text;
}

std::optional<std::vector<std::string>> listAt(GKeyFile* file, const char* group, const char* key) {
  gsize length = 0;
  gchar** values = g_key_file_get_string_list(file, group, key, &length, nullptr);
  if (values == nullptr) return std::nullopt;
  std::vector<std::string> items(values, values + length);
  g_strfreev(values);
  return items;
}

void setList(GKeyFile* file, const char* group, const char* key, const std::vector<std::string>& items) {
  std::vector<const gchar*> pointers;
  for (const std::string& item : items) pointers.push_back(item.c_str());
  g_key_file_set_string_list(file, group, key, pointers.data(), pointers.size());
}

}  // namespace

std::string preferencesPath(const std::string& bundleIdentifier) {
  return std::string(g_get_user_config_dir()) + "/" + bundleIdentifier + "/interface.conf";
}

LoadedPreferences parsePreferences(const std::string& text) {
  LoadedPreferences loaded;
  Preferences& prefs = loaded.preferences;
  KeyFile file(g_key_file_new());
  GError* error = nullptr;
  if (!g_key_file_load_from_data(file.get(), text.data(), text.size(), G_KEY_FILE_NONE, &error)) {
    loaded.note = posix::Error(std::string("the file does not read (") + error->message + "); the defaults are shown");
    g_error_free(error);
    return loaded;
  }
  std::vector<std::string> damaged;
  auto noteIf = [&](bool present, bool good, const char* what) {
    if (present && !good) damaged.push_back(what);
  };
  if (auto host = stringAt(file.get(), kProxyGroup, "host")) {
    auto parsed = parseHost(*host);
    noteIf(true, parsed.has_value(), "host");
    if (parsed) prefs.proxy.host = *parsed;
  }
  for (auto [key, port] :
       {std::pair{"httpPort", &prefs.proxy.httpPort}, std::pair{"socksPort", &prefs.proxy.socksPort}}) {
    if (auto text = stringAt(file.get(), kProxyGroup, key)) {
      auto parsed = parsePort(*text);
      noteIf(true, parsed.has_value(), key);
      if (parsed) *port = *parsed;
    }
  }
  if (auto bypass = listAt(file.get(), kProxyGroup, "bypass")) prefs.proxy.bypass = *bypass;
  if (auto services = listAt(file.get(), kProxyGroup, "services")) {
    prefs.proxy.services = *services;
    prefs.servicesChosen = true;
  }
  if (auto targets = listAt(file.get(), kLatencyGroup, "targets")) {
    prefs.targets.clear();
    for (const std::string& text : *targets) {
      auto parsed = parseTarget(text);
      if (parsed) {
        prefs.targets.push_back(*parsed);
      } else {
        damaged.push_back("target \"" + text + "\"");
      }
    }
  }
  if (auto timeout = stringAt(file.get(), kLatencyGroup, "timeoutMs")) {
    int value = 0;
    auto [end, ec] = std::from_chars(timeout->data(), timeout->data() + timeout->size(), value);
    const bool good = ec == std::errc() && end == timeout->data() + timeout->size() && value >= kSmallestTimeoutMs &&
                      value <= kLargestTimeoutMs;
    noteIf(true, good, "timeoutMs");
    if (good) prefs.timeoutMs = value;
  }
  if (!damaged.empty()) {
    loaded.note = posix::Error("these saved values do not read and were reset: " + joinList(damaged));
  }
  return loaded;
}

LoadedPreferences loadPreferences(const std::string& path) {
  // A preferences file is a few hundred bytes; anything huge is not ours.
  auto text = posix::readFile(path, 1 << 20);
  if (!text) {
    LoadedPreferences loaded;
    if (text.error().code() != ENOENT) loaded.note = text.error().prefixed("the saved choices cannot be read");
    return loaded;
  }
  return parsePreferences(*text);
}

std::string formatPreferences(const Preferences& prefs) {
  KeyFile file(g_key_file_new());
  g_key_file_set_string(file.get(), kProxyGroup, "host", prefs.proxy.host.c_str());
  g_key_file_set_string(file.get(), kProxyGroup, "httpPort", std::to_string(prefs.proxy.httpPort).c_str());
  g_key_file_set_string(file.get(), kProxyGroup, "socksPort", std::to_string(prefs.proxy.socksPort).c_str());
  setList(file.get(), kProxyGroup, "bypass", prefs.proxy.bypass);
  if (prefs.servicesChosen) setList(file.get(), kProxyGroup, "services", prefs.proxy.services);
  std::vector<std::string> targets;
  for (const LatencyTarget& target : prefs.targets) targets.push_back(targetText(target));
  setList(file.get(), kLatencyGroup, "targets", targets);
  g_key_file_set_string(file.get(), kLatencyGroup, "timeoutMs", std::to_string(prefs.timeoutMs).c_str());
  gsize length = 0;
  gchar* data = g_key_file_to_data(file.get(), &length, nullptr);
  std::string text(data, length);
  g_free(data);
  return text;
}

posix::Expected<void> savePreferences(const std::string& path, const Preferences& prefs) {
  if (auto made = posix::createFolders(posix::folderOf(path), 0700); !made) return made;
  return posix::writeFileAtomically(path, formatPreferences(prefs), 0600);
}

}  // namespace ui
