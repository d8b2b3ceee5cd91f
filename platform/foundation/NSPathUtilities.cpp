#include "platform/foundation/NSPathUtilities.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

std::string NSHomeDirectory() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return home;
  return accountHomeDirectory();
}

std::string accountHomeDirectory() {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr && found->pw_dir[0] == '/') {
    return found->pw_dir;
  }
  return "/tmp";
}

std::string applicationSupportDirectory() {
  // A relative value is invalid for the variable and is ignored, as the XDG rules say.
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') return state;
  return NSHomeDirectory() + "/.local/state";
}

std::string accountApplicationSupportDirectory() { return accountHomeDirectory() + "/.local/state"; }
