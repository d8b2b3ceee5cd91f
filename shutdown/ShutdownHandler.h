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

// How the handler runs networksetup; tests put a double here.
class NetworkSetupRunner {
 public:
  virtual ~NetworkSetupRunner() = default;
  // Standard output of the run, or nothing when the tool could not be started.
  virtual std::optional<std::string> runCapturingOutput(const std::vector<std::string>& arguments) = 0;
  // Runs to the end with both streams on the null device; failures are dropped.
  virtual void run(const std::vector<std::string>& arguments) = 0;
};

// A hung tool must not hold quit, logout or SIGTERM forever: a run still going after this is
// killed and the cleanup goes on with the next one.
inline constexpr std::chrono::milliseconds kNetworkSetupRunLimit{5000};

// The real tool, through NSTask, each run bounded by `limit`.
class TaskNetworkSetupRunner : public NetworkSetupRunner {
 public:
  explicit TaskNetworkSetupRunner(std::string toolPath = "/usr/sbin/networksetup",
                                  std::chrono::milliseconds limit = kNetworkSetupRunLimit);
  std::optional<std::string> runCapturingOutput(const std::vector<std::string>& arguments) override;
  void run(const std::vector<std::string>& arguments) override;

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
  };

  // Created on first use, from any thread; never destroyed.
  static ShutdownHandler& shared();
  // For tests: an instance of its own over `environment`.
  static std::unique_ptr<ShutdownHandler> makeForTesting(Environment environment);

  ~ShutdownHandler();
  ShutdownHandler(const ShutdownHandler&) = delete;
  ShutdownHandler& operator=(const ShutdownHandler&) = delete;

  void registerNotifications();
  void unregisterNotifications();
  // Lists the services and switches their three proxy states off, one run after the other.
  void cleanupSystemProxy();

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
  std::vector<std::string> getNetworkServices();
  void disableProxyForService(const std::string& service);

  Environment env_;
  bool isRegistered_ = false;  // main thread only
};
