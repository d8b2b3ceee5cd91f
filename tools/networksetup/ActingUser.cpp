#include "tools/networksetup/ActingUser.h"

#include "platform/posix/Files.h"

namespace networksetup {

uid_t desktopUser() { return posix::actingUser(); }

}  // namespace networksetup
