// The application's delegate: lifecycle policy, and the hook points where the shutdown cleanup
// is armed (end of launching) and run (will terminate).
#pragma once

#include "platform/flutter/FlutterAppDelegate.h"

class AppDelegate : public FlutterAppDelegate {
 public:
  bool applicationShouldTerminateAfterLastWindowClosed(NSApplication& sender) override;
  bool applicationSupportsSecureRestorableState(NSApplication& app) override;
  void applicationDidFinishLaunching(const NSNotification& notification) override;
  void applicationWillTerminate(const NSNotification& notification) override;
  bool applicationShouldHandleReopen(NSApplication& sender, bool hasVisibleWindows) override;
  AppDelegate() = default;
};
