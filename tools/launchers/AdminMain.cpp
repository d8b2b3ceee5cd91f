// proxyhost-admin MARKER: the privileged helper. pkexec starts it as root once the user has
// authorized the product's action; it reads the shell command from standard input, lays the macOS
// tool view as root, becomes the user pkexec names (PKEXEC_UID) for good, runs the command with
// /bin/sh as that user, and, as its last act, writes "MARKER STATUS" on standard error, so the host
// can tell the command's status from pkexec's own 126 and 127.
//
// It trusts nothing from its caller but the command, which the user's authorization is for: the
// environment is replaced with the user's session variables and PKEXEC_UID, the tools are those
// beside this file, and it refuses to run unless pkexec started it. The command's run ends with
// the caller (the process that started pkexec). Never installed setuid.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/macos_tools/MacOSTools.h"
#include "platform/macos_tools/ToolView.h"
#include "platform/posix/Files.h"
#include "platform/posix/ProcessGroup.h"
#include "platform/posix/UniqueFd.h"
#include "platform/posix/User.h"
#include "platform/scripting/ShellCommand.h"

namespace {

// More than any script of the product; a bound, so a runaway writer cannot fill root's memory.
constexpr size_t kLongestCommand = 64 * 1024 * 1024;
constexpr int kRefused = 2;

int refuse(const std::string& why) {
  std::fprintf(stderr, "proxyhost-admin: %s; nothing was run.\n", why.c_str());
  return kRefused;
}

bool isMarker(const char* text) {
  if (text == nullptr || *text == '\0' || std::strlen(text) > 128) return false;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c <= ' ' || *c > '~') return false;
  }
  return true;
}

posix::Expected<std::string> readCommand() {
  std::string command;
  char buffer[65536];
  for (;;) {
    const ssize_t n = posix::retryOnInterrupt([&] { return ::read(STDIN_FILENO, buffer, sizeof buffer); });
    if (n < 0) return posix::Error(std::string("cannot read the command from standard input: ") + std::strerror(errno));
    if (n == 0) return command;
    command.append(buffer, static_cast<size_t>(n));
    if (command.size() > kLongestCommand) return posix::Error("the command on standard input is longer than 64 MiB");
  }
}

// The caller, as this helper can still see it once pkexec has closed every descriptor above 2: its
// process (pkexec became this helper, so the process that started pkexec) and, when standard input
// is a socket (as the host gives it), the socket's other end, which the caller holds for as long as
// the run may go on and closes, or shuts down, to end it.
struct Caller {
  posix::UniqueFd process;
  posix::UniqueFd socket;

  static Caller watch() {
    Caller caller;
    caller.process = posix::openProcessDescriptor(::getppid());
    struct stat input {};
    if (::fstat(STDIN_FILENO, &input) == 0 && S_ISSOCK(input.st_mode)) {
      caller.socket = posix::UniqueFd(::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3));
    }
    return caller;
  }

  // Whether the caller is still there to take the run's answer.
  bool present() const {
    if (::getppid() == 1) return false;
    pollfd fds[2] = {{process.get(), POLLIN, 0}, {socket.get(), 0, 0}};
    return ::poll(fds, 2, 0) == 0;
  }
};

// Runs the shell in a supervised process group of its own and waits for it. The group ends with
// its caller (a parent-death signal would not cross from the caller's user to root, nor tell a
// caller that shuts its socket down) and with this helper: a SIGTERM, SIGINT or SIGHUP ends the
// helper, and the supervisor the group.
int runShell(const std::vector<std::string>& argv, const Caller& caller) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix::Expected<posix::SupervisedGroup> group = posix::SupervisedGroup::start(
      [&] {
        ::execv(args[0], args.data());
        return 127;
      },
      {.deadline = std::nullopt, .ownerProcess = caller.process.get(), .ownerHangUp = caller.socket.get()});
  if (!group) {
    std::fprintf(stderr, "proxyhost-admin: %s\n", group.error().message().c_str());
    return 126;
  }
  return group->wait().status;
}

