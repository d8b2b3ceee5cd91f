// NSWindow and the view-controller it shows, as a headless window model: frame, visibility,
// key status and front-to-back order are kept exactly; nothing is drawn.
//
// A window joins the application's window list (NSApp->windows()) when it is made and leaves it
// when it is destroyed. Main thread only.
#pragma once

#include <cstdint>
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

 private:
  NSRect frame_;
};

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
  void setTitle(std::string title) { title_ = std::move(title); }
  NSWindowStyleMask styleMask() const { return style_; }

  bool isVisible() const { return visible_; }
  void setIsVisible(bool visible);
  bool isKeyWindow() const;
  void makeKeyAndOrderFront(const void* sender);
  void orderOut(const void* sender);
  // Hides the window; it stays in the application's window list, so reopening can show it again.
  void close();

  // How often the window was asked to redisplay (setFrame with display true), for tests.
  int displayRequests() const { return displayRequests_; }
  bool hasAwokenFromNib() const { return awoken_; }

 private:
  NSRect frame_;
  NSWindowStyleMask style_;
  std::string title_;
  std::shared_ptr<NSViewController> contentViewController_;
  bool visible_ = false;
  bool awoken_ = false;
  int displayRequests_ = 0;
};
