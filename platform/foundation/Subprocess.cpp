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
  posix::Expected<posix::Pipe> made = posix::openPipe();
  if (!made) {
    result.startErrno = made.error().code();
    result.startError = describe("pipe", result.startErrno);
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

}  // namespace

int Subprocess::duplicateProcessDescriptor() const {
  if (finished_ || !group_) return -1;
  return group_->duplicateDescriptor().release();
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
  std::optional<posix::SupervisedGroup> group;
  pid_t pid = -1;
  int spawnError = 0;
  if (contained) {
    // The member calls only async-signal-safe functions: this process may have other threads.
    char* const* argv = args.data();
    posix::Expected<posix::SupervisedGroup> started = posix::SupervisedGroup::start(
        [&] {
          ::dup2(childIn, 0);
          ::dup2(childOut, 1);
          if (!inheritErr) ::dup2(childErr, 2);
          ::syscall(SYS_close_range, 3, ~0U, 0);
          ::execve(path, argv, environ);
          return 127;  // a command that cannot be executed ends so, as a shell's would
        },
        {.deadline = options.timeLimit ? std::optional(startedAt + *options.timeLimit) : std::nullopt});
    if (started) {
      group = std::move(*started);
      pid = group->pid();
    } else {
      spawnError = started.error().code();
    }
  } else {
    pid = spawnPlain(path, args.data(), childIn, childOut, childErr, inheritErr);
    if (pid < 0) spawnError = errno;
  }
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
  child.group_ = std::move(group);
  child.outFd_ = std::move(out.read);
  child.errFd_ = std::move(err.read);
  if (options.timeLimit) child.deadline_ = startedAt + *options.timeLimit;
  child.finished_ = false;
  return std::optional<Subprocess>(std::move(child));
}

Subprocess::Subprocess(Subprocess&& other) noexcept
    : pid_(other.pid_),
      group_(std::move(other.group_)),
      outFd_(std::move(other.outFd_)),
      errFd_(std::move(other.errFd_)),
      deadline_(other.deadline_),
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
  group_ = std::move(other.group_);
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
      if (group_) {
        group_->kill();
      } else {
        ::kill(pid_, SIGKILL);
      }
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

  if (group_) {
    if (killed) group_->kill();
    const posix::SupervisedGroup::End end = group_->wait(deadline_);
    group_.reset();
    result.timedOut = killed || end.timedOut;
    result.exitStatus = end.status;
    result.terminatingSignal = end.signal;
    return;
  }
  int status = 0;
  if (!killed && !reapBefore(pid_, deadline_, status)) {
    if (!passed(deadline_)) {
      result.exitStatus = -1;
      result.startError = describe("waitpid", errno);
      return;
    }
    ::kill(pid_, SIGKILL);
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
