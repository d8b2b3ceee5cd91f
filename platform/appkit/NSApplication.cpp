#include "platform/appkit/NSApplication.h"

#include <glib-unix.h>
#include <glib.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <utility>

#include "platform/NoDestructor.h"
#include "platform/appkit/NSNib.h"
#include "platform/appkit/NSWindow.h"
#include "platform/appkit/NSWorkspace.h"
#include "platform/appkit/SignalSource.h"
#include "platform/appkit/WindowSystem.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSLog.h"

NSApplication* NSApp = nullptr;

namespace {

// The quit signal terminates on the main thread, when the run loop next turns.
void installQuitSignal() {
  static bool installed = false;
  if (std::exchange(installed, true)) return;
  appkit::handleSignal(SIGINT, appkit::SignalThread::main, [] { NSApp->terminate(nullptr); });
}

}  // namespace

NSApplication& NSApplication::sharedApplication() {
  static NSApplication* app = [] {
    static NoDestructor<NSApplication> instance;
    return NSApp = instance.get();
  }();
  return *app;
}

std::vector<NSWindow*> NSApplication::orderedWindows() const {
  std::vector<NSWindow*> visible;
  for (NSWindow* w : frontToBack_) {
    if (w->isVisible()) visible.push_back(w);
  }
  return visible;
}

void NSApplication::activateIgnoringOtherApps(bool flag) {
  active_ = true;
  activations_++;
  if (appkit::WindowSystem* system = appkit::WindowSystem::active()) system->activate(*this);
}

void NSApplication::setDelegate(std::shared_ptr<NSApplicationDelegate> delegate) {
  auto& center = NSNotificationCenter::defaultCenter();
  if (delegate_) center.removeObserver(delegate_.get());
  delegate_ = std::move(delegate);
  if (!delegate_) return;
  NSApplicationDelegate* d = delegate_.get();
  center.addObserver(
      d, [d](const NSNotification& n) { d->applicationWillFinishLaunching(n); },
      NSApplicationWillFinishLaunchingNotification, this);
  center.addObserver(
      d, [d](const NSNotification& n) { d->applicationDidFinishLaunching(n); },
      NSApplicationDidFinishLaunchingNotification, this);
  center.addObserver(
      d, [d](const NSNotification& n) { d->applicationWillTerminate(n); }, NSApplicationWillTerminateNotification,
      this);
}

void NSApplication::finishLaunching() {
  dispatchAssertMainThread("NSApplication::finishLaunching");
  auto& center = NSNotificationCenter::defaultCenter();
  center.postNotificationName(NSApplicationWillFinishLaunchingNotification, this);
  if (appkit::WindowSystem* system = appkit::WindowSystem::active()) system->restoreWindowState(*this);
  for (NSWindow* w : visibleAtLaunch_) w->makeKeyAndOrderFront(nullptr);
  visibleAtLaunch_.clear();
  activateIgnoringOtherApps(true);
  center.postNotificationName(NSApplicationDidFinishLaunchingNotification, this);
}

void NSApplication::run() {
  installQuitSignal();
  NSWorkspace::sharedWorkspace().startWatchingSession();
  running_ = true;
  // The main queue and the quit signal are sources of GLib's main context, so the windows, the
  // desktop, the signals and the Flutter side's messages are served by one loop on this thread.
  g_unix_fd_add_full(
      G_PRIORITY_DEFAULT, mainQueueWakeDescriptor(), G_IO_IN,
      [](int, GIOCondition, gpointer) -> gboolean {
        drainMainQueue();
        return G_SOURCE_CONTINUE;
      },
      nullptr, nullptr);
  // Work queued before the loop started has already made the descriptor readable.
  if (appkit::WindowSystem* system = appkit::WindowSystem::active()) {
    for (;;) {
      system->run(*this);
      // The desktop session is ending: as a logout does on the Mac.
      terminate(this);
    }
  }
  for (;;) g_main_context_iteration(nullptr, TRUE);
}

void NSApplication::terminate(const void* sender) {
  dispatchAssertMainThread("NSApplication::terminate");
  if (delegate_ && delegate_->applicationShouldTerminate(*this) == NSTerminateCancel) return;
  NSNotificationCenter::defaultCenter().postNotificationName(NSApplicationWillTerminateNotification, this);
  if (appkit::WindowSystem* system = appkit::WindowSystem::active()) system->saveWindowState(*this);
  exit(0);
}

bool NSApplication::reopen() {
  bool hasVisibleWindows = std::any_of(windows_.begin(), windows_.end(), [](NSWindow* w) { return w->isVisible(); });
  return delegate_ ? delegate_->applicationShouldHandleReopen(*this, hasVisibleWindows) : true;
}

void NSApplication::windowCreated(NSWindow* window) { windows_.push_back(window); }

void NSApplication::windowDestroyed(NSWindow* window) {
  std::erase(windows_, window);
  std::erase(frontToBack_, window);
  std::erase(visibleAtLaunch_, window);
  if (keyWindow_ == window) keyWindow_ = nullptr;
}

void NSApplication::windowOrderedFront(NSWindow* window, bool makeKey) {
  std::erase(frontToBack_, window);
  frontToBack_.insert(frontToBack_.begin(), window);
  if (makeKey) keyWindow_ = window;
}

void NSApplication::windowOrderedOut(NSWindow* window) {
  std::erase(frontToBack_, window);
  if (keyWindow_ == window) keyWindow_ = nullptr;
}

void NSApplication::windowKeyStateChanged(NSWindow* window, bool isKey) {
  if (isKey) {
    keyWindow_ = window;
    active_ = true;
  } else if (keyWindow_ == window) {
    keyWindow_ = nullptr;
  }
}

void NSApplication::windowClosed(NSWindow* window) {
  bool anyVisible = std::any_of(windows_.begin(), windows_.end(), [](NSWindow* w) { return w->isVisible(); });
  if (!anyVisible && delegate_ && delegate_->applicationShouldTerminateAfterLastWindowClosed(*this)) {
    terminate(this);
  }
}

int NSApplicationMain(int argc, char* argv[]) {
  NSApplication& app = NSApplication::sharedApplication();
  installQuitSignal();
  std::string nibName = NSBundle::mainBundle().objectForInfoDictionaryKey("NSMainNibFile").value_or("MainMenu");
  const NSNibDescription* nib = NSNib::named(nibName);
  if (nib == nullptr) {
    NSLog("Unable to load nib file: %@, exiting", nibName);
    return 1;
  }
  if (appkit::chooseWindowSystem(app) == appkit::LaunchMode::reachedRunningInstance) return 0;
  NSNib::instantiate(*nib, app);
  app.finishLaunching();
  app.run();
  return 0;
}
