// Interface files: a description, compiled into the application, of the objects the platform
// makes when it loads the main interface at start-up: the application delegate and the windows.
//
//   static const NSNibRegistration mainMenu{NSNibDescription{
//       .name = "MainMenu",
//       .makeDelegate = [] { return std::make_shared<AppDelegate>(); },
//       .windows = {{.make = NSNibWindowOf<MainFlutterWindow>, .contentRect = NSMakeRect(0, 0, 800, 600)}},
//   }};
//
// Loading makes the delegate and connects it to the application, makes every window with its
// initialiser, then sends awakeFromNib to each window in order. The application keeps them all.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/appkit/NSApplication.h"
#include "platform/appkit/NSWindow.h"

struct NSNibWindow {
  std::function<std::shared_ptr<NSWindow>(NSRect, NSWindowStyleMask, NSBackingStoreType, bool)> make;
  NSRect contentRect;
  NSWindowStyleMask styleMask = NSWindowStyleMaskTitled | NSWindowStyleMaskClosable | NSWindowStyleMaskMiniaturizable |
                                NSWindowStyleMaskResizable;
  std::string title;
  bool visibleAtLaunch = true;
};

template <typename W>
std::shared_ptr<NSWindow> NSNibWindowOf(NSRect rect, NSWindowStyleMask style, NSBackingStoreType backing, bool defer) {
  return std::make_shared<W>(rect, style, backing, defer);
}

struct NSNibDescription {
  std::string name;
  std::function<std::shared_ptr<NSApplicationDelegate>()> makeDelegate;
  std::vector<NSNibWindow> windows;
};

class NSNib {
 public:
  static const NSNibDescription* named(const std::string& name);
  // Instantiates `nib` into `app`; returns the windows made, in description order.
  static std::vector<std::shared_ptr<NSWindow>> instantiate(const NSNibDescription& nib, NSApplication& app);
  static void registerDescription(const NSNibDescription* nib);
};

// Registers a description at static-initialisation time.
struct NSNibRegistration {
  explicit NSNibRegistration(NSNibDescription description) : description_(std::move(description)) {
    NSNib::registerDescription(&description_);
  }

 private:
  NSNibDescription description_;
};
