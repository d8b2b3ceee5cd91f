// NSUserDefaults: the user's persisted settings of this application, a dictionary in a file.
//
//   NSUserDefaults& defaults = NSUserDefaults::standardUserDefaults();
//   if (!defaults.boolForKey("Seen")) defaults.setBool(true, "Seen");
//
// The standard defaults live in <config>/<bundle identifier>.plist (the process name without a
// bundle identifier), where <config> is $XDG_CONFIG_HOME when that is an absolute path, else
// ~/.config. The file (XML or binary plist with a dictionary at the root) is read at first use;
// every change writes the whole dictionary back atomically (a temporary file renamed over it),
// keeping the keys this process did not touch. A missing or unreadable file reads as empty. A
// write that fails leaves the change in memory; the next change writes it again. Two processes
// writing the same file: the later whole-file write wins. Safe from any thread.
#pragma once

#include <optional>
#include <string>

#include "platform/NoDestructor.h"
#include "platform/ThreadSafety.h"

class NSUserDefaults {
 public:
  static NSUserDefaults& standardUserDefaults();

  // Defaults kept in the plist file at `path` (read at first use).
  explicit NSUserDefaults(std::string path);
  ~NSUserDefaults();
  NSUserDefaults(const NSUserDefaults&) = delete;
  NSUserDefaults& operator=(const NSUserDefaults&) = delete;

  // A Boolean, a non-zero number, or the strings "YES"/"true" (any case) or a non-zero integer
  // read true; an absent key and anything else read false.
  bool boolForKey(const std::string& key);
  void setBool(bool value, const std::string& key);

  // The file this instance reads and writes (for the standard defaults: resolved at first use).
  std::string path();

  // The user's configuration folder: $XDG_CONFIG_HOME when it is absolute, else $HOME/.config
  // (the password database's home without HOME).
  static std::string userConfigurationDirectory();

  // Forgets what the standard defaults read, so the next use reads the file afresh; with
  // `configHome`, that folder stands in for the user's configuration folder until the next reset.
  static void resetStandardUserDefaultsForTesting(std::optional<std::string> configHome = std::nullopt);

 private:
  friend class NoDestructor<NSUserDefaults>;
  NSUserDefaults() = default;
  void loadLocked() REQUIRES(mutex_);
  bool writeLocked() REQUIRES(mutex_);

  Mutex mutex_;
  std::string path_ GUARDED_BY(mutex_);  // empty for the standard defaults until first use
  bool loaded_ GUARDED_BY(mutex_) = false;
  void* dictionary_ GUARDED_BY(mutex_) = nullptr;  // plist_t, kept opaque so users need no libplist header
};
