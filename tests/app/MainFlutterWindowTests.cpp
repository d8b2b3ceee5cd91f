// The main window's wake-up: the Flutter view, the three channels, the plug-ins, in order.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/MainFlutterWindow.h"
#include "platform/appkit/NSNib.h"
#include "platform/flutter/FlutterViewController.h"
#include "platform/foundation/NSBundle.h"
#include "tests/support/TestSupport.h"

namespace {

using testing_support::callMethod;
using testing_support::NotImplemented;

const std::vector<std::string> kPluginChannels = {"app_links",
                                                  "audio_session",
                                                  "device_info_plus",
                                                  "file_picker",
                                                  "file_selector_macos",
                                                  "flutter_js",
                                                  "flutter_secure_storage_macos",
                                                  "just_audio",
                                                  "package_info_plus",
                                                  "path_provider_foundation",
                                                  "screen_retriever_macos",
                                                  "share_plus",
                                                  "shared_preferences_foundation",
                                                  "sqflite_darwin",
                                                  "tray_manager",
                                                  "url_launcher_macos",
                                                  "video_player_avfoundation",
                                                  "wakelock_plus",
                                                  "webview_flutter_wkwebview",
                                                  "window_ext",
                                                  "window_manager"};

class MainFlutterWindowTest : public ::testing::Test {
 protected:
  void SetUp() override { FlutterEngine::setRunsEngineLinkByDefault(false); }
  void TearDown() override {
    FlutterEngine::setHandlerInstallationObserverForTesting({});
    NSBundle::overrideMainBundleForTesting(std::nullopt);
  }

  // Wakes a window as the interface file would, noting each channel as its handler goes in and
  // whether the platform's own wake-up had already run by then.
  struct Installation {
    std::string channel;
    bool windowHadAwoken;
  };
  std::vector<Installation> wake(MainFlutterWindow& window) {
    std::vector<Installation> seen;
    FlutterEngine::setHandlerInstallationObserverForTesting([&](const std::string& channel) {
      seen.push_back({channel, window.hasAwokenFromNib()});
    });
    window.awakeFromNib();
    FlutterEngine::setHandlerInstallationObserverForTesting({});
    return seen;
  }

  static FlutterViewController& controllerOf(NSWindow& window) {
    auto* controller = dynamic_cast<FlutterViewController*>(window.contentViewController());
    EXPECT_NE(controller, nullptr);
    return *controller;
  }

