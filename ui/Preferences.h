// The person's choices that last between starts: server, ports, bypass, chosen services, latency
// targets and timeout. A key file in the user's config folder, written atomically; a damaged or
// foreign file gives the defaults and a note, never a crash.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "ui/ProxyForm.h"

namespace ui {

inline constexpr int kDefaultTimeoutMs = 1500;
inline constexpr int kSmallestTimeoutMs = 100;
inline constexpr int kLargestTimeoutMs = 60000;

struct Preferences {
  ProxySettings proxy;
  std::vector<LatencyTarget> targets = {{"1.1.1.1", 443}, {"8.8.8.8", 53}, {"example.org", 443}};
  int timeoutMs = kDefaultTimeoutMs;
  // False until the person (or the saved file) chose services: then every enabled one is meant.
  bool servicesChosen = false;
  bool operator==(const Preferences&) const = default;
};

struct LoadedPreferences {
  Preferences preferences;
  std::optional<std::string> note;  // what was wrong with the file, when something was
};

// $XDG_CONFIG_HOME/<bundle identifier>/interface.conf (~/.config by default).
std::string preferencesPath(const std::string& bundleIdentifier);
// No file: the defaults, no note. A value that does not read keeps its default and is noted.
LoadedPreferences loadPreferences(const std::string& path);
LoadedPreferences parsePreferences(const std::string& text);
std::string formatPreferences(const Preferences& preferences);
// Nothing, or why the file could not be written.
std::optional<std::string> savePreferences(const std::string& path, const Preferences& preferences);

}  // namespace ui
