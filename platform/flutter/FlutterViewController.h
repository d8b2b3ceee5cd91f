// The view controller that shows the Flutter view; it is also the plug-in registry.
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
  std::unique_ptr<FlutterEngine> engine_;
  std::vector<std::string> pluginKeys_;
  std::vector<std::shared_ptr<Registrar>> registrars_;
};
