// Becoming another user for good, as a root process that acts for a user must before it runs
// anything of theirs.
#pragma once

#include <sys/types.h>

#include "platform/posix/Expected.h"

namespace posix {

// Makes this root process `user` with no way back: the user's groups (initgroups), real, effective
// and saved group and user ids, no capability left in any set (the bounding set emptied first),
// and no_new_privs, so nothing it executes (a setuid program) gains rights again. Then the
// variables of the user's session: HOME, USER, LOGNAME, XDG_RUNTIME_DIR=/run/user/UID with its
// session bus, the other XDG folders left to their defaults; the working folder is the home (else
// /). Everything is checked after the change. An error when any step fails: the caller must then
// run nothing.
Expected<void> becomeUser(uid_t user);

}  // namespace posix
