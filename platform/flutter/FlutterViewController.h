// The view controller that shows the Flutter view; it is also the plug-in registry.
//
// The engine is a stand-in, so the view cannot draw the Flutter side's interface: it says what it
// is, where the engine link is served and whether a Flutter side is attached (its process id),
// kept up to date as clients come and go.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/appkit/NSWindow.h"
#include "platform/flutter/FlutterChannels.h"
#include "platform/flutter/FlutterEngine.h"

class FlutterViewController : public NSViewController, public FlutterPluginRegistry {
 public:
  // The default engine and project; the engine runs (see FlutterEngine::setRunsEngineLinkByDefault).
  FlutterViewController();
  ~FlutterViewController() override;

  FlutterEngine& engine() { return *engine_; }

  std::shared_ptr<FlutterPluginRegistrar> registrarForPlugin(const std::string& pluginKey) override;
  // Keys asked for so far, in order.
  const std::vector<std::string>& pluginKeys() const { return pluginKeys_; }
  bool hasPlugin(const std::string& pluginKey) const;

 private:
  class Registrar;
  void showLinkState();

  std::unique_ptr<FlutterEngine> engine_;
  std::vector<std::string> pluginKeys_;
  std::vector<std::shared_ptr<Registrar>> registrars_;
};
