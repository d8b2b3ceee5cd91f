// The person's choices that last between starts: server, ports, bypass, chosen services, latency
// targets and timeout. A key file in the user's config folder, written atomically; a damaged or
// foreign file gives the defaults and a note, never a crash.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/posix/Expected.h"
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
  // What was wrong with the file, when something was: the defaults stand in for what did not read.
  std::optional<posix::Error> note;
};

// $XDG_CONFIG_HOME/<bundle identifier>/interface.conf (~/.config by default).
std::string preferencesPath(const std::string& bundleIdentifier);
// No file: the defaults, no note. A value that does not read keeps its default and is noted.
LoadedPreferences loadPreferences(const std::string& path);
LoadedPreferences parsePreferences(const std::string& text);
std::string formatPreferences(const Preferences& preferences);
// Writes the file (and its folder, private to the user) atomically, 0600.
posix::Expected<void> savePreferences(const std::string& path, const Preferences& preferences);

}  // namespace ui
