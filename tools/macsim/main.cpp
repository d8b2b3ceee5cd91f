// macsim [--simulated] [--state DIR] -- COMMAND [ARG ...]
//
// Runs COMMAND where /usr/sbin/networksetup is the tool beside this program and /usr/bin/base64
// decodes with -D as on macOS, with NETWORKSETUP_STATE_DIR naming the tool's state folder and, with
// --simulated, NETWORKSETUP_WORLD=simulated keeping it off the machine's devices and desktop. macsim
// sets up a private mount namespace and then execs COMMAND, so COMMAND has macsim's process id: its
// exit status and signals are COMMAND's own. docs/macsim.md tells the whole story.
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/macos_tools/MacOSTools.h"
#include "platform/macos_tools/ToolView.h"
#include "platform/posix/Files.h"
#include "tools/macsim/MacSim.h"

namespace {

int setupFailure(const std::string& why) {
  std::fprintf(stderr, "macsim: %s\n", why.c_str());
  return macsim::exitSetupFailure;
}

std::string homeFolder() {
  if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') return home;
  if (const passwd* entry = ::getpwuid(::getuid()); entry != nullptr && entry->pw_dir != nullptr) {
    return entry->pw_dir;
  }
  return "/";
}

}  // namespace

int main(int argc, char** argv) {
  const auto line = macsim::parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  if (!line) {
    std::fprintf(stderr, "macsim: %s\n%s", line.error().message().c_str(), macsim::kUsage);
    return macsim::exitSetupFailure;
  }
  if (line->help) {
    std::fputs(macsim::kUsage, stdout);
    return 0;
  }

  const std::optional<std::string> tools = macos_tools::toolFolder();
  if (!tools) return setupFailure("the macOS tools (networksetup, base64) are not beside macsim");

  const std::string requested =
      line->stateFolder.value_or(macsim::defaultStateFolder(std::getenv("XDG_STATE_HOME"), homeFolder()));
  if (auto made = posix::createFolders(requested, 0700); !made) return setupFailure(made.error().message());
  // Absolute, so the command may change its working folder without losing the state.
  char* resolved = ::realpath(requested.c_str(), nullptr);
  if (resolved == nullptr) return setupFailure("realpath(" + requested + "): " + std::strerror(errno));
  const std::string stateFolder = resolved;
  std::free(resolved);

  if (!macos_tools::toolViewInPlace(*tools)) {
    if (auto entered = macos_tools::enterToolView(*tools); !entered) {
      return setupFailure(entered.error().message() + ". Run macsim as root instead.");
    }
  }
  ::setenv("NETWORKSETUP_STATE_DIR", stateFolder.c_str(), 1);
  if (line->simulated) ::setenv("NETWORKSETUP_WORLD", "simulated", 1);

  std::vector<char*> command;
  for (const auto& argument : line->command) command.push_back(const_cast<char*>(argument.c_str()));
  command.push_back(nullptr);
  ::execvp(command[0], command.data());
  const int savedErrno = errno;
  std::fprintf(stderr, "macsim: cannot run %s: %s\n", command[0], std::strerror(savedErrno));
  return savedErrno == ENOENT ? macsim::exitNotFound : macsim::exitCannotRun;
}
