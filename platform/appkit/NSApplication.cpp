#include "platform/appkit/NSApplication.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <glib-unix.h>
#include <glib.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "platform/NoDestructor.h"
#include "platform/appkit/NSNib.h"
#include "platform/appkit/NSWindow.h"
#include "platform/appkit/NSWorkspace.h"
#include "platform/appkit/WindowSystem.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSLog.h"
#include "platform/posix/UniqueFd.h"

NSApplication* NSApp = nullptr;

namespace {

// The quit signal only writes a byte here; the loop does the terminating on the main thread.
int quitPipe[2] = {-1, -1};

void onQuitSignal(int) {
  int saved = errno;
  char b = 'q';
  [[maybe_unused]] ssize_t n = write(quitPipe[1], &b, 1);
  errno = saved;
}

void installQuitSignal() {
  if (quitPipe[0] >= 0) return;
  std::optional<posix::Pipe> pipe = posix::openPipe(posix::PipeBlocking::NonBlocking);
  if (!pipe) {
    NSLog("Cannot make the quit pipe: errno %d", errno);
    return;
  }
  quitPipe[0] = pipe->read.release();
  quitPipe[1] = pipe->write.release();
  struct sigaction sa {};
  sa.sa_handler = onQuitSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(SIGINT, &sa, nullptr);
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
  center.addObserver(d, [d](const NSNotification& n) { d->applicationWillFinishLaunching(n); },
                     NSApplicationWillFinishLaunchingNotification, this);
  center.addObserver(d, [d](const NSNotification& n) { d->applicationDidFinishLaunching(n); },
                     NSApplicationDidFinishLaunchingNotification, this);
  center.addObserver(d, [d](const NSNotification& n) { d->applicationWillTerminate(n); },
                     NSApplicationWillTerminateNotification, this);
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
  // desktop and the Flutter side's messages are served by one loop on this thread.
  g_unix_fd_add_full(
      G_PRIORITY_DEFAULT, mainQueueWakeDescriptor(), G_IO_IN,
      [](int, GIOCondition, gpointer) -> gboolean {
        drainMainQueue();
        return G_SOURCE_CONTINUE;
      },
      nullptr, nullptr);
  if (quitPipe[0] >= 0) {
    g_unix_fd_add(
        quitPipe[0], G_IO_IN,
        [](int, GIOCondition, gpointer app) -> gboolean {
          static_cast<NSApplication*>(app)->quitSignalArrived();
          return G_SOURCE_CONTINUE;
        },
        this);
  }
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

void NSApplication::quitSignalArrived() {
  char buf[16];
  while (read(quitPipe[0], buf, sizeof buf) > 0) {
  }
  terminate(nullptr);
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
