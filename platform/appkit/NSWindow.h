// NSWindow and the view-controller it shows. Frame, visibility, key status and front-to-back
// order are kept exactly in a window model. Where the application runs on a window system (a
// GTK 4 window where a display exists, see NSApplication.h), each window is also a real window:
// what is set here acts on it, and what the user does to it (closing, resizing, focusing) comes
// back into the model, so visibility and key status read the real window's state. Without one,
// the model is all there is and nothing is drawn.
//
// A window joins the application's window list (NSApp->windows()) when it is made and leaves it
// when it is destroyed. Main thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

struct NSPoint {
  double x = 0, y = 0;
  bool operator==(const NSPoint&) const = default;
};
struct NSSize {
  double width = 0, height = 0;
  bool operator==(const NSSize&) const = default;
};
struct NSRect {
  NSPoint origin;
  NSSize size;
  bool operator==(const NSRect&) const = default;
};
inline NSRect NSMakeRect(double x, double y, double w, double h) { return {{x, y}, {w, h}}; }

enum NSWindowStyleMask : uint64_t {
  NSWindowStyleMaskBorderless = 0,
  NSWindowStyleMaskTitled = 1 << 0,
  NSWindowStyleMaskClosable = 1 << 1,
  NSWindowStyleMaskMiniaturizable = 1 << 2,
  NSWindowStyleMaskResizable = 1 << 3,
};
inline NSWindowStyleMask operator|(NSWindowStyleMask a, NSWindowStyleMask b) {
  return static_cast<NSWindowStyleMask>(static_cast<uint64_t>(a) | static_cast<uint64_t>(b));
}

enum NSBackingStoreType { NSBackingStoreRetained = 0, NSBackingStoreNonretained = 1, NSBackingStoreBuffered = 2 };

class NSView {
 public:
  explicit NSView(NSRect frame) : frame_(frame) {}
  NSRect frame() const { return frame_; }
  void setFrame(NSRect frame) { frame_ = frame; }

  // The text the view shows: a stand-in view draws its text and nothing else.
  const std::string& stringValue() const { return stringValue_; }
  void setStringValue(std::string value);
  // A view drawn by a toolkit of its own: the window system's widget (a GtkWidget on GTK 4), held
  // by the view, that the window shows in place of the text; empty for the text.
  void* nativeContent() const { return nativeContent_.get(); }
  void setNativeContent(std::shared_ptr<void> widget);
  // The window that shows the view hears each change of its content, text or widget, through the
  // observer (one at a time; empty to stop).
  void setContentObserver(std::function<void()> observer) { observer_ = std::move(observer); }

 private:
  NSRect frame_;
  std::string stringValue_;
  std::shared_ptr<void> nativeContent_;
  std::function<void()> observer_;
};

namespace appkit {
class NativeWindow;
}

class NSViewController {
 public:
  NSViewController();
  virtual ~NSViewController() = default;
  NSView& view() { return view_; }

 private:
  NSView view_;
};

class NSWindow {
 public:
  NSWindow(NSRect contentRect, NSWindowStyleMask style, NSBackingStoreType backing, bool defer);
  virtual ~NSWindow();
  NSWindow(const NSWindow&) = delete;
  NSWindow& operator=(const NSWindow&) = delete;

  // Sent once after the window has been loaded from an interface file.
  virtual void awakeFromNib();

  // The headless model has no decorations: the frame is the content rectangle.
  NSRect frame() const { return frame_; }
  void setFrame(NSRect frame, bool display);

  NSViewController* contentViewController() const { return contentViewController_.get(); }
  // Takes the controller and, as the platform does, resizes the window to the controller's view.
  void setContentViewController(std::shared_ptr<NSViewController> controller);

  const std::string& title() const { return title_; }
  void setTitle(std::string title);
  NSWindowStyleMask styleMask() const { return style_; }

  // On a window system: whether the real window is shown (mapped or about to be).
  bool isVisible() const;
  void setIsVisible(bool visible);
  bool isKeyWindow() const;
  void makeKeyAndOrderFront(const void* sender);
  void orderOut(const void* sender);
  // Hides the window; it stays in the application's window list, so reopening can show it again.
  void close();

  // How often the window was asked to redisplay (setFrame with display true), for tests.
  int displayRequests() const { return displayRequests_; }
  bool hasAwokenFromNib() const { return awoken_; }

  // The real window behind this one, or nullptr in the headless model.
  appkit::NativeWindow* nativeWindow() const { return native_.get(); }

  // What the window system reports, main thread: the user resized the window to `size` (the
  // top-left corner stays), or asked it to close (the close button, the window manager).
  void nativeWindowResized(NSSize size);
  void nativeWindowCloseRequested() { close(); }

 private:
  std::unique_ptr<appkit::NativeWindow> native_;
  NSRect frame_;
  NSWindowStyleMask style_;
  std::string title_;
  std::shared_ptr<NSViewController> contentViewController_;
  bool visible_ = false;
  bool awoken_ = false;
  int displayRequests_ = 0;
};
