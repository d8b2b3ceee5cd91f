// NSWorkspace: the desktop session around the application, with its own notification centre.
#pragma once

#include <string>

#include "platform/foundation/NSNotificationCenter.h"

inline const std::string NSWorkspaceWillPowerOffNotification = "NSWorkspaceWillPowerOffNotification";

class NSWorkspace {
 public:
  static NSWorkspace& sharedWorkspace();
  // Distinct from the default centre; workspace notifications are posted on the main thread.
  NSNotificationCenter& notificationCenter() { return center_; }

 private:
  NSWorkspace() = default;
  NSNotificationCenter center_;
};
