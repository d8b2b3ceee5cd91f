// The window system under the application and its windows: where it exists, each NSWindow has a
// real window and the application loop is the system's own; where it does not, the headless model
// stands alone (WindowSystem::active() is nullptr) and the loop is a plain GLib main loop.
//
// Chosen once by NSApplicationMain (chooseWindowSystem); tests that make windows without it get
// the headless model. Main thread only.
#pragma once

#include <memory>
#include <string>

#include "platform/appkit/NSWindow.h"

class NSApplication;

namespace appkit {

// One real window. The NSWindow that owns it keeps the model; this acts on the real thing and
// reads it back.
class NativeWindow {
 public:
  virtual ~NativeWindow() = default;
  virtual void setTitle(const std::string& title) = 0;
  virtual void setSize(NSSize size) = 0;
  // Shows the window; with `makeKey`, also raises it and asks for the keyboard focus.
  virtual void show(bool makeKey) = 0;
  virtual void hide() = 0;
  virtual bool isVisible() const = 0;
  // Shows `view`'s text as the window's content; nullptr for none.
  virtual void setContentView(NSView* view) = 0;
};

class WindowSystem {
 public:
  virtual ~WindowSystem() = default;
  // The window system the application runs on, or nullptr (headless).
  static WindowSystem* active();

  virtual std::unique_ptr<NativeWindow> makeWindow(NSWindow& owner) = 0;
  // Brings the application to the front: its key window (or the front visible one) is presented.
  virtual void activate(NSApplication& app) = 0;
  // At the end of launching: puts back the window sizes the last run kept.
  virtual void restoreWindowState(NSApplication& app) = 0;
  // Before the process exits through the platform: keeps the window sizes for the next run.
  virtual void saveWindowState(NSApplication& app) = 0;
  // Serves the application loop until the desktop's session ends; returns then.
  virtual void run(NSApplication& app) = 0;
};

enum class LaunchMode { headless, windowed, reachedRunningInstance };

// Picks the window system for this process and logs one line when it is headless: headless when
// PROXYHOST_HEADLESS is set to anything but "" or "0", when neither DISPLAY nor WAYLAND_DISPLAY
// is set, or when the display cannot be opened; GTK 4 otherwise. With GTK, a second start in the
// same desktop session reaches the running instance (which reopens) and answers
// reachedRunningInstance: the caller ends.
LaunchMode chooseWindowSystem(NSApplication& app);

}  // namespace appkit
