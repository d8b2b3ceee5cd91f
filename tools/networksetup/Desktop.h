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
#include <optional>
#include <string>
#include <vector>

#include "tools/networksetup/ActingUser.h"
#include "tools/networksetup/DesktopBackend.h"
#include "tools/networksetup/DesktopProxy.h"
#include "tools/networksetup/Journal.h"
#include "tools/networksetup/NetworkState.h"

namespace networksetup {

// How long the desktop step of a run may take: NETWORKSETUP_DESKTOP_BOUND_MS, else 2 s, well inside the
// cleanup's bound on a whole run.
std::chrono::milliseconds desktopBound();

// What a desktop step did to the records in the state, and what failed.
struct DesktopRun {
  bool changedRecords = false;        // the state must be saved again
  std::vector<std::string> failures;  // "NAME failed: WHY", one per backend that could not follow
  // Every backend the run leaves out of step: its failure, or "NAME skipped: WHY" for one that
  // cannot be reached yet. Empty: the desktop is in step with the target.
  std::vector<std::string> behind;
};

// Brings the desktop of `user` (this process's own, see posix::becomeUser) in step with `target` (nothing: the
// user's own settings) through the named backends. A backend is in step when its record in `state`
// (desktopCarried, desktopSaved) says it carries `target`; only the others are touched, each in a
// step of its own (DesktopStep.h) bounded by `bound`. A backend that follows gets its records
// updated; one that fails, does not answer in time or cannot be reached yet keeps them, so a later
// run tries again. A backend whose store is not there is noted in syslog and counts as in step.
DesktopRun convergeDesktop(const std::optional<DesktopProxy>& target, const std::vector<std::string>& backends,
                           uid_t user, NetworkState& state, std::chrono::milliseconds bound);

}  // namespace networksetup
