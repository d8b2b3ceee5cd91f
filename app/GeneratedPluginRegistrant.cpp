// The plug-ins in the order of their frameworks' names (plain character order).
#include "app/GeneratedPluginRegistrant.h"

#include "plugins/app_links/AppLinksMacosPlugin.h"
#include "plugins/audio_session/AudioSessionPlugin.h"
#include "plugins/device_info_plus/DeviceInfoPlusMacosPlugin.h"
#include "plugins/file_picker/FilePickerPlugin.h"
#include "plugins/file_selector_macos/FileSelectorPlugin.h"
#include "plugins/flutter_js/FlutterJsPlugin.h"
#include "plugins/flutter_secure_storage_macos/FlutterSecureStoragePlugin.h"
#include "plugins/just_audio/JustAudioPlugin.h"
#include "plugins/package_info_plus/FPPPackageInfoPlusPlugin.h"
#include "plugins/path_provider_foundation/PathProviderPlugin.h"
#include "plugins/screen_retriever_macos/ScreenRetrieverMacosPlugin.h"
#include "plugins/share_plus/SharePlusMacosPlugin.h"
#include "plugins/shared_preferences_foundation/SharedPreferencesPlugin.h"
#include "plugins/sqflite_darwin/SqflitePlugin.h"
#include "plugins/tray_manager/TrayManagerPlugin.h"
#include "plugins/url_launcher_macos/UrlLauncherPlugin.h"
#include "plugins/video_player_avfoundation/FVPVideoPlayerPlugin.h"
#include "plugins/wakelock_plus/WakelockPlusMacosPlugin.h"
#include "plugins/webview_flutter_wkwebview/WebViewFlutterPlugin.h"
#include "plugins/window_ext/WindowExtPlugin.h"
#include "plugins/window_manager/WindowManagerPlugin.h"

void RegisterGeneratedPlugins(FlutterPluginRegistry& registry) {
  AppLinksMacosPlugin::registerWith(*registry.registrarForPlugin("AppLinksMacosPlugin"));
  AudioSessionPlugin::registerWithRegistrar(*registry.registrarForPlugin("AudioSessionPlugin"));
  DeviceInfoPlusMacosPlugin::registerWith(*registry.registrarForPlugin("DeviceInfoPlusMacosPlugin"));
  FilePickerPlugin::registerWith(*registry.registrarForPlugin("FilePickerPlugin"));
  FileSelectorPlugin::registerWith(*registry.registrarForPlugin("FileSelectorPlugin"));
  FlutterJsPlugin::registerWith(*registry.registrarForPlugin("FlutterJsPlugin"));
  FlutterSecureStoragePlugin::registerWith(*registry.registrarForPlugin("FlutterSecureStoragePlugin"));
  JustAudioPlugin::registerWithRegistrar(*registry.registrarForPlugin("JustAudioPlugin"));
  FPPPackageInfoPlusPlugin::registerWithRegistrar(*registry.registrarForPlugin("FPPPackageInfoPlusPlugin"));
  PathProviderPlugin::registerWith(*registry.registrarForPlugin("PathProviderPlugin"));
  ScreenRetrieverMacosPlugin::registerWith(*registry.registrarForPlugin("ScreenRetrieverMacosPlugin"));
  SharePlusMacosPlugin::registerWith(*registry.registrarForPlugin("SharePlusMacosPlugin"));
  SharedPreferencesPlugin::registerWith(*registry.registrarForPlugin("SharedPreferencesPlugin"));
  SqflitePlugin::registerWithRegistrar(*registry.registrarForPlugin("SqflitePlugin"));
  TrayManagerPlugin::registerWith(*registry.registrarForPlugin("TrayManagerPlugin"));
  UrlLauncherPlugin::registerWith(*registry.registrarForPlugin("UrlLauncherPlugin"));
  FVPVideoPlayerPlugin::registerWithRegistrar(*registry.registrarForPlugin("FVPVideoPlayerPlugin"));
  WakelockPlusMacosPlugin::registerWith(*registry.registrarForPlugin("WakelockPlusMacosPlugin"));
  WebViewFlutterPlugin::registerWith(*registry.registrarForPlugin("WebViewFlutterPlugin"));
  WindowExtPlugin::registerWith(*registry.registrarForPlugin("WindowExtPlugin"));
  WindowManagerPlugin::registerWith(*registry.registrarForPlugin("WindowManagerPlugin"));
}
