// The main window: carries the Flutter view, opens the application's three method channels and
// registers the plug-ins when it wakes from the main interface file. It is also the home of the
// static channel handlers of the privileged proxy and TCP ping services.
#pragma once

#include <string_view>

#include "app/FlutterChannelContract.h"
#include "platform/appkit/NSWindow.h"

class MainFlutterWindow : public NSWindow {
 public:
  // Used in channel names when the main bundle has no identifier.
  static constexpr std::string_view kFallbackBundleIdentifier = "net.proxyhost.client";

  MainFlutterWindow(NSRect contentRect, NSWindowStyleMask style, NSBackingStoreType backing, bool defer);
  ~MainFlutterWindow() override;
  void awakeFromNib() override;

 private:
  friend struct MainFlutterWindowTestAccess;

  static void handlePrivilegedProxyCall(const FlutterMethodCall& call, FlutterResult result);
  static void handleNativeTcpPingCall(const FlutterMethodCall& call, FlutterResult result);
};
