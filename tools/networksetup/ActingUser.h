// Who a run acts for: root asked by a user through pkexec or sudo acts as that user, for state and
// desktop alike, so no file of the run is touched with root's rights.
#pragma once

#include <sys/types.h>

namespace networksetup {

// The user whose desktop follows: the one who asked for administrator rights (PKEXEC_UID, then
// SUDO_UID) when this process is root, else this process's own user.
uid_t desktopUser();

}  // namespace networksetup
