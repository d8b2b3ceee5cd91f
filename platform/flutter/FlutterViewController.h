// The view controller that shows the Flutter view; it is also the plug-in registry.
//
// The engine is a stand-in, so it cannot run the Dart interface. Where a window system runs and a
// Flutter side is built into the process (its entrypoint set before the window is made), that side
// draws the view and talks to the host through the engine (sendFromBuiltInFlutterSide). Otherwise
// the view says what it is, where the engine link is served and whether a Flutter side is attached
// (its process id), kept up to date as clients come and go; headless there is no toolkit at all.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/appkit/NSWindow.h"
#include "platform/flutter/FlutterChannels.h"
#include "platform/flutter/FlutterEngine.h"

class FlutterViewController;

// The Flutter side built into the process: it lives as long as the view controller that started it.
class BuiltInFlutterSide {
 public:
  virtual ~BuiltInFlutterSide() = default;
  // The engine link's attached Flutter sides changed (FlutterEngine::attachedProcesses). Main thread.
  virtual void engineAttachmentChanged() = 0;
};
using BuiltInFlutterSideEntrypoint = std::unique_ptr<BuiltInFlutterSide> (*)(FlutterViewController& controller);

class FlutterViewController : public NSViewController, public FlutterPluginRegistry {
 public:
  // Names the built-in Flutter side that controllers made from now on start when a window system
  // runs; nullptr for none. Main thread, before the main window is made.
  static void setBuiltInFlutterSideEntrypoint(BuiltInFlutterSideEntrypoint entrypoint);

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
  std::unique_ptr<BuiltInFlutterSide> builtInSide_;  // before the engine goes
};
