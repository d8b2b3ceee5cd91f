// One whole networksetup run: the world and desktop chosen from the environment, the user acted for,
// the state folder locked, the command run, the state saved and the desktop brought in step. The
// program is this and its output; tests call it in-process.
#pragma once

#include <string>
#include <vector>

#include "tools/networksetup/Commands.h"

namespace networksetup {

// Runs `argv` (argv[0] first) as the program does, with this process's environment. The outcome's
// streams are what the program prints; changedState is not used.
CommandOutcome runNetworksetup(const std::vector<std::string>& argv);

}  // namespace networksetup
