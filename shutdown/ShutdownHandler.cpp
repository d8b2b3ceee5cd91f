#include "shutdown/ShutdownHandler.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/NoDestructor.h"
#include "platform/appkit/NSApplication.h"
#include "platform/appkit/NSWorkspace.h"
#include "platform/appkit/SignalSource.h"
#include "platform/foundation/NSLog.h"
#include "platform/foundation/NSTask.h"
#include "platform/macos_tools/NetworkSetupCommands.h"
#include "platform/scripting/TextEncoding.h"
#include "proxy/PrivilegedRunQueue.h"
#include "shutdown/NetworkServices.h"

namespace {

// A finished cleanup takes the record away, unless the user's desktop still shows the proxy (a
// session bus gone at log-out, a refused write): the services are off, and the record stays so that
// the next start (or the package's run at the next log-in) puts the desktop in step.
void finishRecord(proxy::ProxyRecord& record, bool desktopFollowed) {
  if (desktopFollowed) {
    record.clear();
  } else {
    NSLog("The desktop did not follow the proxies off: keeping the record for the next start");
  }
}

}  // namespace

TaskNetworkSetupRunner::TaskNetworkSetupRunner(std::string toolPath, std::chrono::milliseconds limit)
    : toolPath_(std::move(toolPath)), limit_(limit) {}

std::optional<NetworkSetupOutput> TaskNetworkSetupRunner::runCapturingOutput(
    const std::vector<std::string>& arguments) {
  NSTask task;
  NSPipe pipe;
  task.setLaunchPath(toolPath_);
  task.setArguments(arguments);
  task.setStandardOutput(pipe);
  task.setStandardError(NSFileHandle::fileHandleWithNullDevice());
  if (!runTaskWithTimeLimit(task, limit_, nullptr)) return std::nullopt;
  return NetworkSetupOutput{pipe.fileHandleForReading().readDataToEndOfFile(),
                            task.terminationReason() == NSTaskTerminationReasonUncaughtSignal};
}

bool TaskNetworkSetupRunner::run(const std::vector<std::string>& arguments) {
  NSTask task;
  NSPipe errors;
  task.setLaunchPath(toolPath_);
  task.setArguments(arguments);
  task.setStandardOutput(NSFileHandle::fileHandleWithNullDevice());
  task.setStandardError(errors);
  runTaskWithTimeLimit(task, limit_, nullptr);
  const std::string said = errors.fileHandleForReading().readDataToEndOfFile();
  return said.find(networksetup_commands::kDesktopBehind) == std::string::npos;
}

ShutdownHandler& ShutdownHandler::shared() {
  // A function-local static: the language's thread-safe one-time initialisation. Never destroyed,
  // so that no exit-time destructor can pull it from under a cleanup still running.
  static NoDestructor<ShutdownHandler> instance(Environment{
      .workspaceCenter = &NSWorkspace::sharedWorkspace().notificationCenter(),
      .defaultCenter = &NSNotificationCenter::defaultCenter(),
      .processInfo = &NSProcessInfo::processInfo(),
      .runner = std::make_shared<TaskNetworkSetupRunner>(),
      .privilegedRuns = &proxy::PrivilegedRunQueue::shared(),
      .record = &proxy::ProxyRecord::forThisApplication(),
  });
  return *instance;
}

std::unique_ptr<ShutdownHandler> ShutdownHandler::make(Environment environment) {
  return std::unique_ptr<ShutdownHandler>(new ShutdownHandler(std::move(environment)));
}

ShutdownHandler::ShutdownHandler(Environment environment) : env_(std::move(environment)) {}

ShutdownHandler::~ShutdownHandler() { unregisterNotifications(); }

void ShutdownHandler::registerNotifications() {
  if (isRegistered_) return;
  env_.workspaceCenter->addObserver(this, &ShutdownHandler::handleWillPowerOff, NSWorkspaceWillPowerOffNotification);
  env_.defaultCenter->addObserver(this, &ShutdownHandler::handleWillTerminate, NSApplicationWillTerminateNotification);
  env_.processInfo->disableSuddenTermination();
  isRegistered_ = true;
}

void ShutdownHandler::unregisterNotifications() {
  if (!isRegistered_) return;
  env_.workspaceCenter->removeObserver(this);
  env_.defaultCenter->removeObserver(this);
  env_.processInfo->enableSuddenTermination();
  isRegistered_ = false;
}

void ShutdownHandler::handleWillPowerOff(const NSNotification&) {
  cleanupSystemProxy();
  // The quit that follows a power-off cleans up again; should the power-off be called off, the
  // client can switch its proxies on again.
  if (env_.privilegedRuns != nullptr) env_.privilegedRuns->reopen();
}

void ShutdownHandler::handleWillTerminate(const NSNotification&) { cleanupSystemProxy(); }

void ShutdownHandler::cleanupSystemProxy() {
  // A run still going could switch a proxy on after the cleanup switched it off.
  if (env_.privilegedRuns != nullptr) env_.privilegedRuns->stop(proxy::kPrivilegedRunStopLimit);
  const bool followed = switchProxiesOff(env_.record != nullptr ? env_.record->read() : proxy::ProxyRecord::Reading{});
  if (env_.record != nullptr) finishRecord(*env_.record, followed);
}

