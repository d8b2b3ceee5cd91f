#include "shutdown/ProxyGuard.h"

#include <fcntl.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "platform/darwin/DarwinProcess.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSLog.h"
#include "platform/foundation/NSTask.h"
#include "proxy/ProxyRecord.h"
#include "shutdown/ShutdownHandler.h"

namespace {

constexpr const char* kGuardExecutableName = "proxyhost-guard";
// The guard only needs to open a descriptor and fork before it reports; a start slower than this
// is a machine in trouble, and the host goes on without a guard rather than hang its launch.
constexpr std::chrono::milliseconds kGuardStartLimit{10000};

int guardLog(const char* what) {
  std::fprintf(stderr, "proxyhost-guard: %s\n", what);
  return 1;
}

}  // namespace

std::string ProxyGuard::guardExecutablePath() {
  return NSBundle::mainBundle().bundlePath() + "/Contents/MacOS/" + kGuardExecutableName;
}

bool ProxyGuard::start(const std::string& executable) {
  NSTask task;
  task.setLaunchPath(executable);
  task.setArguments({std::to_string(::getpid())});
  task.setStandardOutput(NSFileHandle::fileHandleWithNullDevice());
  // The guard's lines go where the host's own go.
  task.setStandardError(NSFileHandle::fileHandleWithStandardError());
  std::optional<NSError> error;
  runTaskWithTimeLimit(task, kGuardStartLimit, &error);
  if (error) {
    NSLog("No proxy guard: cannot start %@: %@", executable, error->localizedDescription());
    return false;
  }
  if (task.terminationStatus() != 0) {
    NSLog("No proxy guard: %@ ended with status %d", executable, task.terminationStatus());
    return false;
  }
  return true;
}

int ProxyGuard::runGuard(int argc, char* argv[]) {
  if (argc != 2) return guardLog("usage: proxyhost-guard HOST_PID (the host starts it)");
  std::string_view text(argv[1]);
  pid_t host = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), host);
  if (ec != std::errc() || end != text.data() + text.size() || host <= 1) return guardLog("not a process id");

  int error = 0;
  auto watch = darwin::ProcessExitWatch::watch(host, &error);
  // Started by the host itself: the watch is on the host only while the host is still our parent
  // (a pid alone could by now name another process).
  if (!watch || ::getppid() != host) return guardLog("the host is not this process's parent");
  // The host waits for this process, so it cannot have ended yet: its start time is its own.
  auto identity = proxy::ProcessIdentity::of(host);
  if (!identity) return guardLog("the host's start time cannot be read");

  pid_t guard = ::fork();
  if (guard < 0) return guardLog(std::strerror(errno));
  if (guard > 0) return 0;  // the host waits for this one; the child guards

  ::setsid();
  int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (devNull >= 0) {
    ::dup2(devNull, STDIN_FILENO);
    ::dup2(devNull, STDOUT_FILENO);
    ::close(devNull);
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
