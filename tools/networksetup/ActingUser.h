// Who a run acts for: root asked by a user through pkexec or sudo acts as that user, for state and
// desktop alike, so no file of the run is touched with root's rights.
#pragma once

#include <sys/types.h>

#include <string>

namespace networksetup {

// The user whose desktop follows: the one who asked for administrator rights (PKEXEC_UID, then
// SUDO_UID) when this process is root, else this process's own user.
uid_t desktopUser();

// Makes this process `user` for good (ids, groups, working folder) with the variables its session
// has: HOME, USER, LOGNAME, XDG_RUNTIME_DIR=/run/user/UID and that folder's session bus; the other
// XDG folders are left to their defaults. Root acting for a user calls it first, so no file of the
// run is touched with root's rights. False (and `why`) when it cannot.
bool actAs(uid_t user, std::string* why);

}  // namespace networksetup
