// Which process a pid names, told apart from a later process that reuses the pid: the record's
// owner, the host and its guard.
//
//   auto host = posix::ProcessIdentity::of(hostPid);   // while it certainly is the host (our parent)
//   ...
//   if (!host->isAlive()) cleanUpAfter(*host);          // the host, not another with its pid
//
// The start time is the kernel's, comparable only with another of this machine's: on Linux field
// 22 of /proc/<pid>/stat (clock ticks since boot), on macOS proc_pidinfo's PROC_PIDTBSDINFO
// pbi_start_tvsec/usec. A process that ended and waits to be reaped (Z or X; SZOMB) has none.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace posix {

struct ProcessIdentity {
  pid_t pid = 0;
  uint64_t startTime = 0;
  bool operator==(const ProcessIdentity&) const = default;
  static ProcessIdentity current();
  // Nothing when the process has ended (or never was).
  static std::optional<ProcessIdentity> of(pid_t pid);
  // Whether this very process still runs (not only some process with its pid).
  bool isAlive() const;
  // "<pid> <start time>", as the record's owner line and the guard's report to the host carry it;
  // back, nothing unless the text is exactly that.
  std::string text() const;
  static std::optional<ProcessIdentity> fromText(std::string_view text);
};

}  // namespace posix