bool ShutdownHandler::switchProxiesOff(const proxy::ProxyRecord::Reading& reading) {
  const Listing listing = getNetworkServices();
  std::vector<std::string> services = listing.enabled;
  // A recorded service the user disabled since keeps its states: it would come back on with them,
  // pointing at a proxy that is gone. One the listing does not show at all is not there to switch
  // (removed, its device gone), unless the listing may have missed it.
  if (reading.content) {
    for (const std::string& service : reading.content->services) {
      const bool shown = !listing.whole ||
                         std::find(listing.disabled.begin(), listing.disabled.end(), service) != listing.disabled.end();
      if (shown && std::find(services.begin(), services.end(), service) == services.end()) services.push_back(service);
    }
  }
  bool followed = true;
  for (const std::string& service : services) followed = disableProxyForService(service) && followed;
  return followed;
}

bool ShutdownHandler::recoverLeftoverProxies() {
  // The common case, nothing left behind, touches nothing on disk.
  if (env_.record == nullptr || !env_.record->read().mayBeOn()) return false;
  proxy::ProxyRecord::Lock lock = env_.record->lock();
  proxy::ProxyRecord::Reading reading = env_.record->read();
  if (!reading.mayBeOn()) return false;                                   // a guard cleaned up while this start waited
  if (reading.content && reading.content->owner.isAlive()) return false;  // a host that serves
  if (reading.content) {
    NSLog("Proxies switched on by an earlier run (process %d) were left behind: switching them off",
          static_cast<int>(reading.content->owner.pid));
  } else {
    NSLog("The record of switched-on proxies at %@ cannot be read: switching them off", env_.record->path());
  }
  finishRecord(*env_.record, switchProxiesOff(reading));
  return true;
}

bool ShutdownHandler::cleanupAfterHostEnded(const posix::ProcessIdentity& host) {
  if (env_.record == nullptr) return false;
  proxy::ProxyRecord::Lock lock = env_.record->lock();
  proxy::ProxyRecord::Reading reading = env_.record->read();
  if (!reading.mayBeOn()) return false;
  // A readable record is only ever replaced whole, so an unreadable one is no live host's.
  if (reading.content && !(reading.content->owner == host)) return false;
  NSLog("The host (process %d) ended with proxies on: switching them off", static_cast<int>(host.pid));
  switchProxiesOff(reading);
  // The record stays, naming an owner that is gone: the next start cleans up once more. This
  // cleanup ran without the host, maybe as its session went (a log-out's unreachable desktop),
  // and a run at the next start lets whatever it could not finish catch up.
  return true;
}

ShutdownHandler::Listing ShutdownHandler::getNetworkServices() {
  std::optional<NetworkSetupOutput> output =
      env_.runner->runCapturingOutput({std::string(networksetup_commands::kListAllNetworkServices)});
  if (!output || !dataUsingUTF8Encoding(output->standardOutput)) return {fallbackNetworkServices(), {}, false};
  Listing listing{parseNetworkServices(output->standardOutput), parseDisabledNetworkServices(output->standardOutput),
                  !output->cutShort};
  std::vector<std::string>& services = listing.enabled;
  // A listing cut short may lack any service after the point where it stopped. What it did print
  // is real (also names the fallback lacks), and the fallback adds the common services it may
  // have missed: switching off a service that is not there is harmless, skipping one is not.
  if (output->cutShort) {
    for (const char* name : kFallbackNetworkServiceNames) {
      if (std::find(services.begin(), services.end(), name) == services.end()) services.emplace_back(name);
    }
  }
  return listing;
}

bool ShutdownHandler::disableProxyForService(const std::string& service) {
  bool followed = true;
  for (std::string_view setting : networksetup_commands::kProxyStateSettings) {
    followed = env_.runner->run({std::string(setting), service, "off"}) && followed;
  }
  return followed;
}

// SIGTERM. The cleanup runs on a thread of its own, outside signal context, so it may allocate,
// spawn and wait, and never waits for the main thread. That thread handles one SIGTERM only: a
// second one while the first is handled is never acted on. The main thread may be anywhere
// meanwhile, even in a cleanup of its own; the two cleanups share no lock (each run is its own
// child), so neither can wait for the other.
//
// The process then ends with _exit(0) after flushing stdio rather than exit(0): exit would run the
// static destructors while the main thread may still be using what they destroy (the application
// loop, a cleanup in progress), which can crash or hang the exit. Nothing in this process has
// exit-time work that matters once the proxies are off.
void ShutdownHandler::installSigtermHandler() {
  static std::once_flag once;
  std::call_once(once, [] {
    appkit::handleSignal(SIGTERM, appkit::SignalThread::own, [] {
      ShutdownHandler::shared().cleanupSystemProxy();
      std::fflush(nullptr);
      ::_exit(0);
    });
  });
}
