#include "tools/networksetup/ActingUser.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/posix/Files.h"

namespace networksetup {

bool actAs(uid_t user, std::string* why) {
  const passwd* entry = ::getpwuid(user);
  if (entry == nullptr) {
    *why = "there is no user with uid " + std::to_string(user);
    return false;
  }
  const std::string home = entry->pw_dir != nullptr ? entry->pw_dir : "/";
  if (::initgroups(entry->pw_name, entry->pw_gid) != 0 || ::setresgid(entry->pw_gid, entry->pw_gid, entry->pw_gid) != 0 ||
      ::setresuid(user, user, user) != 0) {
    *why = std::string("cannot act as uid ") + std::to_string(user) + ": " + std::strerror(errno);
    return false;
  }
  const std::string runtime = "/run/user/" + std::to_string(user);
  ::setenv("HOME", home.c_str(), 1);
  ::setenv("USER", entry->pw_name, 1);
  ::setenv("LOGNAME", entry->pw_name, 1);
  ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
  ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + runtime + "/bus").c_str(), 1);
  for (const char* variable : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_STATE_HOME"}) {
    ::unsetenv(variable);
  }
  // The working folder is a courtesy to what runs next: the home, else the root.
  if (::chdir(home.c_str()) != 0 && ::chdir("/") != 0) {
    // Neither is open to the user: it stays where it was, which does not undo the change of user.
  }
  return true;
}

uid_t desktopUser() { return posix::actingUser(); }

}  // namespace networksetup
