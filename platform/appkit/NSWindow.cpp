#include "platform/appkit/NSWindow.h"

#include "platform/appkit/NSApplication.h"

namespace {
// A view controller's view before anything sizes it, as an interface builder would leave it.
constexpr NSRect kDefaultViewFrame{{0, 0}, {800, 600}};
}  // namespace

NSViewController::NSViewController() : view_(kDefaultViewFrame) {}

NSWindow::NSWindow(NSRect contentRect, NSWindowStyleMask style, NSBackingStoreType backing, bool defer)
    : frame_(contentRect), style_(style) {
  NSApplication::sharedApplication().windowCreated(this);
}

NSWindow::~NSWindow() { NSApplication::sharedApplication().windowDestroyed(this); }

void NSWindow::awakeFromNib() { awoken_ = true; }

void NSWindow::setFrame(NSRect frame, bool display) {
  frame_ = frame;
  if (contentViewController_) contentViewController_->view().setFrame({{0, 0}, frame.size});
  if (display) displayRequests_++;
}

void NSWindow::setContentViewController(std::shared_ptr<NSViewController> controller) {
  contentViewController_ = std::move(controller);
  if (contentViewController_) {
    // The window takes the size of the controller's view, keeping its top-left corner.
    NSSize size = contentViewController_->view().frame().size;
    double top = frame_.origin.y + frame_.size.height;
    frame_ = {{frame_.origin.x, top - size.height}, size};
  }
}

void NSWindow::setIsVisible(bool visible) {
  if (visible == visible_) return;
  if (visible) {
    visible_ = true;
    NSApplication::sharedApplication().windowOrderedFront(this, false);
  } else {
    orderOut(nullptr);
  }
}

bool NSWindow::isKeyWindow() const { return NSApplication::sharedApplication().keyWindow() == this; }

void NSWindow::makeKeyAndOrderFront(const void* sender) {
  visible_ = true;
  NSApplication::sharedApplication().windowOrderedFront(this, true);
}

void NSWindow::orderOut(const void* sender) {
  visible_ = false;
  NSApplication::sharedApplication().windowOrderedOut(this);
}

void NSWindow::close() {
  orderOut(nullptr);
  NSApplication::sharedApplication().windowClosed(this);
}
