// The Darwin process call the proxy guard makes: a wait for a process to end. (Which process a pid
// names is posix::ProcessIdentity's.)
//
//   auto watch = darwin::ProcessExitWatch::watch(hostPid);
//   watch->waitUntilExit();                              // a stopped host has not ended
//
// How it maps onto macOS (docs/guard.md):
// - ProcessExitWatch: a kqueue with an EVFILT_PROC / NOTE_EXIT filter on the pid. Linux: a process
//   descriptor (pidfd_open), readable once the process has ended. Neither fires for SIGSTOP.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>

#include "platform/posix/UniqueFd.h"

namespace darwin {

// Waits for one process to end. Move-only; owns its descriptor.
class ProcessExitWatch {
 public:
  // A watch on `pid`; the failed call when the process does not exist or the kernel cannot watch
  // it. Watch your own parent and then check getppid() still names it, and the watch is certainly
  // on that process and not on a later one with the same pid.
  static posix::Expected<ProcessExitWatch> watch(pid_t pid);

  // True once the process has ended, waiting at most `timeout` (none: as long as it takes).
  bool waitUntilExit(std::optional<std::chrono::milliseconds> timeout = std::nullopt) const;

 private:
  explicit ProcessExitWatch(posix::UniqueFd fd) : fd_(std::move(fd)) {}
  posix::UniqueFd fd_;
};

}  // namespace darwin