  const NSRect loadedFrame_ = NSMakeRect(335, 390, 1100, 720);
};

TEST_F(MainFlutterWindowTest, ChannelsComeFirstInOrderThenPluginsThenThePlatformWakeUp) {
  NSBundle::overrideMainBundleForTesting(NSBundle::bundleWithInfo({{"CFBundleIdentifier", "org.example.B"}}));
  MainFlutterWindow window(loadedFrame_, NSWindowStyleMaskTitled, NSBackingStoreBuffered, false);

  auto seen = wake(window);

  std::vector<std::string> expected = {"launch_at_startup", "org.example.B/privileged_proxy",
                                       "org.example.B/native_tcp_ping"};
  expected.insert(expected.end(), kPluginChannels.begin(), kPluginChannels.end());
  std::vector<std::string> channels;
  for (const auto& s : seen) {
    channels.push_back(s.channel);
    EXPECT_FALSE(s.windowHadAwoken) << s.channel << " was installed after the platform's wake-up";
  }
  EXPECT_EQ(channels, expected);
  EXPECT_TRUE(window.hasAwokenFromNib());
}

TEST_F(MainFlutterWindowTest, WithoutABundleIdentifierBothServiceChannelsUseTheFallback) {
  NSBundle::overrideMainBundleForTesting(NSBundle::bundleWithInfo({}));
  MainFlutterWindow window(loadedFrame_, NSWindowStyleMaskTitled, NSBackingStoreBuffered, false);

  auto seen = wake(window);

  ASSERT_GE(seen.size(), 3u);
  const std::string fallback(MainFlutterWindow::kFallbackBundleIdentifier);
  EXPECT_EQ(seen[0].channel, "launch_at_startup");
  EXPECT_EQ(seen[1].channel, fallback + "/privileged_proxy");
  EXPECT_EQ(seen[2].channel, fallback + "/native_tcp_ping");
}

TEST_F(MainFlutterWindowTest, KeepsTheFrameItWasLoadedWithAndShowsTheFlutterView) {
  // Installing a controller alone resizes a window to the controller's view...
  NSWindow plain(loadedFrame_, NSWindowStyleMaskTitled, NSBackingStoreBuffered, false);
  plain.setContentViewController(std::make_shared<NSViewController>());
  ASSERT_NE(plain.frame(), loadedFrame_);

  // ...so the main window puts its loaded frame back, and asks for a redisplay.
  MainFlutterWindow window(loadedFrame_, NSWindowStyleMaskTitled, NSBackingStoreBuffered, false);
  wake(window);

  EXPECT_EQ(window.frame(), loadedFrame_);
  EXPECT_EQ(window.displayRequests(), 1);
  EXPECT_EQ(controllerOf(window).view().frame().size, loadedFrame_.size);
}

TEST_F(MainFlutterWindowTest, RegistersTheTwentyOnePluginsWithItsControllerInOrder) {
  MainFlutterWindow window(loadedFrame_, NSWindowStyleMaskTitled, NSBackingStoreBuffered, false);
  wake(window);

  const std::vector<std::string> keys = {
      "AppLinksMacosPlugin",      "AudioSessionPlugin",      "DeviceInfoPlusMacosPlugin",  "FilePickerPlugin",
      "FileSelectorPlugin",       "FlutterJsPlugin",         "FlutterSecureStoragePlugin", "JustAudioPlugin",
      "FPPPackageInfoPlusPlugin", "PathProviderPlugin",      "ScreenRetrieverMacosPlugin", "SharePlusMacosPlugin",
      "SharedPreferencesPlugin",  "SqflitePlugin",           "TrayManagerPlugin",          "UrlLauncherPlugin",
      "FVPVideoPlayerPlugin",     "WakelockPlusMacosPlugin", "WebViewFlutterPlugin",       "WindowExtPlugin",
      "WindowManagerPlugin"};
  EXPECT_EQ(controllerOf(window).pluginKeys(), keys);
}

TEST_F(MainFlutterWindowTest, EveryChannelAnswersTheFlutterSide) {
  NSBundle::overrideMainBundleForTesting(NSBundle::bundleWithInfo({{"CFBundleIdentifier", "org.example.B"}}));
  MainFlutterWindow window(loadedFrame_, NSWindowStyleMaskTitled, NSBackingStoreBuffered, false);
  wake(window);
  FlutterEngine& engine = controllerOf(window).engine();

  // A plug-in stand-in is present but serves nothing; an unknown channel has no handler at all.
  for (const auto& channel : {std::string("window_manager"), std::string("no.such/channel")}) {
    auto reply = callMethod(engine, channel, "anything", EncodableMap{{"k", 1}});
    ASSERT_TRUE(reply.has_value()) << channel;
    EXPECT_EQ(*reply, testing_support::Reply(NotImplemented{})) << channel;
  }

  // Each service channel reaches its own handler: a call without arguments gets that handler's
  // own answer, given before anything runs.
  struct Service {
    std::string channel, method;
    testing_support::Reply expected;
  };
  const std::vector<Service> services = {
      {"launch_at_startup", "launchAtStartupSetEnabled", EncodableValue()},
      {"org.example.B/privileged_proxy", "setProxyElevated",
       FlutterError{"bad_args", std::string("services missing or empty"), {}}},
      {"org.example.B/native_tcp_ping", "tcpPing", FlutterError{"BAD_ARGS", std::string("host/port missing"), {}}},
  };
  for (const Service& s : services) {
    auto reply = callMethod(engine, s.channel, s.method);
    ASSERT_TRUE(reply.has_value()) << s.channel;
    EXPECT_EQ(*reply, s.expected) << s.channel;
  }
}

TEST(MainInterfaceFile, MakesOneDelegateAndOneMainWindow) {
  const NSNibDescription* nib = NSNib::named("MainMenu");
  ASSERT_NE(nib, nullptr);
  ASSERT_TRUE(nib->makeDelegate);
  ASSERT_EQ(nib->windows.size(), 1u);
  EXPECT_TRUE(nib->windows[0].visibleAtLaunch);
}

}  // namespace
