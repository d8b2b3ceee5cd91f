#include "platform/scripting/ProcessRun.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

extern char** environ;

namespace {

// Owns one descriptor; never retries close (a retried close may close someone else's).
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd(Fd&& other) noexcept : fd_(other.release()) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = other.release();
    }
    return *this;
  }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

std::string describe(const char* what, int error) { return std::string(what) + ": " + std::strerror(error); }

// Moves a descriptor that landed on 0, 1 or 2 (this process had one of them closed) above 2, so
// that setting up the child's standard streams cannot overwrite it before it is used.
bool liftAboveStandardStreams(Fd& fd) {
  if (fd.get() > 2) return true;
  int lifted = fcntl(fd.get(), F_DUPFD_CLOEXEC, 3);
  if (lifted < 0) return false;
  fd = Fd(lifted);
  return true;
}

struct Pipe {
  Fd read, write;
};

bool makePipe(Pipe& p, std::string* error) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    *error = describe("pipe2", errno);
    return false;
  }
  p.read = Fd(fds[0]);
  p.write = Fd(fds[1]);
  if (!liftAboveStandardStreams(p.read) || !liftAboveStandardStreams(p.write)) {
    *error = describe("fcntl", errno);
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
  ssize_t n;
  do {
    n = ::read(fd, buffer, bufferSize);
  } while (n < 0 && errno == EINTR);
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

}  // namespace

ProcessRun runProcess(const std::vector<std::string>& argv) {
  ProcessRun run;
  if (argv.empty()) {
    run.startError = "no command";
    return run;
  }

  Pipe out, err;
  if (!makePipe(out, &run.startError) || !makePipe(err, &run.startError)) return run;
  Fd devNull(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  if (!devNull.valid() || !liftAboveStandardStreams(devNull)) {
    run.startError = describe("open /dev/null", errno);
    return run;
  }

  SpawnSetup setup;
  posix_spawn_file_actions_adddup2(setup.actions(), devNull.get(), 0);
  posix_spawn_file_actions_adddup2(setup.actions(), out.write.get(), 1);
  posix_spawn_file_actions_adddup2(setup.actions(), err.write.get(), 2);
  // Descriptors other threads opened without O_CLOEXEC must not reach the child either.
  posix_spawn_file_actions_addclosefrom_np(setup.actions(), 3);

  // The calling thread may block signals, and the host may ignore some: the command must start
  // as any command would.
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(setup.attr(), &none);
  posix_spawnattr_setsigdefault(setup.attr(), &all);
  posix_spawnattr_setflags(setup.attr(), POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  pid_t pid = -1;
  int spawnError = posix_spawn(&pid, args[0], setup.actions(), setup.attr(), args.data(), environ);
  out.write.reset();
  err.write.reset();
  devNull.reset();
  if (spawnError != 0) {
    run.startError = describe(("posix_spawn " + argv[0]).c_str(), spawnError);
    return run;
  }
  run.started = true;

  // Worker threads have small stacks: the buffer lives on the heap.
  constexpr size_t kBufferSize = 64 * 1024;
  auto buffer = std::make_unique<char[]>(kBufferSize);
  bool outOpen = true, errOpen = true;
  while (outOpen || errOpen) {
    pollfd fds[2];
    nfds_t count = 0;
    int outIndex = -1, errIndex = -1;
    if (outOpen) {
      outIndex = static_cast<int>(count);
      fds[count++] = {out.read.get(), POLLIN, 0};
    }
    if (errOpen) {
      errIndex = static_cast<int>(count);
      fds[count++] = {err.read.get(), POLLIN, 0};
    }
    int ready = ::poll(fds, count, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      // Cannot wait on the pipes any more; stop reading and let the wait below reap the child
      // (closing our ends turns its further writes into EPIPE rather than a hang).
      break;
    }
    if (outIndex >= 0 && fds[outIndex].revents != 0) {
      collect(out.read.get(), run.standardOutput, run.outputTruncated, buffer.get(), kBufferSize, outOpen);
    }
    if (errIndex >= 0 && fds[errIndex].revents != 0) {
      collect(err.read.get(), run.standardError, run.outputTruncated, buffer.get(), kBufferSize, errOpen);
    }
  }
  out.read.reset();
  err.read.reset();

  int status = 0;
  pid_t waited;
  do {
    waited = ::waitpid(pid, &status, 0);
  } while (waited < 0 && errno == EINTR);
  if (waited != pid) {
    run.exitStatus = -1;
    run.startError = describe("waitpid", errno);
    return run;
  }
  if (WIFEXITED(status)) {
    run.exitStatus = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    run.terminatingSignal = WTERMSIG(status);
    run.exitStatus = 128 + run.terminatingSignal;
  }
  return run;
}
