// Runs a child process to its end and collects what it wrote, for tests that start a tool or a
// host command and look at its status and output.
//
//   ProcessRun run = runProcess({"/bin/sh", "-c", "echo hi"});
//   if (run.started && run.exitStatus == 0) use(run.standardOutput);
//
// Both standard streams are piped and drained together, with no time limit; everything else
// (what the child inherits, thread safety) is the shared runner's, platform/foundation/Subprocess.h.
#pragma once

#include <string>
#include <vector>

#include "platform/foundation/Subprocess.h"

using ProcessRun = SubprocessResult;

// `argv[0]` is an absolute path; no search of PATH.
ProcessRun runProcess(const std::vector<std::string>& argv);
