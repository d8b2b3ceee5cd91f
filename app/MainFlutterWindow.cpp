#include "app/MainFlutterWindow.h"

#include <memory>
#include <string>

#include "app/GeneratedPluginRegistrant.h"
#include "login_item/LaunchAtLogin.h"
#include "platform/flutter/FlutterViewController.h"
#include "platform/foundation/NSBundle.h"
#include "probe/NativeTcpPing.h"
#include "proxy/PrivilegedProxyChannel.h"

MainFlutterWindow::MainFlutterWindow(NSRect contentRect, NSWindowStyleMask style, NSBackingStoreType backing,
                                     bool defer)
    : NSWindow(contentRect, style, backing, defer) {}

MainFlutterWindow::~MainFlutterWindow() = default;

void MainFlutterWindow::awakeFromNib() {
  auto flutterViewController = std::make_shared<FlutterViewController>();
  // Installing the controller resizes the window to the Flutter view; keep the loaded frame.
  NSRect windowFrame = frame();
  setContentViewController(flutterViewController);
  setFrame(windowFrame, true);

  FlutterBinaryMessenger& messenger = flutterViewController->engine().binaryMessenger();
  FlutterMethodChannel::methodChannelWithName("launch_at_startup", messenger)
      ->setMethodCallHandler([](const FlutterMethodCall& call, FlutterResult result) {
        LaunchAtLogin::handleLaunchAtStartupCall(call, std::move(result));
      });

  std::string bundleIdentifier =
      NSBundle::mainBundle().bundleIdentifier().value_or(std::string(kFallbackBundleIdentifier));

  FlutterMethodChannel::methodChannelWithName(bundleIdentifier + "/privileged_proxy", messenger)
      ->setMethodCallHandler([](const FlutterMethodCall& call, FlutterResult result) {
        proxy::handlePrivilegedProxyCall(call, std::move(result));
      });

  FlutterMethodChannel::methodChannelWithName(bundleIdentifier + "/native_tcp_ping", messenger)
      ->setMethodCallHandler([](const FlutterMethodCall& call, FlutterResult result) {
        NativeTcpPing::handleNativeTcpPingCall(call, std::move(result));
      });

  RegisterGeneratedPlugins(*flutterViewController);

  NSWindow::awakeFromNib();
}
