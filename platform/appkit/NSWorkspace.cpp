#include "platform/appkit/NSWorkspace.h"

#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "platform/NoDestructor.h"
#include "platform/ThreadSafety.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/NSLog.h"
#include "platform/foundation/NSProcessInfo.h"
#include "platform/posix/Signals.h"
#include "platform/posix/UniqueFd.h"

NSWorkspace& NSWorkspace::sharedWorkspace() {
  static NoDestructor<NSWorkspace> workspace;
  return *workspace;
}

namespace {

constexpr const char* kLogind = "org.freedesktop.login1";
constexpr const char* kLogindPath = "/org/freedesktop/login1";
constexpr const char* kLogindManager = "org.freedesktop.login1.Manager";

// The watch lives as long as the process: the thread and the bus are never torn down, so
// nothing at exit can pull them from under the thread.
class SessionWatch {
 public:
  explicit SessionWatch(sd_bus* bus) : bus_(bus) {}

  void run() {
    if (sd_bus_match_signal(bus_, nullptr, kLogind, kLogindPath, kLogindManager, "PrepareForShutdown",
                            &SessionWatch::onPrepareForShutdown, this) < 0) {
      NSLog("NSWorkspace: cannot listen for logind's power-off announcements");
      return;
    }
    for (;;) {
      int r = sd_bus_process(bus_, nullptr);
      if (r < 0) {
        NSLog("NSWorkspace: the system bus went away: %@", std::string(strerror(-r)));
        release();
        return;
      }
      if (r > 0) continue;
      keepLockInStep();
      // The sudden-termination count has no change notice of its own: look at it again at
      // least this often.
      sd_bus_wait(bus_, 100 * 1000);
    }
  }

  // Main thread, after the power-off notification's observers have returned.
  void release() {
    MutexLock lock(mutex_);
    lockFd_.reset();
  }

 private:
  static int onPrepareForShutdown(sd_bus_message* message, void* userdata, sd_bus_error*) {
    auto* self = static_cast<SessionWatch*>(userdata);
    int starting = 0;
    if (sd_bus_message_read(message, "b", &starting) < 0) return 0;
    if (!starting) {
      // The shutdown was called off: take the lock again for the next one.
      self->announced_ = false;
      return 0;
    }
    self->announced_ = true;
    DispatchQueue::main().async([self] {
      NSWorkspace::sharedWorkspace().notificationCenter().postNotificationName(NSWorkspaceWillPowerOffNotification,
                                                                               &NSWorkspace::sharedWorkspace());
      self->release();
    });
    return 0;
  }

  // Holds the delay lock exactly while someone has disabled sudden termination and no power-off
  // is under way.
  void keepLockInStep() {
    bool wanted = NSProcessInfo::processInfo().suddenTerminationDisableCount() > 0 && !announced_;
    bool held;
    {
      MutexLock lock(mutex_);
      held = lockFd_.valid();
    }
    if (wanted && !held && !inhibitFailed_) {
      take();
    } else if (!wanted && held && !announced_) {
      release();
    }
  }

  void take() {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int r = sd_bus_call_method(bus_, kLogind, kLogindPath, kLogindManager, "Inhibit", &error, &reply, "ssss",
                               "shutdown", "ProxyHost", "Switching the system proxy off", "delay");
    int fd = -1;
    if (r >= 0 && sd_bus_message_read(reply, "h", &fd) >= 0 && fd >= 0) {
      // The message owns the descriptor it carries.
      int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
      MutexLock lock(mutex_);
      lockFd_.reset(own);
    } else {
      // One line, not one per look: the rest of the watch still works without the lock.
      NSLog("NSWorkspace: no shutdown inhibitor lock: %@", std::string(error.message ? error.message : strerror(-r)));
      inhibitFailed_ = true;
    }
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
  }

  sd_bus* bus_;
  std::atomic<bool> announced_{false};
  bool inhibitFailed_ = false;  // watch thread only
  Mutex mutex_;
  posix::UniqueFd lockFd_ GUARDED_BY(mutex_);
};

}  // namespace

void NSWorkspace::startWatchingSession() {
  static std::once_flag once;
  std::call_once(once, [] {
    sd_bus* bus = nullptr;
    int r = sd_bus_open_system(&bus);
    if (r < 0) {
      NSLog("NSWorkspace: no system bus (%@); power-off will not be announced", std::string(strerror(-r)));
      return;
    }
    auto* watch = new SessionWatch(bus);
    posix::ServiceThreadSignals blocked;
    std::thread([watch] { watch->run(); }).detach();
  });
}
