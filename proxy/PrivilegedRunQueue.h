// The privileged proxy runs, one at a time in arrival order, so that a later "off" is never
// overtaken by an earlier "on"; and their end when the application stops, so that nothing
// switches a proxy on after the shutdown cleanup has switched it off.
//
//   PrivilegedRunQueue& runs = PrivilegedRunQueue::shared();   // inactive: runs wait
//   runs.submit(PrivilegedRun{PrivilegedRun::Kind::enable, script, services, host, port, socks},
//               std::move(result));
//   runs.activate();                    // end of launching, once SIGTERM is handled
//   runs.stop(kPrivilegedRunStopLimit); // shutdown cleanup, before switching off
//
// Each run is answered on the main queue with its AdminRunOutcome; the main thread never waits
// for a run. Before an enable runs, the proxy record gains its services (a crash in the middle of
// the run must not go unnoticed); an enable the record cannot take is answered "failed" /
// kUnrecordedMessage (with why) and does not run. A disable leaves the record be.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/ThreadSafety.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/flutter/FlutterChannels.h"
#include "proxy/AdministratorScriptRunner.h"

namespace proxy {

class ProxyRecord;

// How long a shutdown lets the run in flight go on before it stops it.
inline constexpr std::chrono::milliseconds kPrivilegedRunStopLimit{5000};

// The answer of a run dropped or refused because the application is stopping.
inline constexpr const char* kStoppingMessage = "The application is shutting down";

// The answer's start when an enable is refused because its record cannot be written.
inline constexpr const char* kUnrecordedMessage =
    "Nothing was switched on: the record that switches proxies off after a crash cannot be written";

struct PrivilegedRun {
  enum class Kind { enable, disable };
  Kind kind = Kind::disable;
  std::string script;
  std::vector<std::string> services;
  std::string host;
  int64_t port = 0;
  int64_t socks = 0;
};

class PrivilegedRunQueue {
 public:
  // What the queue reaches outside; the shared queue runs the scripting service's.
  struct Environment {
    std::function<AdminRunOutcome(const std::string& script)> run = runAsAdministrator;
    // Stops the run in flight at once (its script and whatever that started).
    std::function<void()> stopRun = {};
    ProxyRecord* record = nullptr;  // none: nothing is recorded
  };

  // Inactive until activate(); never destroyed.
  static PrivilegedRunQueue& shared();
  PrivilegedRunQueue(Environment environment, DispatchSerialQueue::Activation activation);

  // Main thread. Queues `run`; `result` is answered on the main queue once it ran. While the
  // queue is stopped it is answered at once with the error "failed" / kStoppingMessage.
  void submit(PrivilegedRun run, FlutterResult result);
  // Lets runs start (launching has finished and the shutdown cleanup is armed).
  void activate();
  // Any thread. From now on no run starts: the ones not yet started are answered "failed" /
  // kStoppingMessage on the main queue (delivered if the main loop still runs); the one in
  // flight may finish within `limit`, after which it is stopped. Returns once no run is going
  // on. A second call returns at once.
  void stop(std::chrono::milliseconds limit);
  // Takes runs again after stop() (a power-off that was called off).
  void reopen();

 private:
  void perform(uint64_t generation, const PrivilegedRun& run, FlutterResult result);
  AdminRunOutcome runRecorded(const PrivilegedRun& run);

  Environment env_;
  DispatchSerialQueue queue_;
  Mutex mutex_;
  std::condition_variable idle_;
  bool stopped_ GUARDED_BY(mutex_) = false;
  bool running_ GUARDED_BY(mutex_) = false;
  uint64_t generation_ GUARDED_BY(mutex_) = 0;  // a stop starts a new one
};

}  // namespace proxy
