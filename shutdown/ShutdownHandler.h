// Switches the web, secure web and SOCKS proxy states of every enabled network service off when
// the application ends: at power-off, at termination through the platform, and at SIGTERM.
//
//   ShutdownHandler::shared().registerNotifications();   // end of launching
//   ShutdownHandler::installSigtermHandler();
//   ShutdownHandler::shared().cleanupSystemProxy();      // will terminate
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/NoDestructor.h"
#include "platform/foundation/NSNotificationCenter.h"
#include "platform/foundation/NSProcessInfo.h"
#include "platform/macos_tools/NetworkSetupCommands.h"
#include "proxy/ProxyRecord.h"

namespace proxy {
class PrivilegedRunQueue;
}

// What a run printed, and whether it was cut short (killed at the bound, or by a signal) and so
// may have printed only part of what it had to say.
struct NetworkSetupOutput {
  std::string standardOutput;
  bool cutShort = false;
};

// How the handler runs networksetup; tests put a double here.
class NetworkSetupRunner {
 public:
  virtual ~NetworkSetupRunner() = default;
  // What the run printed, or nothing when the tool could not be started.
  virtual std::optional<NetworkSetupOutput> runCapturingOutput(const std::vector<std::string>& arguments) = 0;
  // Runs to the end; failures are dropped. False when the run said that a desktop store of the user
  // did not follow (networksetup_commands::kDesktopBehind), so what it left is not forgotten.
  virtual bool run(const std::vector<std::string>& arguments) = 0;
};

// A hung tool must not hold quit, logout or SIGTERM forever: a run still going after this is
// killed and the cleanup goes on with the next one.
inline constexpr std::chrono::milliseconds kNetworkSetupRunLimit{5000};

// The real tool, through NSTask, each run bounded by `limit`.
class TaskNetworkSetupRunner : public NetworkSetupRunner {
 public:
  explicit TaskNetworkSetupRunner(std::string toolPath = std::string(networksetup_commands::kPath),
                                  std::chrono::milliseconds limit = kNetworkSetupRunLimit);
  std::optional<NetworkSetupOutput> runCapturingOutput(const std::vector<std::string>& arguments) override;
  bool run(const std::vector<std::string>& arguments) override;

 private:
  std::string toolPath_;
  std::chrono::milliseconds limit_;
};

class ShutdownHandler {
 public:
  // What the handler reaches in the outside world; the shared instance uses the process's own.
  struct Environment {
    NSNotificationCenter* workspaceCenter = nullptr;
    NSNotificationCenter* defaultCenter = nullptr;
    NSProcessInfo* processInfo = nullptr;
    std::shared_ptr<NetworkSetupRunner> runner;
    // The privileged runs, stopped before each cleanup; none: nothing to stop.
    proxy::PrivilegedRunQueue* privilegedRuns = nullptr;
    // The record of proxies that may be on, cleared by each finished cleanup; none: no record.
    proxy::ProxyRecord* record = nullptr;
  };

  // Created on first use, from any thread; never destroyed.
  static ShutdownHandler& shared();
  // An instance of its own over `environment`: for the guard process, which never registers,
  // and for tests. Centres and process info may be null when it never registers.
  static std::unique_ptr<ShutdownHandler> make(Environment environment);

  ~ShutdownHandler();
  ShutdownHandler(const ShutdownHandler&) = delete;
  ShutdownHandler& operator=(const ShutdownHandler&) = delete;

  void registerNotifications();
  void unregisterNotifications();
  // Stops the privileged runs (the one in flight may finish within kPrivilegedRunStopLimit),
  // lists the services and switches their three proxy states off, one run after the other (also
  // for recorded services the listing lacks), then clears the record, unless a run said the
  // desktop did not follow: the record then stays for the next start to repair.
  void cleanupSystemProxy();

  // Start-up, before the engine link is served: a record whose owner is gone (power loss, host
  // and guard both killed) or that cannot be read means proxies may still be on; the same
  // cleanup then runs and one line is logged; the record stays only when the desktop did not follow
  // again. Holds the record's lock throughout, so a guard still cleaning up and this start do not
  // both run. True when it cleaned up.
  bool recoverLeftoverProxies();
  // The guard, once `host` has ended: the same cleanup when the record is `host`'s own (or cannot
  // be read), under the record's lock; nothing at all when the host cleaned up before it ended,
  // had nothing on, or the record is another live host's. The record stays (its owner ended
  // without its own cleanup), so the next start cleans up once more. True when it cleaned up.
  bool cleanupAfterHostEnded(const posix::ProcessIdentity& host);

  // Installs the SIGTERM handler with `signal`: the handler only wakes a thread (started here,
  // once) which runs one cleanup of `shared()` and then ends the process with status 0. Later
  // calls do nothing.
  static void installSigtermHandler();

 private:
  friend struct ShutdownHandlerTestAccess;
  friend class NoDestructor<ShutdownHandler>;
  explicit ShutdownHandler(Environment environment);

  void handleWillPowerOff(const NSNotification& notification);
  void handleWillTerminate(const NSNotification& notification);
  // What the listing says: the enabled services to switch off, the disabled ones it shows, and
  // whether it said all (false: the tool failed or was cut short, and the fallback stood in).
  struct Listing {
    std::vector<std::string> enabled;
    std::vector<std::string> disabled;
    bool whole = false;
  };
  Listing getNetworkServices();
  // False when a run said the desktop did not follow.
  bool disableProxyForService(const std::string& service);
  // Every listed service's states off, and those of recorded services the listing shows disabled
  // (all recorded ones when the listing is not whole). False when a run said the desktop did not
  // follow.
  bool switchProxiesOff(const proxy::ProxyRecord::Reading& reading);

  Environment env_;
  bool isRegistered_ = false;  // main thread only
};