// Holds the lock file's shared lock while it lives (nothing when there is none to hold): a cleanup
// takes the same lock exclusively and so waits until no run is left.
posix::Expected<posix::UniqueFd> holdRunLock(const char* path) {
  if (path == nullptr) return posix::UniqueFd();
  // As the user, not through a link, never blocking on a FIFO put in its place.
  posix::UniqueFd lock(::open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600));
  // No folder for it: nothing was ever recorded there, so no cleanup can be waiting on it.
  if (!lock.valid() && errno == ENOENT) return posix::UniqueFd();
  if (!lock.valid()) return posix::Error(std::string("cannot open the lock ") + path + ": " + std::strerror(errno));
  if (posix::retryOnInterrupt([&] { return ::flock(lock.get(), LOCK_SH | LOCK_NB); }) != 0) {
    return posix::Error("the proxies are being switched off");
  }
  return lock;
}

}  // namespace

int main(int argc, char** argv) {
  // pkexec runs its program with real and effective uid 0 and says whose authorization it was.
  const char* caller = std::getenv("PKEXEC_UID");
  const std::optional<uid_t> user = posix::parseUid(caller);
  if (::getuid() != 0 || ::geteuid() != 0 || !user) {
    return refuse(
        "this helper runs the proxy client's administrator commands as root and only pkexec may start "
        "it (uid " +
        std::to_string(::getuid()) + ", PKEXEC_UID " + (caller ? caller : "unset") + ")");
  }
  if (argc < 2 || argc > 3 || !isMarker(argv[1])) {
    return refuse("usage: pkexec proxyhost-admin MARKER [LOCK] < COMMAND");
  }
  const Caller callerWatch = Caller::watch();
  const posix::Expected<std::string> command = readCommand();
  if (!command) return refuse(command.error().message());
  if (command->empty()) return refuse("no command was given on standard input");
  // No command line can carry a NUL; the shell would run the text before it, or all of it.
  if (command->find('\0') != std::string::npos) return refuse("the command holds a NUL byte");

  const std::string callerUid = caller;
  ::clearenv();
  ::setenv("PATH", "/usr/sbin:/usr/bin:/sbin:/bin", 1);
  ::setenv("PKEXEC_UID", callerUid.c_str(), 1);

  const std::optional<std::string> folder = macos_tools::toolFolder();
  if (!folder) return refuse("the macOS tools are not installed beside this helper");
  if (!macos_tools::toolViewInPlace(*folder)) {
    if (auto entered = macos_tools::enterToolView(*folder); !entered) {
      return refuse("the command cannot see the macOS tools: " + entered.error().message());
    }
  }
  // Laying the view was the only thing that needed root. networksetup acts for this user anyway,
  // and writes only the user's own state and desktop: the command gets exactly the user's rights.
  if (auto became = posix::becomeUser(*user); !became) {
    return refuse("cannot become uid " + callerUid + ": " + became.error().message());
  }
  // A long command is read by the shell through /proc/<this pid>/fd; the change of user made this
  // process undumpable, which would shut the user's own shell out of it.
  ::prctl(PR_SET_DUMPABLE, 1, 0, 0, 0);

  const posix::Expected<posix::UniqueFd> runLock = holdRunLock(argc == 3 ? argv[2] : nullptr);
  if (!runLock) return refuse(runLock.error().message());
  // A prompt may be answered long after it was asked: a command whose caller has gone (a client
  // that ended, and whose cleanup may already have switched everything off) must not run. From here
  // on the run's supervisor watches the caller the same way.
  if (!callerWatch.present()) return refuse("the proxy client that asked for this command has gone");

  // The shell reads /dev/null, as any "do shell script" command does.
  const posix::UniqueFd devNull(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  if (!devNull.valid() || ::dup2(devNull.get(), STDIN_FILENO) < 0) return refuse("cannot open /dev/null");

  const ShellCommand shell(*command);
  if (shell.arguments().empty()) return refuse(shell.startError());
  std::vector<std::string> shellArgv{"/bin/sh"};
  shellArgv.insert(shellArgv.end(), shell.arguments().begin(), shell.arguments().end());
  const int status = runShell(shellArgv, callerWatch);
  std::fprintf(stderr, "%s %d\n", argv[1], status);
  return status;
}
