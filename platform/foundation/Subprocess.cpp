#include "platform/foundation/Subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/posix/UniqueFd.h"

extern char** environ;

namespace {

using posix::retryOnInterrupt;
using Fd = posix::UniqueFd;

std::string describe(const std::string& what, int error) { return what + ": " + std::strerror(error); }

// Moves a descriptor that landed on 0, 1 or 2 (this process had one of them closed) above 2, so
// that setting up the child's standard streams cannot overwrite it before it is used.
bool liftAboveStandardStreams(Fd& fd) {
  if (fd.get() > 2) return true;
  int lifted = fcntl(fd.get(), F_DUPFD_CLOEXEC, 3);
  if (lifted < 0) return false;
  fd = Fd(lifted);
  return true;
}

bool makePipe(posix::Pipe& p, SubprocessResult& result) {
  std::optional<posix::Pipe> made = posix::openPipe();
  if (!made) {
    result.startErrno = errno;
    result.startError = describe("pipe", errno);
    return false;
  }
  p = std::move(*made);
  if (!liftAboveStandardStreams(p.read) || !liftAboveStandardStreams(p.write)) {
    result.startErrno = errno;
    result.startError = describe("fcntl", errno);
    return false;
  }
  return true;
}

class SpawnSetup {
 public:
  SpawnSetup() {
    posix_spawn_file_actions_init(&actions_);
    posix_spawnattr_init(&attr_);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions_);
    posix_spawnattr_destroy(&attr_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
  posix_spawn_file_actions_t* actions() { return &actions_; }
  posix_spawnattr_t* attr() { return &attr_; }

 private:
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attr_;
};

void collect(int fd, std::string& into, bool& truncated, char* buffer, size_t bufferSize, bool& open) {
  const ssize_t n = retryOnInterrupt([&] { return ::read(fd, buffer, bufferSize); });
  if (n <= 0) {
    // EOF, or an error that will not go away: either way nothing more comes from this stream.
    open = false;
    return;
  }
  size_t room = into.size() < kMaxRetainedOutput ? kMaxRetainedOutput - into.size() : 0;
  size_t keep = static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room;
  into.append(buffer, keep);
  if (keep < static_cast<size_t>(n)) truncated = true;
}

// Milliseconds left for poll: -1 without a deadline, never negative with one.
int remainingMs(const std::optional<std::chrono::steady_clock::time_point>& deadline) {
  if (!deadline) return -1;
  auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - std::chrono::steady_clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

bool passed(const std::optional<std::chrono::steady_clock::time_point>& deadline) {
  return deadline && std::chrono::steady_clock::now() >= *deadline;
}

// Waits for `pid` to end until the deadline; true with `status` once it has been reaped.
bool reapBefore(pid_t pid, const std::optional<std::chrono::steady_clock::time_point>& deadline, int& status) {
  if (!deadline) return retryOnInterrupt([&] { return ::waitpid(pid, &status, 0); }) == pid;
  // A process descriptor lets poll sleep until the exit or the deadline, whichever comes first.
  const Fd pidFd = posix::openProcessDescriptor(pid);
  for (;;) {
    const pid_t waited = retryOnInterrupt([&] { return ::waitpid(pid, &status, WNOHANG); });
    if (waited == pid) return true;
    if (waited < 0) return false;
    if (passed(deadline)) return false;
    if (pidFd.valid()) {
      pollfd p{pidFd.get(), POLLIN, 0};
      ::poll(&p, 1, remainingMs(deadline));
    } else {
      // Kernels without process descriptors: look again shortly.
      int ms = remainingMs(deadline);
      ::usleep(static_cast<useconds_t>((ms < 2 ? ms : 2) * 1000));
    }
  }
}

// Starts `argv` with posix_spawn: standard input `in`, output `out`, error `errFd` (or this
// process's own when `inheritErr`), no other descriptor, and every signal unblocked at its
// default action. Returns the child's pid, or -1 with errno.
pid_t spawnPlain(const char* path, char* const argv[], int in, int out, int errFd, bool inheritErr) {
  SpawnSetup setup;
  posix_spawn_file_actions_adddup2(setup.actions(), in, 0);
  posix_spawn_file_actions_adddup2(setup.actions(), out, 1);
  if (!inheritErr) posix_spawn_file_actions_adddup2(setup.actions(), errFd, 2);
  // Descriptors other threads opened without O_CLOEXEC must not reach the child either.
  posix_spawn_file_actions_addclosefrom_np(setup.actions(), 3);

  // The calling thread may block signals, and the host may ignore some (or catch them, as its
  // SIGTERM handling does): the command must start as any command would.
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(setup.attr(), &none);
  posix_spawnattr_setsigdefault(setup.attr(), &all);
  posix_spawnattr_setflags(setup.attr(), POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  pid_t pid = -1;
  if (const int error = posix_spawn(&pid, path, setup.actions(), setup.attr(), argv, environ); error != 0) {
    errno = error;
    return -1;
  }
  return pid;
}

// For the forks below, which may call only async-signal-safe functions. The mask is set by the raw
// system call, which no sanitizer's interceptor stands in front of.
void setSignalMask(const sigset_t& mask) { ::syscall(SYS_rt_sigprocmask, SIG_SETMASK, &mask, nullptr, _NSIG / 8); }

// Gives the signals `first` to `last` back their default action, then unblocks every signal.
void restoreDefaultSignals(int first, int last) {
  struct sigaction standard {};
  standard.sa_handler = SIG_DFL;
  sigemptyset(&standard.sa_mask);
  for (int sig = first; sig <= last; ++sig) ::sigaction(sig, &standard, nullptr);
  sigset_t none;
  sigemptyset(&none);
  setSignalMask(none);
}

// fork, not posix_spawn: the supervisor must run code of its own between fork and exec. Both the
// supervisor and the command's child call only async-signal-safe functions, as a fork of a
// threaded process must, and the supervisor takes its signals with sigtimedwait rather than a
// handler, so nothing (a sanitizer's deferred delivery included) can hold its reaction back.
// Returns the supervisor's pid, or -1 with errno.
pid_t spawnContained(const char* path, char* const argv[], int in, int commandIn, int out, int errFd, bool inheritErr) {
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid != 0) return pid;

  ::setpgid(0, 0);
  // SIGTERM (the parent's death, or terminateGroup) and SIGCHLD (the command ended) are only
  // ever waited for; blocked from before the command exists, neither can be missed.
  sigset_t waited;
  sigemptyset(&waited);
  sigaddset(&waited, SIGTERM);
  sigaddset(&waited, SIGCHLD);
  setSignalMask(waited);
  if (::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || ::getppid() != parent) ::_exit(127);

  const pid_t command = ::fork();
  if (command == 0) {
    ::prctl(PR_SET_PDEATHSIG, 0);
    restoreDefaultSignals(1, NSIG - 1);
    ::dup2(commandIn, 0);
    ::dup2(out, 1);
    if (!inheritErr) ::dup2(errFd, 2);
    ::syscall(SYS_close_range, 3, ~0U, 0);
    ::execve(path, argv, environ);
    ::_exit(127);
  }
  // The supervisor keeps no stream of the command open, so the pipes end when the command's do.
  ::dup2(in, 1);
  ::dup2(in, 2);
  ::syscall(SYS_close_range, 3, ~0U, 0);
  if (command < 0) ::_exit(127);
  int status = 0;
  for (;;) {
    const pid_t done = ::waitpid(command, &status, WNOHANG);
    if (done == command) break;
    if (done < 0 && errno != EINTR) ::_exit(127);
    siginfo_t info;
    if (::syscall(SYS_rt_sigtimedwait, &waited, &info, nullptr, _NSIG / 8) == SIGTERM) {
      ::kill(0, SIGKILL);  // the whole group, this supervisor last
    }
  }
  if (WIFEXITED(status)) ::_exit(WEXITSTATUS(status));
  // Ends as the command did, by the same signal.
  const int sig = WTERMSIG(status);
  restoreDefaultSignals(sig, sig);
  ::kill(::getpid(), sig);
  ::_exit(128 + sig);
}

}  // namespace

void terminateGroup(int processDescriptor) {
  if (processDescriptor >= 0) ::syscall(SYS_pidfd_send_signal, processDescriptor, SIGTERM, nullptr, 0);
}

int Subprocess::duplicateProcessDescriptor() const {
  if (pid_ <= 0 || finished_) return -1;
  return posix::openProcessDescriptor(pid_).release();
}

std::optional<Subprocess> Subprocess::start(const SubprocessOptions& options, SubprocessResult& result) {
  result = SubprocessResult{};
  if (options.argv.empty()) {
    result.startErrno = EINVAL;
    result.startError = "no command";
    return std::nullopt;
  }
  bool pipeOut = options.standardOutput == SubprocessStream::pipe;
  bool pipeErr = options.standardError == SubprocessStream::pipe;

  posix::Pipe out, err;
  if (pipeOut && !makePipe(out, result)) return std::nullopt;
  if (pipeErr && !makePipe(err, result)) return std::nullopt;
  Fd devNull(::open("/dev/null", O_RDWR | O_CLOEXEC));
  if (!devNull.valid() || !liftAboveStandardStreams(devNull)) {
    result.startErrno = errno;
    result.startError = describe("open /dev/null", errno);
    return std::nullopt;
  }

  std::vector<char*> args;
  args.reserve(options.argv.size() + 1);
  for (const auto& a : options.argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  const int childOut = pipeOut ? out.write.get() : devNull.get();
  const int childErr = pipeErr ? err.write.get() : devNull.get();
  const bool inheritErr = options.standardError == SubprocessStream::inherit;
  const bool contained = options.containment == SubprocessContainment::processGroupEndingWithParent;
  auto startedAt = std::chrono::steady_clock::now();
  const int childIn = options.standardInput >= 0 ? options.standardInput : devNull.get();
  const char* path = options.executable.empty() ? args[0] : options.executable.c_str();
  const pid_t pid = contained ? spawnContained(path, args.data(), devNull.get(), childIn, childOut, childErr, inheritErr)
                              : spawnPlain(path, args.data(), childIn, childOut, childErr, inheritErr);
  const int spawnError = pid < 0 ? errno : 0;
  out.write.reset();
  err.write.reset();
  devNull.reset();
  if (spawnError != 0) {
    result.startErrno = spawnError;
    result.startError = describe((contained ? "fork " : "posix_spawn ") + options.argv[0], spawnError);
    return std::nullopt;
  }
  result.started = true;

  Subprocess child;
  child.pid_ = pid;
  child.killTarget_ = contained ? -pid : pid;
  child.outFd_ = std::move(out.read);
  child.errFd_ = std::move(err.read);
  if (options.timeLimit) child.deadline_ = startedAt + *options.timeLimit;
  child.finished_ = false;
  return std::optional<Subprocess>(std::move(child));
}

Subprocess::Subprocess(Subprocess&& other) noexcept
    : pid_(other.pid_), killTarget_(other.killTarget_), outFd_(std::move(other.outFd_)), errFd_(std::move(other.errFd_)), deadline_(other.deadline_),
      finished_(other.finished_) {
  other.pid_ = -1;
  other.finished_ = true;
}

Subprocess& Subprocess::operator=(Subprocess&& other) noexcept {
  if (this == &other) return *this;
  if (!finished_) {
    SubprocessResult ignored;
    finish(ignored);
  }
  pid_ = other.pid_;
  killTarget_ = other.killTarget_;
  outFd_ = std::move(other.outFd_);
  errFd_ = std::move(other.errFd_);
  deadline_ = other.deadline_;
  finished_ = other.finished_;
  other.pid_ = -1;
  other.finished_ = true;
  return *this;
}

Subprocess::~Subprocess() {
  if (!finished_) {
    SubprocessResult ignored;
    finish(ignored);
  }
}

void Subprocess::finish(SubprocessResult& result) {
  if (finished_) return;
  finished_ = true;
  Fd out(std::move(outFd_)), err(std::move(errFd_));

  // Worker threads have small stacks: the buffer lives on the heap.
  constexpr size_t kBufferSize = 64 * 1024;
  auto buffer = std::make_unique<char[]>(kBufferSize);
  bool outOpen = out.valid(), errOpen = err.valid();
  bool killed = false;
  while ((outOpen || errOpen) && !killed) {
    pollfd fds[2];
    nfds_t count = 0;
    int outIndex = -1, errIndex = -1;
    if (outOpen) {
      outIndex = static_cast<int>(count);
      fds[count++] = {out.get(), POLLIN, 0};
    }
    if (errOpen) {
      errIndex = static_cast<int>(count);
      fds[count++] = {err.get(), POLLIN, 0};
    }
    const int ready = retryOnInterrupt([&] { return ::poll(fds, count, remainingMs(deadline_)); });
    if (ready < 0) {
      // Cannot wait on the pipes any more; stop reading and let the wait below reap the child
      // (closing our ends turns its further writes into EPIPE rather than a hang).
      break;
    }
    if (ready == 0 && passed(deadline_)) {
      ::kill(killTarget_, SIGKILL);
      killed = true;
      break;
    }
    if (outIndex >= 0 && fds[outIndex].revents != 0) {
      collect(out.get(), result.standardOutput, result.outputTruncated, buffer.get(), kBufferSize, outOpen);
    }
    if (errIndex >= 0 && fds[errIndex].revents != 0) {
      collect(err.get(), result.standardError, result.outputTruncated, buffer.get(), kBufferSize, errOpen);
    }
  }
  out.reset();
  err.reset();

  int status = 0;
  if (!killed && !reapBefore(pid_, deadline_, status)) {
    if (!passed(deadline_)) {
      result.exitStatus = -1;
      result.startError = describe("waitpid", errno);
      return;
    }
    ::kill(killTarget_, SIGKILL);
    killed = true;
  }
  if (killed) {
    result.timedOut = true;
    retryOnInterrupt([&] { return ::waitpid(pid_, &status, 0); });
  }
  if (WIFEXITED(status)) {
    result.exitStatus = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.terminatingSignal = WTERMSIG(status);
    result.exitStatus = 128 + result.terminatingSignal;
  }
}

SubprocessResult runSubprocess(const SubprocessOptions& options) {
  SubprocessResult result;
  std::optional<Subprocess> child = Subprocess::start(options, result);
  if (child) child->finish(result);
  return result;
}
