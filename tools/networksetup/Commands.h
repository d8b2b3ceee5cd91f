// The networksetup stand-in's commands, as a pure function of the arguments and the state, so every
// text and exit status can be checked without a process or a file.
//
// Exit statuses: 0 done; 2 a bad command line (unknown command, wrong number of arguments, a port
// that is not a number from 0 to 65535, a state word other than on/off), with a usage line on
// standard error; 4 the parameters name a service that does not exist (or, when creating one, a
// name that is taken), reported on standard output as the macOS tool does.
#pragma once

#include <string>
#include <vector>

#include "tools/networksetup/NetworkState.h"

namespace networksetup {

enum ExitStatus : int {
  exitSuccess = 0,
  exitStateFolderFailure = 1,  // used by the program around runCommand, never by it
  exitDesktopRefused = 1,      // likewise: a desktop that is there did not take the proxy the run put on
  exitUsage = 2,
  exitInvalidParameters = 4,
};

struct CommandOutcome {
  int status = exitSuccess;
  std::string standardOutput;
  std::string standardError;
  bool changedState = false;  // the caller must write the state back
};

// Runs one command line (`arguments` without argv[0]) against `state`, changing it in place.
CommandOutcome runCommand(const std::vector<std::string>& arguments, NetworkState& state);

}  // namespace networksetup
