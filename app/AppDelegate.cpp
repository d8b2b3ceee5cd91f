#include "app/AppDelegate.h"

#include "platform/appkit/NSWindow.h"
#include "proxy/PrivilegedRunQueue.h"
#include "shutdown/ProxyGuard.h"
#include "shutdown/ShutdownHandler.h"

// Closing the last window leaves the client running: it keeps serving its proxy.
bool AppDelegate::applicationShouldTerminateAfterLastWindowClosed(NSApplication& sender) { return false; }

bool AppDelegate::applicationSupportsSecureRestorableState(NSApplication& app) { return true; }

void AppDelegate::applicationDidFinishLaunching(const NSNotification& notification) {
  // Launch-finished hook: from here on every way out switches the proxies off.
  ShutdownHandler::shared().registerNotifications();
  ShutdownHandler::installSigtermHandler();
  // A crash or kill -9 is no way out the handler sees: the guard covers it from outside.
  ProxyGuard::start();
  // Only now may a privileged run switch anything on: every way out is covered. Calls that
  // came in earlier waited in the queue.
  proxy::PrivilegedRunQueue::shared().activate();
}

void AppDelegate::applicationWillTerminate(const NSNotification& notification) {
  // Will-terminate hook: the platform's termination waits for this cleanup to end.
  ShutdownHandler::shared().cleanupSystemProxy();
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
