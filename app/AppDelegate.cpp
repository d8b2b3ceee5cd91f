#include "app/AppDelegate.h"

#include "platform/appkit/NSWindow.h"

// Closing the last window leaves the client running: it keeps serving its proxy.
bool AppDelegate::applicationShouldTerminateAfterLastWindowClosed(NSApplication& sender) { return false; }

bool AppDelegate::applicationSupportsSecureRestorableState(NSApplication& app) { return true; }

void AppDelegate::applicationDidFinishLaunching(const NSNotification& notification) {
  // Launch-finished hook: arms the shutdown cleanup once the shutdown handler exists.
}

void AppDelegate::applicationWillTerminate(const NSNotification& notification) {
  // Will-terminate hook: clears the system proxy once the shutdown handler exists.
}

bool AppDelegate::applicationShouldHandleReopen(NSApplication& sender, bool hasVisibleWindows) {
  if (!hasVisibleWindows) {
    for (NSWindow* window : NSApp->windows()) {
      if (!window->isVisible()) window->setIsVisible(true);
      window->makeKeyAndOrderFront(this);
      NSApp->activateIgnoringOtherApps(true);
    }
  }
  return true;
}
