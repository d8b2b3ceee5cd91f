// Plug-in registration as the registry sees it: one registrar request per plug-in, each
// followed by that plug-in's registration before the next request.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/GeneratedPluginRegistrant.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/flutter/FlutterEngine.h"
#include "tests/support/TestSupport.h"

namespace {

class RecordingRegistry : public FlutterPluginRegistry {
 public:
  class Registrar : public FlutterPluginRegistrar {
   public:
    Registrar(RecordingRegistry& registry, std::string key) : registry_(registry), key_(std::move(key)) {}
    FlutterBinaryMessenger& messenger() override { return registry_.engine.binaryMessenger(); }
    void addMethodCallDelegate(std::shared_ptr<FlutterPlugin> delegate,
                               std::shared_ptr<FlutterMethodChannel> channel) override {
      registry_.events.push_back("registered " + key_ + " on " + channel->name());
      channel->setMethodCallHandler([delegate](const FlutterMethodCall& call, FlutterResult result) {
        delegate->handleMethodCall(call, result);
      });
      registry_.delegates.push_back(delegate);
    }

   private:
    RecordingRegistry& registry_;
    std::string key_;
  };

  std::shared_ptr<FlutterPluginRegistrar> registrarForPlugin(const std::string& key) override {
    events.push_back("registrar " + key);
    return std::make_shared<Registrar>(*this, key);
  }

  FlutterEngine engine;
  std::vector<std::string> events;
  std::vector<std::shared_ptr<FlutterPlugin>> delegates;
};

TEST(PluginRegistration, EachRegistrarRequestIsFollowedByItsRegistrationInTableOrder) {
  const std::vector<std::pair<std::string, std::string>> table = {
      {"AppLinksMacosPlugin", "app_links"},
      {"AudioSessionPlugin", "audio_session"},
      {"DeviceInfoPlusMacosPlugin", "device_info_plus"},
      {"FilePickerPlugin", "file_picker"},
      {"FileSelectorPlugin", "file_selector_macos"},
      {"FlutterJsPlugin", "flutter_js"},
      {"FlutterSecureStoragePlugin", "flutter_secure_storage_macos"},
      {"JustAudioPlugin", "just_audio"},
      {"FPPPackageInfoPlusPlugin", "package_info_plus"},
      {"PathProviderPlugin", "path_provider_foundation"},
      {"ScreenRetrieverMacosPlugin", "screen_retriever_macos"},
      {"SharePlusMacosPlugin", "share_plus"},
      {"SharedPreferencesPlugin", "shared_preferences_foundation"},
      {"SqflitePlugin", "sqflite_darwin"},
      {"TrayManagerPlugin", "tray_manager"},
      {"UrlLauncherPlugin", "url_launcher_macos"},
      {"FVPVideoPlayerPlugin", "video_player_avfoundation"},
      {"WakelockPlusMacosPlugin", "wakelock_plus"},
      {"WebViewFlutterPlugin", "webview_flutter_wkwebview"},
      {"WindowExtPlugin", "window_ext"},
      {"WindowManagerPlugin", "window_manager"},
  };
  std::vector<std::string> expected;
  for (const auto& [key, framework] : table) {
    expected.push_back("registrar " + key);
    expected.push_back("registered " + key + " on " + framework);
  }

  RecordingRegistry registry;
  RegisterGeneratedPlugins(registry);

  EXPECT_EQ(registry.events, expected);
}

TEST(PluginRegistration, AStandInAnswersItsOwnChannelWithNotImplemented) {
  RecordingRegistry registry;
  RegisterGeneratedPlugins(registry);

  auto reply = testing_support::callMethod(registry.engine, "url_launcher_macos", "launch",
                                           EncodableMap{{"url", "https://example.org"}});
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(*reply, testing_support::Reply(testing_support::NotImplemented{}));
}

}  // namespace
