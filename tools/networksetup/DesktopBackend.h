// The desktop stores a run can bring in step, and which of them a run uses.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/posix/Expected.h"
#include "tools/networksetup/DesktopProxy.h"
#include "tools/networksetup/NetworkState.h"

namespace networksetup {

// One desktop store. Every call happens in the desktop user's own process (identity and environment).
class DesktopBackend {
 public:
  virtual ~DesktopBackend() = default;
  virtual std::string name() const = 0;
  // Whether this user's desktop has such a store, or why it has none. `transient`: it may be there
  // on a later run (a session bus that is down while the user is logged out).
  virtual posix::Expected<void> present(bool* transient) = 0;
  // The user's current settings of every setting this backend writes, as the store holds them (not
  // what this process asked for and the store may have refused).
  virtual posix::Expected<SavedSettings> read() = 0;
  // Writes `proxy` in one change, with the user's credentials and inversions switched off; gives
  // what read() finds once the store has taken it.
  virtual posix::Expected<SavedSettings> write(const DesktopProxy& proxy) = 0;
  // Puts `settings` back in one change; settings not in it return to their defaults. read() then
  // finds exactly `settings`.
  virtual posix::Expected<void> restore(const SavedSettings& settings) = 0;
  // Tells the desktop's running applications about a change, once it is made and reported.
  virtual void announce() {}
};

std::unique_ptr<DesktopBackend> makeGSettingsBackend();
std::unique_ptr<DesktopBackend> makeKdeBackend();
// The backend of one of kDesktopBackendNames.
std::unique_ptr<DesktopBackend> makeBackend(const std::string& name);

// The backend names known, in the order they run.
inline const std::vector<std::string> kDesktopBackendNames = {"gsettings", "kde"};

// Which backends to run, from NETWORKSETUP_DESKTOP: unset, empty or "auto" all of them (each skipped
// when its desktop is missing), "none" none, else a comma-separated list of names. An error for an
// unknown name.
posix::Expected<std::vector<std::string>> chooseBackends(const char* setting);

}  // namespace networksetup
