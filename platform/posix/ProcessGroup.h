// SupervisedGroup: a child and everything it starts, in a process group of their own that never
// outlives its owner. Every child the product holds to its fate starts through it: the scripting
// stand-in's commands, the privileged helper's shell, networksetup's desktop steps.
//
//   posix::SupervisedGroup::Options options{.deadline = std::chrono::steady_clock::now() + 2s};
//   auto group = posix::SupervisedGroup::start([&] { ::execv(path, argv); return 127; }, options);
//   if (!group) fail(group.error());
//   ... poll group->descriptor() with the child's pipes, or:
//   const posix::SupervisedGroup::End end = group->wait(deadline);
//
// start() forks a supervisor that leads a new process group and forks the member, which runs
// `body` and exits with what it returns. The supervisor exits as the member did (same status, same
// signal), and ends the whole group, itself included, with SIGKILL when
//   - it is told to (stop(), from any thread of the owner, or a SIGTERM, SIGINT or SIGHUP),
//   - the deadline passes,
//   - the process that started it ends, or the thread that did (a parent-death signal),
//   - the owner named in the options ends: a process descriptor that becomes readable, or a
//     descriptor that hangs up (a socket whose peer is gone, a pipe whose other side is gone).
// The last one is what holds across a change of user: the kernel sends no parent-death signal from
// a process of an ordinary user to one of root, and cannot be asked to kill a root group for it,
// but a process descriptor or a socket of the caller ends with the caller whoever watches it.
//
// The member starts with every signal at its default action and unblocked, in the new group, with
// the descriptors of the process that started it (close what it must not keep before exec). Both
// run in a fork of a process that may have threads, so `body` may call async-signal-safe
// functions only (dup2, close_range, execve, ...); a single-threaded caller may do more. The
// supervisor itself allocates nothing and keeps no descriptor but what it watches, so the member's
// pipes end when the member's copies do.
//
// Linux: pidfds, signalfd and ppoll. On macOS the supervisor would wait on a kqueue with
// EVFILT_PROC/NOTE_EXIT for the owner and the starter, EVFILT_SIGNAL for its signals and
// EVFILT_READ (EV_EOF) for the owner's socket.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>

#include "platform/posix/Expected.h"
#include "platform/posix/UniqueFd.h"

namespace posix {

class SupervisedGroup {
 public:
  using Deadline = std::chrono::steady_clock::time_point;

  struct Options {
    // Past this the whole group is killed (by the supervisor, and by wait()). None: no bound.
    std::optional<Deadline> deadline;
    // Another process whose end ends the group: a process descriptor (it may be of another user).
    int ownerProcess = -1;
    // A descriptor that hangs up when the owner is gone (POLLHUP or POLLERR): the caller's end of a
    // socket, a pipe the caller holds the other side of.
    int ownerHangUp = -1;
  };

  // How the supervisor ended, from wait() or reap().
  struct End {
    int status = -1;        // the exit status, or 128 + the signal that ended it
    int signal = 0;         // that signal, 0 when it exited
    bool timedOut = false;  // the deadline passed and the group was killed
  };

  // Starts the group; fork's error when the supervisor cannot be forked.
  static Expected<SupervisedGroup> start(const std::function<int()>& body, const Options& options);

  SupervisedGroup(SupervisedGroup&& other) noexcept;
  SupervisedGroup& operator=(SupervisedGroup&& other) noexcept;
  SupervisedGroup(const SupervisedGroup&) = delete;
  SupervisedGroup& operator=(const SupervisedGroup&) = delete;
  // Kills a group not yet reaped and reaps its supervisor.
  ~SupervisedGroup();

  // The supervisor's pid, which is also the group's id.
  pid_t pid() const { return pid_; }
  // A process descriptor of the supervisor: readable once it has ended, for a caller that polls it
  // beside pipes of its own; -1 when the kernel has none.
  int descriptor() const { return processDescriptor_.get(); }
  // A duplicate of descriptor(), for stopGroup() from another thread; owned by the caller.
  UniqueFd duplicateDescriptor() const;

  // Kills the whole group now. Only while the supervisor is not reaped, so the group id cannot
  // have been given to another process; from the thread that owns the object.
  void kill();
  // Waits until the supervisor ends or `deadline` passes (none: as long as it takes); past it the
  // group is killed. Then reaps. From the thread that owns the object; a second call returns the
  // first one's answer.
  End wait(std::optional<Deadline> deadline = std::nullopt);
  // wait() with the group killed first: for a caller that is done with it.
  End reap();

 private:
  SupervisedGroup() = default;
  pid_t pid_ = -1;
  UniqueFd processDescriptor_;
  std::optional<Deadline> deadline_;
  std::optional<End> end_;
};

// Tells the supervisor behind `processDescriptor` (from duplicateDescriptor) to end its group: safe
// from any thread, also once the supervisor is gone (then it does nothing).
void stopGroup(int processDescriptor);

}  // namespace posix
