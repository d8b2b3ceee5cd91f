#include "shutdown/ProxyGuard.h"

#include <fcntl.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <thread>

#include "platform/darwin/DarwinProcess.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSLog.h"
#include "platform/foundation/NSTask.h"
#include "platform/posix/Expected.h"
#include "platform/posix/Signals.h"
#include "platform/posix/UniqueFd.h"
#include "proxy/ProxyRecord.h"
#include "shutdown/ShutdownHandler.h"

namespace {

constexpr const char* kGuardExecutableName = "proxyhost-guard";
// The guard only needs to open a descriptor and fork before it reports; a start slower than this
// is a machine in trouble, and the host goes on without a guard rather than hang its launch.
constexpr std::chrono::milliseconds kGuardStartLimit{10000};

// After a failed start the host tries again this often; a guard that ends is replaced at once.
constexpr std::chrono::milliseconds kGuardRetryInterval{1000};

int guardLog(const char* what) {
  std::fprintf(stderr, "proxyhost-guard: %s\n", what);
  return 1;
}

// A guard that watches the host, as the host watches it.
struct RunningGuard {
  posix::ProcessIdentity identity;
  darwin::ProcessExitWatch watch;
};

// Starts a guard and waits until it watches the host; why not when none does.
posix::Expected<RunningGuard> launchGuard(const std::string& executable) {
  NSTask task;
  NSPipe report;
  task.setLaunchPath(executable);
  task.setArguments({std::to_string(::getpid())});
  task.setStandardOutput(report);
  // The guard's lines go where the host's own go.
  task.setStandardError(NSFileHandle::fileHandleWithStandardError());
  std::optional<NSError> startError;
  runTaskWithTimeLimit(task, kGuardStartLimit, &startError);
  if (startError) return posix::Error("cannot start " + executable + ": " + startError->localizedDescription());
  if (task.terminationStatus() != 0) {
    return posix::Error(executable + " ended with status " + std::to_string(task.terminationStatus()));
  }
  // The guard proper's identity, on one line.
  const std::string text = report.fileHandleForReading().readDataToEndOfFile();
  std::optional<posix::ProcessIdentity> reported =
      text.ends_with('\n') ? posix::ProcessIdentity::fromText(std::string_view(text).substr(0, text.size() - 1))
                           : std::nullopt;
  if (!reported) return posix::Error(executable + " did not say which process guards");
  const posix::ProcessIdentity identity = *reported;
  const pid_t pid = identity.pid;
  auto watch = darwin::ProcessExitWatch::watch(pid);
  // The guard is no child of the host: the watch is on it only if, once made, the pid still
  // names the process that started then.
  if (!watch || !identity.isAlive()) {
    return posix::Error("the guard (process " + std::to_string(pid) + ") ended as it started");
  }
  return RunningGuard{identity, std::move(*watch)};
}

// The host's side of the mutual watch: a guard that ends (killed, crashed) is replaced at once,
// and a start that fails is tried again every kGuardRetryInterval. A stopped guard has not ended.
void keepGuarded(const std::string& executable, RunningGuard guard) {
  for (;;) {
    // Only an ended guard counts: a watch that gave up on an error must not pass for one.
    while (!guard.watch.waitUntilExit() && guard.identity.isAlive()) std::this_thread::sleep_for(kGuardRetryInterval);
    NSLog("The proxy guard (process %d) ended: starting another", static_cast<int>(guard.identity.pid));
    posix::Expected<RunningGuard> next = launchGuard(executable);
    if (!next) NSLog("No proxy guard: %@; trying again every second", next.error().message());
    while (!next) {
      std::this_thread::sleep_for(kGuardRetryInterval);
      next = launchGuard(executable);
    }
    guard = std::move(*next);
  }
}

}  // namespace

std::string ProxyGuard::guardExecutablePath() {
  return NSBundle::mainBundle().bundlePath() + "/Contents/MacOS/" + kGuardExecutableName;
}

bool ProxyGuard::start(const std::string& executable) {
  posix::Expected<RunningGuard> guard = launchGuard(executable);
  if (!guard) {
    NSLog("No proxy guard: %@", guard.error().message());
    return false;
  }
  // The watch takes no signals: the main thread takes them.
  posix::ServiceThreadSignals blocked;
  std::thread(keepGuarded, executable, std::move(*guard)).detach();
  return true;
}

int ProxyGuard::runGuard(int argc, char* argv[]) {
  if (argc != 2) return guardLog("usage: proxyhost-guard HOST_PID (the host starts it)");
  std::string_view text(argv[1]);
  pid_t host = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), host);
  if (ec != std::errc() || end != text.data() + text.size() || host <= 1) return guardLog("not a process id");

  auto watch = darwin::ProcessExitWatch::watch(host);
  // Started by the host itself: the watch is on the host only while the host is still our parent
  // (a pid alone could by now name another process).
  if (!watch || ::getppid() != host) return guardLog("the host is not this process's parent");
  // The host waits for this process, so it cannot have ended yet: its start time is its own.
  auto identity = posix::ProcessIdentity::of(host);
  if (!identity) return guardLog("the host's start time cannot be read");

  pid_t guard = ::fork();
  if (guard < 0) return guardLog(std::strerror(errno));
  if (guard > 0) {
    // The host waits for this one and then watches the child, which guards: it needs to know
    // which process that is, told apart from a later one with its pid.
    auto guardIdentity = posix::ProcessIdentity::of(guard);
    if (!guardIdentity) return guardLog("the guard ended as it started");
    return posix::writeAll(STDOUT_FILENO, guardIdentity->text() + "\n") ? 0 : guardLog(std::strerror(errno));
  }

  ::setsid();
  if (const posix::UniqueFd devNull(::open("/dev/null", O_RDWR | O_CLOEXEC)); devNull.valid()) {
    ::dup2(devNull.get(), STDIN_FILENO);
    ::dup2(devNull.get(), STDOUT_FILENO);
  }
  // Only an ended host counts: a watch that gave up on an error must not pass for one.
  while (!watch->waitUntilExit() || identity->isAlive()) ::usleep(100000);

  auto handler = ShutdownHandler::make(ShutdownHandler::Environment{
      .runner = std::make_shared<TaskNetworkSetupRunner>(),
      .record = &proxy::ProxyRecord::forThisApplication(),
  });
  handler->cleanupAfterHostEnded(*identity);
  return 0;
}
