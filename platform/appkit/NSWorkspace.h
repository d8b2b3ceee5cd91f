// NSWorkspace: the desktop session around the application, with its own notification centre.
//
// On this platform the session is systemd-logind's: once the application loop runs, a thread
// listens on the system bus (DBUS_SYSTEM_BUS_ADDRESS, or the standard socket) and, when logind
// announces PrepareForShutdown(true), the main thread posts NSWorkspaceWillPowerOffNotification.
// While sudden termination is disabled (someone has work to do at the end), the workspace holds a
// logind "delay" inhibitor lock for shutdown, so the system waits for that work; it lets the lock
// go once the power-off notification's observers have returned. No reachable bus: one log line,
// and everything else runs as before.
#pragma once

#include <string>

#include "platform/NoDestructor.h"
#include "platform/foundation/NSNotificationCenter.h"

inline const std::string NSWorkspaceWillPowerOffNotification = "NSWorkspaceWillPowerOffNotification";

class NSWorkspace {
 public:
  static NSWorkspace& sharedWorkspace();
  // Distinct from the default centre; workspace notifications are posted on the main thread.
  NSNotificationCenter& notificationCenter() { return center_; }

  // Starts listening to the session's power-off announcements; later calls do nothing. The
  // application loop calls it.
  void startWatchingSession();

 private:
  friend class NoDestructor<NSWorkspace>;
  NSWorkspace() = default;
  NSNotificationCenter center_;
};
