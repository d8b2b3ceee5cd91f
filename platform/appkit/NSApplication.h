// The application object, its delegate protocol and the process's application loop.
//
// NSApplicationMain(argc, argv) makes the application, picks its window system, loads the main
// interface file named by the main bundle's NSMainNibFile (default "MainMenu"; see NSNib.h),
// finishes launching, and runs the loop until terminate. The loop is GLib's main context on the
// main thread: it drains the main dispatch queue, takes the quit signal and, with a window
// system, serves the windows and the desktop.
//
// Window system: GTK 4 where a display exists (DISPLAY or WAYLAND_DISPLAY), unless
// PROXYHOST_HEADLESS is set to anything but "" or "0"; the headless window model otherwise (one
// log line says so). With GTK the application is a GtkApplication named by the bundle identifier:
// its windows are GtkApplicationWindows with a primary menu (About, Quit; Ctrl+Q quits); a second
// start in the same desktop session does not launch again but reaches the running application,
// which reopens (as a click on the Dock icon does); the end of the desktop session terminates the
// application; the windows' sizes are kept for the next start.
//
// SIGINT and Quit in the menu make the application terminate: the delegate is asked, the
// will-terminate notification is posted, and the process exits with status 0.
//
// Main thread only, apart from the quit signal.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/NoDestructor.h"
#include "platform/foundation/NSNotificationCenter.h"

class NSWindow;
class NSApplication;

inline const std::string NSApplicationWillFinishLaunchingNotification = "NSApplicationWillFinishLaunchingNotification";
inline const std::string NSApplicationDidFinishLaunchingNotification = "NSApplicationDidFinishLaunchingNotification";
inline const std::string NSApplicationWillTerminateNotification = "NSApplicationWillTerminateNotification";

enum NSApplicationTerminateReply { NSTerminateCancel = 0, NSTerminateNow = 1 };

// The application-delegate protocol; every operation has the platform's default.
class NSApplicationDelegate {
 public:
  virtual ~NSApplicationDelegate() = default;
  virtual void applicationWillFinishLaunching(const NSNotification& notification) {}
  virtual void applicationDidFinishLaunching(const NSNotification& notification) {}
  virtual NSApplicationTerminateReply applicationShouldTerminate(NSApplication& sender) { return NSTerminateNow; }
  virtual void applicationWillTerminate(const NSNotification& notification) {}
  virtual bool applicationShouldTerminateAfterLastWindowClosed(NSApplication& sender) { return false; }
  virtual bool applicationSupportsSecureRestorableState(NSApplication& app) { return false; }
  virtual bool applicationShouldHandleReopen(NSApplication& sender, bool hasVisibleWindows) { return true; }
};

class NSApplication {
 public:
  static NSApplication& sharedApplication();

  // Every window the application owns, oldest first.
  std::vector<NSWindow*> windows() const { return windows_; }
  // Visible windows, front to back.
  std::vector<NSWindow*> orderedWindows() const;
  NSWindow* keyWindow() const { return keyWindow_; }

  void activateIgnoringOtherApps(bool flag);
  bool isActive() const { return active_; }
  int activationCount() const { return activations_; }

  // Keeps the delegate alive and makes it hear the application's notifications on the default
  // centre, as the platform connects a delegate.
  void setDelegate(std::shared_ptr<NSApplicationDelegate> delegate);
  NSApplicationDelegate* delegate() const { return delegate_.get(); }

  // Launch: will-finish, windows marked visible at launch ordered front, did-finish.
  void finishLaunching();
  bool isRunning() const { return running_; }
  // Serves the main queue and the quit signal until terminate.
  void run();
  // Asks the delegate, posts the will-terminate notification, and exits the process with 0.
  void terminate(const void* sender);
  // What a click on the Dock icon does: asks the delegate whether to handle the reopen.
  bool reopen();

  // Window bookkeeping, called by NSWindow.
  void windowCreated(NSWindow* window);
  void windowDestroyed(NSWindow* window);
  void windowOrderedFront(NSWindow* window, bool makeKey);
  void windowOrderedOut(NSWindow* window);
  void windowClosed(NSWindow* window);
  // The window system's focus changed: `window` became key, or stopped being key.
  void windowKeyStateChanged(NSWindow* window, bool isKey);
  // Keeps objects that an interface file made (its top-level objects) for the process's life.
  void keepTopLevelObject(std::shared_ptr<void> object) { topLevelObjects_.push_back(std::move(object)); }
  void markVisibleAtLaunch(NSWindow* window) { visibleAtLaunch_.push_back(window); }

 private:
  friend class NoDestructor<NSApplication>;
  NSApplication() = default;

  std::vector<NSWindow*> windows_;
  std::vector<NSWindow*> frontToBack_;
  NSWindow* keyWindow_ = nullptr;
  std::vector<NSWindow*> visibleAtLaunch_;
  bool active_ = false;
  int activations_ = 0;
  bool running_ = false;
  std::shared_ptr<NSApplicationDelegate> delegate_;
  std::vector<std::shared_ptr<void>> topLevelObjects_;
};

// The application; valid once sharedApplication() has been called (NSApplicationMain does).
extern NSApplication* NSApp;

int NSApplicationMain(int argc, char* argv[]);
