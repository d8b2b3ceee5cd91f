// Subprocess: the one way this platform layer starts a child program and waits for it.
//
//   SubprocessOptions options{.argv = {"/usr/bin/env"}, .standardError = SubprocessStream::null};
//   options.timeLimit = std::chrono::seconds(5);
//   SubprocessResult run = runSubprocess(options);
//
// The child gets /dev/null (or a given descriptor) as standard input, a pipe or /dev/null as standard output and error,
// no other descriptor of this process (whatever other threads opened, CLOEXEC or not), default
// signal dispositions and an empty signal mask, and this process's environment. `argv[0]` is an
// absolute path: no search of PATH, no shell. Piped streams are drained together while the child
// runs, so a child that fills one pipe while this side waits on the other cannot stall.
// Safe to call from several threads at once.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "platform/posix/ProcessGroup.h"
#include "platform/posix/UniqueFd.h"

// inherit: this process's own descriptor (standard error only makes sense so).
enum class SubprocessStream { pipe, null, inherit };

// Whether the child's own children are held to its fate.
enum class SubprocessContainment {
  // The child alone, in this process's process group.
  none,
  // The child and everything it starts form a process group of their own under a supervisor
  // (posix::SupervisedGroup) that holds the command's exit status. The whole group is killed at the
  // time limit, by posix::stopGroup() on duplicateProcessDescriptor(), and when this process or the
  // thread that started it ends (the host killed, even with SIGKILL). A command that cannot be
  // executed ends with status 127 rather than failing the start.
  processGroupEndingWithParent,
};

struct SubprocessOptions {
  std::vector<std::string> argv;
  // The file to run when it is not argv[0] (a program that another path stands for); absolute.
  std::string executable;
  // A descriptor of this process that the child reads as its standard input (the caller keeps its
  // own); -1 for /dev/null.
  int standardInput = -1;
  SubprocessStream standardOutput = SubprocessStream::pipe;
  SubprocessStream standardError = SubprocessStream::pipe;
  // Past this, counted from the start, the child is killed with SIGKILL and reaped. None: wait
  // for as long as it takes.
  std::optional<std::chrono::milliseconds> timeLimit;
  SubprocessContainment containment = SubprocessContainment::none;
};

struct SubprocessResult {
  bool started = false;       // false: the child could not be started; see startError
  std::string startError;     // e.g. "posix_spawn /bin/sh: No such file or directory"
  int startErrno = 0;         // the errno behind startError
  int exitStatus = -1;        // the exit status, or 128 + the signal that ended the child
  int terminatingSignal = 0;  // the signal that ended the child, 0 when it exited
  bool timedOut = false;      // the time limit passed and the child was killed
  std::string standardOutput;
  std::string standardError;
  bool outputTruncated = false;  // a stream went past kMaxRetainedOutput; the excess was read and dropped
};

// How much of each stream is kept. A command that writes more is still drained to its end, so it
// never blocks on a full pipe, but memory stays bounded whatever it writes.
inline constexpr size_t kMaxRetainedOutput = 16 * 1024 * 1024;

// A started child that has not been waited for yet. Move-only; destroying one that was never
// finished finishes it (the child is always reaped).
class Subprocess {
 public:
  // Starts the child; `result` receives the start error when it cannot.
  static std::optional<Subprocess> start(const SubprocessOptions& options, SubprocessResult& result);

  Subprocess(Subprocess&& other) noexcept;
  Subprocess& operator=(Subprocess&& other) noexcept;  // finishes the child it held first
  Subprocess(const Subprocess&) = delete;
  ~Subprocess();

  pid_t pid() const { return pid_; }
  // A process descriptor of a contained child's supervisor, for posix::stopGroup from another
  // thread while finish() waits (-1 when the kernel has none, or the child is not contained).
  // Owned by the caller.
  int duplicateProcessDescriptor() const;
  bool finished() const { return finished_; }
  // Drains the piped streams into `result`, then reaps the child, killing it at the time limit.
  // Blocks the calling thread; a second call does nothing.
  void finish(SubprocessResult& result);

 private:
  Subprocess() = default;
  pid_t pid_ = -1;
  std::optional<posix::SupervisedGroup> group_;  // a contained child's
  posix::UniqueFd outFd_, errFd_;                // this side of the piped streams
  std::optional<std::chrono::steady_clock::time_point> deadline_;
  bool finished_ = true;
};

SubprocessResult runSubprocess(const SubprocessOptions& options);
