// macsim: runs a command in the macOS tool view (platform/macos_tools) of the tools beside it:
// /usr/sbin/networksetup is build/bin/networksetup and /usr/bin/base64 is build/bin/base64, which takes -D.
// How and why is in docs/macsim.md.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/posix/Expected.h"

namespace macsim {

// macsim's own failures, kept apart from the command's statuses that it passes on, as env(1) does.
enum ExitStatus : int {
  exitSetupFailure = 125,
  exitCannotRun = 126,
  exitNotFound = 127,
};

inline constexpr const char* kUsage = "Usage: macsim [--simulated] [--state DIR] -- COMMAND [ARG ...]\n";

struct CommandLine {
  std::optional<std::string> stateFolder;
  bool simulated = false;  // networksetup acts in its simulated world (NETWORKSETUP_WORLD=simulated)
  std::vector<std::string> command;
  bool help = false;
};

// `arguments` without argv[0]. The command starts after "--", or at the first argument that is not
// an option. An error for an unknown option, a --state without a folder, or no command.
posix::Expected<CommandLine> parseCommandLine(const std::vector<std::string>& arguments);

// $XDG_STATE_HOME/proxyhost/networksetup, or <home>/.local/state/proxyhost/networksetup when the
// variable is unset, empty or relative (as the XDG rules say to treat it).
std::string defaultStateFolder(const char* xdgStateHome, const std::string& home);

}  // namespace macsim
