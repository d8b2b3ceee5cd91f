// The Darwin process calls the proxy guard makes: another process's start time and a wait for a
// process to end.
//
//   auto watch = darwin::ProcessExitWatch::watch(hostPid, &error);
//   auto started = darwin::processStartTime(hostPid);   // tells the host from a later reuse of its pid
//   watch->waitUntilExit();                              // a stopped host has not ended
//
// How each maps onto macOS (docs/guard.md):
// - processStartTime: proc_pidinfo(pid, PROC_PIDTBSDINFO) gives pbi_start_tvsec/usec and the
//   status (SZOMB for a process that ended and was not reaped). Linux: /proc/<pid>/stat, field 22
//   (start time in clock ticks since boot) and field 3 (state, Z or X for an ended process).
// - ProcessExitWatch: a kqueue with an EVFILT_PROC / NOTE_EXIT filter on the pid. Linux: a process
//   descriptor (pidfd_open), readable once the process has ended. Neither fires for SIGSTOP.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>

#include "platform/posix/UniqueFd.h"

namespace darwin {

// The start time of `pid` in the kernel's own units, comparable only with another result of this
// call; nothing when no such process exists or it has ended (also while it waits to be reaped).
std::optional<uint64_t> processStartTime(pid_t pid);

// Waits for one process to end. Move-only; owns its descriptor.
class ProcessExitWatch {
 public:
  // A watch on `pid`; nothing, with the errno in `error`, when the process does not exist or the
  // kernel cannot watch it. Watch your own parent and then check getppid() still names it, and
  // the watch is certainly on that process and not on a later one with the same pid.
  static std::optional<ProcessExitWatch> watch(pid_t pid, int* error);

  // True once the process has ended, waiting at most `timeout` (none: as long as it takes).
  bool waitUntilExit(std::optional<std::chrono::milliseconds> timeout = std::nullopt) const;

 private:
  explicit ProcessExitWatch(posix::UniqueFd fd) : fd_(std::move(fd)) {}
  posix::UniqueFd fd_;
};

}  // namespace darwin
