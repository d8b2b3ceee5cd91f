// A desktop step runs in a child process of its own supervised process group (posix::SupervisedGroup)
// that holds no descriptor of the run but its report pipe, dies with the run and is killed with its
// whole group at its bound: a
// desktop that hangs (a session bus that does not answer) never holds the run or its state lock.
// The child reports on the pipe in a small wire format of its own.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/posix/Expected.h"
#include "platform/posix/ProcessGroup.h"
#include "platform/posix/UniqueFd.h"
#include "tools/networksetup/NetworkState.h"

namespace networksetup {

// How a backend's step ended, as its child reports it.
enum class StepOutcome : char {
  followed = 'f',     // the store carries the target; records as reported
  missing = 'm',      // no such store: nothing to carry, in step
  unreachable = 'u',  // not reachable now (no session bus): try again on a later run
  failed = 'x',       // the store is there and refused or could not be read
};

struct StepReport {
  StepOutcome outcome = StepOutcome::failed;
  std::string message;
  std::optional<SavedSettings> own;     // the user's own settings while ours is on
  std::optional<CarriedProxy> carried;  // what the store carries; nothing: the user's own
};

// A step running in its own supervised process group.
struct StepChild {
  std::string name;
  std::optional<posix::SupervisedGroup> group;  // its descriptor is readable once the step has exited
  posix::UniqueFd report;
  std::string bytes;
  bool reported = false;  // the report pipe reached its end
  bool exited = false;
};

// Forks the step of backend `name`: the child runs `step`, sends its report, then runs `afterwards`
// with it and exits. An error when it cannot be started.
posix::Expected<StepChild> startStep(const std::string& name, const std::function<StepReport()>& step,
                                     const std::function<void(const StepReport&)>& afterwards);

// Reads every child's report until every child has exited (a backend may still tell the desktop's
// applications after reporting) or `deadline` passes.
void collectSteps(std::vector<StepChild>& children, std::chrono::steady_clock::time_point deadline);

// Ends the child's whole group, also what the step left running, and reaps it. Its report, or
// an error when it sent none within `bound`.
posix::Expected<StepReport> finishStep(StepChild& child, std::chrono::milliseconds bound);

}  // namespace networksetup
