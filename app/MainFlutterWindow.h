// The main window: carries the Flutter view, opens the application's three method channels and
// registers the plug-ins when it wakes from the main interface file.
#pragma once

#include <string_view>

#include "platform/appkit/NSWindow.h"

class MainFlutterWindow : public NSWindow {
 public:
  // Used in channel names when the main bundle has no identifier.
  static constexpr std::string_view kFallbackBundleIdentifier = "net.proxyhost.client";

  MainFlutterWindow(NSRect contentRect, NSWindowStyleMask style, NSBackingStoreType backing, bool defer);
  ~MainFlutterWindow() override;
  void awakeFromNib() override;
};
