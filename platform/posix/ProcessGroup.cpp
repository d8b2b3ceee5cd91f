#include "platform/posix/ProcessGroup.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace posix {

namespace {

// The supervisor and the member run in a fork of a process that may have threads: everything below
// until start() is async-signal-safe, allocates nothing, and takes the raw system calls where a
// sanitizer's interceptor would stand in front of the library's.

void setSignalMask(const sigset_t& mask) { ::syscall(SYS_rt_sigprocmask, SIG_SETMASK, &mask, nullptr, _NSIG / 8); }

// Gives the signals `first` to `last` their default action back, then unblocks every signal.
void restoreDefaultSignals(int first, int last) {
  struct sigaction standard {};
  standard.sa_handler = SIG_DFL;
  sigemptyset(&standard.sa_mask);
  for (int sig = first; sig <= last; ++sig) ::sigaction(sig, &standard, nullptr);
  sigset_t none;
  sigemptyset(&none);
  setSignalMask(none);
}

// Closes every descriptor from 3 up but those in `kept` (sorted, each above 2, -1 entries ignored).
void closeAllBut(int* kept, int count) {
  std::sort(kept, kept + count);
  unsigned int from = 3;
  for (int i = 0; i < count; ++i) {
    if (kept[i] < static_cast<int>(from)) continue;
    if (static_cast<unsigned int>(kept[i]) > from) ::syscall(SYS_close_range, from, kept[i] - 1, 0);
    from = static_cast<unsigned int>(kept[i]) + 1;
  }
  ::syscall(SYS_close_range, from, ~0U, 0);
}

// A watched descriptor that sits on a standard stream is moved above 2, where /dev/null will not
// replace it.
int liftAboveStandardStreams(int fd) { return fd >= 0 && fd <= 2 ? ::fcntl(fd, F_DUPFD_CLOEXEC, 3) : fd; }

long long nowNs() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

[[noreturn]] void endAs(int status) {
  if (WIFEXITED(status)) ::_exit(WEXITSTATUS(status));
  const int sig = WTERMSIG(status);
  restoreDefaultSignals(sig, sig);
  ::kill(::getpid(), sig);
  ::_exit(128 + sig);
}

[[noreturn]] void supervise(const std::function<int()>& body, const SupervisedGroup::Options& options, pid_t starter,
                            int starterProcess, long long deadlineNs) {
  ::setpgid(0, 0);
  // Only ever waited for, through a signalfd; blocked from before the member exists, none is missed.
  sigset_t waited;
  sigemptyset(&waited);
  for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGCHLD}) sigaddset(&waited, sig);
  setSignalMask(waited);
  // The thread that started it: its end is the parent-death signal. The process: its descriptor.
  if (::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || ::getppid() != starter) ::_exit(127);

  const pid_t member = ::fork();
  if (member == 0) {
    ::prctl(PR_SET_PDEATHSIG, 0);
    restoreDefaultSignals(1, NSIG - 1);
    ::_exit(body());
  }
  const int signals = static_cast<int>(::syscall(SYS_signalfd4, -1, &waited, _NSIG / 8, SFD_CLOEXEC | SFD_NONBLOCK));
  int watched[4] = {signals, liftAboveStandardStreams(starterProcess), liftAboveStandardStreams(options.ownerProcess),
                    liftAboveStandardStreams(options.ownerHangUp)};
  // No stream of the member's stays open here, so its pipes end when its own copies do.
  const int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  for (int stream = 0; stream <= 2; ++stream) ::dup2(devNull, stream);
  int kept[4] = {watched[0], watched[1], watched[2], watched[3]};
  closeAllBut(kept, 4);
  if (member < 0 || signals < 0) ::_exit(127);

  const short interest[4] = {POLLIN, POLLIN, POLLIN, 0};  // the last one only hangs up
  for (;;) {
    int status = 0;
    const pid_t done = ::waitpid(member, &status, WNOHANG);
    if (done == member) endAs(status);
    if (done < 0 && errno != EINTR) ::_exit(127);

    pollfd fds[4];
    for (int i = 0; i < 4; ++i) fds[i] = {watched[i], interest[i], 0};
    timespec left{};
    timespec* timeout = nullptr;
    if (deadlineNs >= 0) {
      const long long ns = std::max(0LL, deadlineNs - nowNs());
      left = {static_cast<time_t>(ns / 1000000000LL), static_cast<long>(ns % 1000000000LL)};
      timeout = &left;
    }
    const long ready = ::syscall(SYS_ppoll, fds, 4, timeout, nullptr, _NSIG / 8);
    if (ready < 0) {
      if (errno == EINTR) continue;
      ::kill(0, SIGKILL);
    }
    bool end = ready == 0 && deadlineNs >= 0 && nowNs() >= deadlineNs;
    if (fds[0].revents & POLLIN) {
      signalfd_siginfo info{};
      while (::read(signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        if (info.ssi_signo != SIGCHLD) end = true;
      }
    }
    for (int i = 1; i < 4; ++i) {
      if (fds[i].revents & POLLNVAL) {
        watched[i] = -1;  // not a descriptor to watch: nothing to learn from it
      } else if (fds[i].revents != 0) {
        end = true;
      }
    }
    if (end) ::kill(0, SIGKILL);  // the whole group, this supervisor with it
  }
}

