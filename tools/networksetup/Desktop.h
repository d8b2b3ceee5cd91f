// The desktop step of a run in the real world: putting the effective proxy on the desktop of the
// user who asked, or putting that user's own settings back.
//
// Each backend changes its store in one atomic change. The first change saves what the user had
// (into NetworkState::desktopSaved, which the caller stores with the state); when the effective proxy
// goes away, exactly that is put back and forgotten, except settings the user changed while ours was
// on, which stay the user's. What each store carries is recorded too (desktopCarried), so every run
// can tell without touching the desktop whether it is in step, and repairs it when it is not.
#pragma once

#include <sys/types.h>

#include <chrono>
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
  // Why this user's desktop has no such store, or nothing when it has one. `transient`: it may be
  // there on a later run (a session bus that is down while the user is logged out).
  virtual std::optional<std::string> absent(bool* transient) = 0;
  // The user's current settings of every setting this backend writes.
  virtual bool read(SavedSettings& settings, std::string* error) = 0;
  // Writes `proxy` in one change, with the user's credentials and inversions switched off.
  virtual bool write(const DesktopProxy& proxy, std::string* error) = 0;
  // Puts `settings` back in one change; settings not in it return to their defaults.
  virtual bool restore(const SavedSettings& settings, std::string* error) = 0;
  // Tells the desktop's running applications about a change, once it is made and reported.
  virtual void announce() {}
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

// How long the desktop step of a run may take: NETWORKSETUP_DESKTOP_BOUND_MS, else 2 s, well inside the
// cleanup's bound on a whole run.
std::chrono::milliseconds desktopBound();

// What a desktop step did to the records in the state, and what failed.
struct DesktopRun {
  bool changedRecords = false;        // the state must be saved again
  std::vector<std::string> failures;  // "NAME failed: WHY", one per backend that could not follow
};

// Brings the desktop of `user` (this process's own, see actAs) in step with `target` (nothing: the
// user's own settings) through the named backends. A backend is in step when its record in `state`
// (desktopCarried, desktopSaved) says it carries `target`; only the others are touched, each in a
// child process of its own process group that holds no descriptor of the run but its report pipe, and
// that is killed with its whole group at `bound`. A backend that follows gets its records updated; one
// that fails, does not answer in time or cannot be reached yet keeps them, so a later run tries again.
// A backend whose store is not there is noted in syslog and counts as in step.
DesktopRun convergeDesktop(const std::optional<DesktopProxy>& target, const std::vector<std::string>& backends,
                           uid_t user, NetworkState& state, std::chrono::milliseconds bound);

// One line to syslog (LOG_USER, notice, ident "networksetup"): what the desktop step did that is
// how the machine is rather than a fault of the run.
void noteInJournal(const std::string& line);

}  // namespace networksetup
