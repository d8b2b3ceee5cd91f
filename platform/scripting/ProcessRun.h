// Runs a child process to its end and collects what it wrote: the scripting stand-in's way of
// running "do shell script" commands.
//
//   ProcessRun run = runProcess({"/bin/sh", "-c", "echo hi"});
//   if (run.started && run.exitStatus == 0) use(run.standardOutput);
//
// The child gets /dev/null as standard input, its own pipes as standard output and error, no
// other descriptor of this process (whatever other threads opened, CLOEXEC or not), default
// signal dispositions and an empty signal mask, and this process's environment. Both pipes are
// drained together, so a child that fills one while this side waits on the other cannot stall.
// Blocks the calling thread until the child has ended; safe to call from several threads at once.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct ProcessRun {
  bool started = false;       // false: the child could not be started; see startError
  std::string startError;     // e.g. "posix_spawn /bin/sh: No such file or directory"
  int exitStatus = -1;        // the exit status, or 128 + the signal that ended the child
  int terminatingSignal = 0;  // the signal that ended the child, 0 when it exited
  std::string standardOutput;
  std::string standardError;
  bool outputTruncated = false;  // a stream went past kMaxRetainedOutput; the excess was read and dropped
};

// How much of each stream is kept. A command that writes more is still drained to its end, so it
// never blocks on a full pipe, but memory stays bounded whatever it writes.
inline constexpr size_t kMaxRetainedOutput = 16 * 1024 * 1024;

// `argv[0]` is an absolute path; no search of PATH.
ProcessRun runProcess(const std::vector<std::string>& argv);