bool passed(const std::optional<SupervisedGroup::Deadline>& deadline) {
  return deadline && std::chrono::steady_clock::now() >= *deadline;
}

}  // namespace

Expected<SupervisedGroup> SupervisedGroup::start(const std::function<int()>& body, const Options& options) {
  // steady_clock is CLOCK_MONOTONIC; the supervisor counts in it without the library.
  long long deadlineNs = -1;
  if (options.deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::nanoseconds>(*options.deadline - std::chrono::steady_clock::now());
    deadlineNs = nowNs() + std::max<long long>(0, left.count());
  }
  const pid_t starter = ::getpid();
  // -1 without pidfds: the parent-death signal alone then covers the starter.
  UniqueFd starterProcess = openProcessDescriptor(starter);
  const pid_t pid = ::fork();
  if (pid < 0) return SystemError::fromErrno("fork");
  if (pid == 0) supervise(body, options, starter, starterProcess.get(), deadlineNs);
  // Also from this side, so the group exists before anyone signals it.
  ::setpgid(pid, pid);
  SupervisedGroup group;
  group.pid_ = pid;
  group.processDescriptor_ = openProcessDescriptor(pid);
  group.deadline_ = options.deadline;
  return Expected<SupervisedGroup>(std::move(group));
}

SupervisedGroup::SupervisedGroup(SupervisedGroup&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      processDescriptor_(std::move(other.processDescriptor_)),
      deadline_(other.deadline_),
      end_(std::exchange(other.end_, End{})) {}

SupervisedGroup& SupervisedGroup::operator=(SupervisedGroup&& other) noexcept {
  if (this == &other) return *this;
  if (pid_ > 0 && !end_) reap();
  pid_ = std::exchange(other.pid_, -1);
  processDescriptor_ = std::move(other.processDescriptor_);
  deadline_ = other.deadline_;
  end_ = std::exchange(other.end_, End{});
  return *this;
}

SupervisedGroup::~SupervisedGroup() {
  if (pid_ > 0 && !end_) reap();
}

UniqueFd SupervisedGroup::duplicateDescriptor() const {
  if (!processDescriptor_.valid()) return UniqueFd();
  return UniqueFd(::fcntl(processDescriptor_.get(), F_DUPFD_CLOEXEC, 0));
}

void SupervisedGroup::kill() {
  if (pid_ > 0 && !end_) ::kill(-pid_, SIGKILL);
}

SupervisedGroup::End SupervisedGroup::wait(std::optional<Deadline> deadline) {
  if (end_) return *end_;
  if (!deadline || (deadline_ && *deadline_ < *deadline)) deadline = deadline_;
  int status = 0;
  bool killed = false;
  for (;;) {
    const pid_t waited = retryOnInterrupt([&] { return ::waitpid(pid_, &status, killed ? 0 : WNOHANG); });
    if (waited == pid_) break;
    if (waited < 0) {
      end_ = End{};
      return *end_;
    }
    if (passed(deadline)) {
      kill();
      killed = true;
      continue;
    }
    const auto left = deadline
                          ? std::chrono::ceil<std::chrono::milliseconds>(*deadline - std::chrono::steady_clock::now())
                          : std::chrono::milliseconds(-1);
    const int ms = left.count() < 0 ? -1 : static_cast<int>(std::min<long long>(left.count(), 1 << 30));
    if (processDescriptor_.valid()) {
      pollfd p{processDescriptor_.get(), POLLIN, 0};
      ::poll(&p, 1, ms);
    } else {
      // Kernels without process descriptors: look again shortly.
      ::usleep(static_cast<useconds_t>(ms < 0 || ms > 2 ? 2000 : ms * 1000));
    }
  }
  End end;
  if (WIFEXITED(status)) {
    end.status = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    end.signal = WTERMSIG(status);
    end.status = 128 + end.signal;
    // The supervisor kills itself with its group only when it ends the group: at the deadline too.
    end.timedOut = killed || (end.signal == SIGKILL && passed(deadline_));
  }
  end_ = end;
  return end;
}

SupervisedGroup::End SupervisedGroup::reap() {
  kill();
  return wait();
}

void stopGroup(int processDescriptor) {
  if (processDescriptor >= 0) ::syscall(SYS_pidfd_send_signal, processDescriptor, SIGTERM, nullptr, 0);
}

}  // namespace posix
