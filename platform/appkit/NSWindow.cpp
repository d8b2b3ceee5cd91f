#include "platform/appkit/NSWindow.h"

#include "platform/appkit/NSApplication.h"
#include "platform/appkit/WindowSystem.h"

namespace {
// A view controller's view before anything sizes it, as an interface builder would leave it.
constexpr NSRect kDefaultViewFrame{{0, 0}, {800, 600}};
}  // namespace

void NSView::setStringValue(std::string value) {
  stringValue_ = std::move(value);
  if (observer_) observer_();
}

void NSView::setNativeContent(std::shared_ptr<void> widget) {
  nativeContent_ = std::move(widget);
  if (observer_) observer_();
}

NSViewController::NSViewController() : view_(kDefaultViewFrame) {}

NSWindow::NSWindow(NSRect contentRect, NSWindowStyleMask style, NSBackingStoreType backing, bool defer)
    : frame_(contentRect), style_(style) {
  NSApplication::sharedApplication().windowCreated(this);
  if (appkit::WindowSystem* system = appkit::WindowSystem::active()) {
    native_ = system->makeWindow(*this);
    native_->setSize(frame_.size);
  }
}

NSWindow::~NSWindow() {
  if (native_ && contentViewController_) contentViewController_->view().setContentObserver(nullptr);
  native_.reset();
  NSApplication::sharedApplication().windowDestroyed(this);
}

void NSWindow::awakeFromNib() { awoken_ = true; }

void NSWindow::setTitle(std::string title) {
  title_ = std::move(title);
  if (native_) native_->setTitle(title_);
}

void NSWindow::setFrame(NSRect frame, bool display) {
  frame_ = frame;
  if (contentViewController_) contentViewController_->view().setFrame({{0, 0}, frame.size});
  if (native_) native_->setSize(frame.size);
  if (display) displayRequests_++;
}

void NSWindow::nativeWindowResized(NSSize size) {
  if (size == frame_.size) return;
  double top = frame_.origin.y + frame_.size.height;
  frame_ = {{frame_.origin.x, top - size.height}, size};
  if (contentViewController_) contentViewController_->view().setFrame({{0, 0}, size});
}

void NSWindow::setContentViewController(std::shared_ptr<NSViewController> controller) {
  if (native_ && contentViewController_) contentViewController_->view().setContentObserver(nullptr);
  contentViewController_ = std::move(controller);
  if (contentViewController_) {
    // The window takes the size of the controller's view, keeping its top-left corner.
    NSSize size = contentViewController_->view().frame().size;
    double top = frame_.origin.y + frame_.size.height;
    frame_ = {{frame_.origin.x, top - size.height}, size};
  }
  if (native_) {
    native_->setContentView(contentViewController_ ? &contentViewController_->view() : nullptr);
    native_->setSize(frame_.size);
  }
}

bool NSWindow::isVisible() const { return native_ ? native_->isVisible() : visible_; }

void NSWindow::setIsVisible(bool visible) {
  if (visible == isVisible()) return;
  if (visible) {
    visible_ = true;
    if (native_) native_->show(false);
    NSApplication::sharedApplication().windowOrderedFront(this, false);
  } else {
    orderOut(nullptr);
  }
}

bool NSWindow::isKeyWindow() const { return NSApplication::sharedApplication().keyWindow() == this; }

void NSWindow::makeKeyAndOrderFront(const void* sender) {
  visible_ = true;
  if (native_) native_->show(true);
  NSApplication::sharedApplication().windowOrderedFront(this, true);
}

void NSWindow::orderOut(const void* sender) {
  visible_ = false;
  if (native_) native_->hide();
  NSApplication::sharedApplication().windowOrderedOut(this);
}

void NSWindow::close() {
  orderOut(nullptr);
  NSApplication::sharedApplication().windowClosed(this);
}
