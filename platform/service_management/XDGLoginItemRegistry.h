// The login-item registry of this platform.
//
// The main application's login item is an XDG autostart entry,
//   <config>/autostart/<bundle identifier>.desktop
// (<config>: $XDG_CONFIG_HOME when absolute, else ~/.config), whose Exec starts the running
// executable. Its status is enabled only while that file is a desktop entry that would start this
// application at login (XDGAutostartEntryStarts), else not registered; an application without a
// usable bundle identifier is not found. Registering writes the entry atomically (also over a
// switched-off one); unregistering removes whatever file is at the entry's path, or an empty
// folder there (a folder with something in it is not ours to empty), and fails when there is
// nothing. A helper application's login item would be <helper identifier>.desktop in the same
// folder: its status and unregistering work alike (any program counts as the helper's), but no
// helper application is shipped here, so registering one fails.
//
// The legacy launchd jobs of kSMDomainUserLaunchd are a table in this process, an empty array at
// first: SMLoginItemSetEnabled(id, true) puts {"Label": id, "OnDemand": true} in place of the
// jobs labelled id, false removes them. setJobDictionaries puts any value (or nothing) there.
// kSMDomainSystemLaunchd and other domains give nothing.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/ThreadSafety.h"
#include "platform/service_management/ServiceManagement.h"
#include "platform/service_management/XDGDesktopEntry.h"

class XDGLoginItemRegistry : public SMLoginItemRegistry {
 public:
  struct Options {
    // The configuration folder; by default the user's, looked up at each use.
    std::optional<std::string> configHome;
    // What the entry starts; by default the running executable.
    std::optional<std::string> executable;
  };

  XDGLoginItemRegistry() = default;
  explicit XDGLoginItemRegistry(Options options) : options_(std::move(options)) {}

  std::string autostartDirectory() const;
  // The entry of `service`; nothing when its identifier cannot name a file.
  std::optional<std::string> autostartEntryPath(const SMAppService& service) const;

  SMAppServiceStatus statusOf(const SMAppService& service) override;
  std::optional<NSError> registerService(const SMAppService& service) override;
  std::optional<NSError> unregisterService(const SMAppService& service) override;
  bool setLoginItemEnabled(const std::string& identifier, bool enabled) override;
  std::optional<CFValue> copyAllJobDictionaries(std::string_view domain) override;

  void setJobDictionaries(std::optional<CFValue> jobs);

 private:
  Options options_;
  Mutex jobsMutex_;
  std::optional<CFValue> jobs_ GUARDED_BY(jobsMutex_) = CFValue(CFValue::Array{});
};
