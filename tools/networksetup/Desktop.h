// The desktop step of a run in the real world: putting the effective proxy on the desktop of the
// user who asked, or putting that user's own settings back.
//
// Each backend changes its store in one atomic change. The first change saves what the user had
// (into NetworkState::desktopSaved, which the caller stores with the state); when the effective proxy
// goes away, exactly that is put back and forgotten. A backend whose desktop is missing (no session
// bus, no dconf, no KDE configuration) is skipped with one syslog line (LOG_USER, notice, ident
// "networksetup"); what fails on a desktop that is there goes to standard error.
#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tools/networksetup/DesktopProxy.h"
#include "tools/networksetup/NetworkState.h"

namespace networksetup {

// One desktop store. Every call happens in the desktop user's own process (identity and environment).
class DesktopBackend {
 public:
  virtual ~DesktopBackend() = default;
  virtual std::string name() const = 0;
  // Why this user's desktop has no such store, or nothing when it has one.
  virtual std::optional<std::string> absent() = 0;
  // The user's current settings of every setting this backend writes.
  virtual bool read(SavedSettings& settings, std::string* error) = 0;
  // Writes `proxy` in one change.
  virtual bool write(const DesktopProxy& proxy, std::string* error) = 0;
  // Puts `settings` back in one change; settings not in it return to their defaults.
  virtual bool restore(const SavedSettings& settings, std::string* error) = 0;
};

std::unique_ptr<DesktopBackend> makeGSettingsBackend();
std::unique_ptr<DesktopBackend> makeKdeBackend();

// The backend names known, in the order they run.
inline const std::vector<std::string> kDesktopBackendNames = {"gsettings", "kde"};

// Which backends to run, from NETWORKSETUP_DESKTOP: unset, empty or "auto" all of them (each skipped
// when its desktop is missing), "none" none, else a comma-separated list of names. Nothing (and
// `error`) for an unknown name.
std::optional<std::vector<std::string>> chooseBackends(const char* setting, std::string* error);

// The user whose desktop follows: the one who asked for administrator rights (PKEXEC_UID, then
// SUDO_UID) when this process is root, else this process's own user.
uid_t desktopUser();

// Makes this process `user` for good (ids, groups, working folder) with the variables its session
// has: HOME, USER, LOGNAME, XDG_RUNTIME_DIR=/run/user/UID and that folder's session bus; the other
// XDG folders are left to their defaults. Root acting for a user calls it first, so no file of the
// run is touched with root's rights. False (and `why`) when it cannot.
bool actAs(uid_t user, std::string* why);

// Moves the desktop of `user` (this process's own, see actAs) from what it carries to `target`
// (nothing: the user's own settings), through the named backends, in a child process. `saved` is the
// user's saved settings per backend, updated in place. Notes for standard error are written by the
// step itself.
void runDesktopStep(const std::optional<DesktopProxy>& target, const std::vector<std::string>& backends, uid_t user,
                    std::map<std::string, SavedSettings>& saved);

}  // namespace networksetup
