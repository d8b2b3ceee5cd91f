#include "platform/flutter/FlutterViewController.h"

#include <algorithm>

#include "platform/appkit/WindowSystem.h"

namespace {
BuiltInFlutterSideEntrypoint builtInSideEntrypoint = nullptr;  // main thread
}  // namespace

void FlutterViewController::setBuiltInFlutterSideEntrypoint(BuiltInFlutterSideEntrypoint entrypoint) {
  builtInSideEntrypoint = entrypoint;
}

class FlutterViewController::Registrar final : public FlutterPluginRegistrar {
 public:
  explicit Registrar(FlutterBinaryMessenger& messenger) : messenger_(messenger) {}

  FlutterBinaryMessenger& messenger() override { return messenger_; }

  void addMethodCallDelegate(std::shared_ptr<FlutterPlugin> delegate,
                             std::shared_ptr<FlutterMethodChannel> channel) override {
    channel->setMethodCallHandler(
        [delegate](const FlutterMethodCall& call, FlutterResult result) { delegate->handleMethodCall(call, result); });
    delegates_.push_back(std::move(delegate));
  }

 private:
  FlutterBinaryMessenger& messenger_;
  std::vector<std::shared_ptr<FlutterPlugin>> delegates_;
};

FlutterViewController::FlutterViewController() : engine_(std::make_unique<FlutterEngine>()) {
  if (FlutterEngine::runsEngineLinkByDefault()) engine_->run();
  engine_->setAttachmentObserver([this] {
    showLinkState();
    if (builtInSide_) builtInSide_->engineAttachmentChanged();
  });
  showLinkState();
  if (builtInSideEntrypoint != nullptr && appkit::WindowSystem::active() != nullptr) {
    builtInSide_ = builtInSideEntrypoint(*this);
  }
}

FlutterViewController::~FlutterViewController() {
  engine_->setAttachmentObserver(nullptr);
  builtInSide_.reset();
  view().setNativeContent(nullptr);
}

void FlutterViewController::showLinkState() {
  std::string text =
      "Flutter view\n\nThe Flutter engine here is a stand-in: it carries the Flutter side's messages over the engine "
      "link and draws no interface of its own.\n\n";
  const std::string path = engine_->linkPath();
  text += path.empty() ? "Engine link: not served" : "Engine link: " + path;
  const std::vector<int>& pids = engine_->attachedProcesses();
  if (pids.empty()) {
    text += "\nFlutter side: not attached";
  } else {
    text += "\nFlutter side: attached, process " + std::to_string(pids.front());
    if (pids.size() == 2) text += " (and one more connection)";
    if (pids.size() > 2) text += " (and " + std::to_string(pids.size() - 1) + " more connections)";
  }
  view().setStringValue(std::move(text));
}

std::shared_ptr<FlutterPluginRegistrar> FlutterViewController::registrarForPlugin(const std::string& pluginKey) {
  pluginKeys_.push_back(pluginKey);
  auto registrar = std::make_shared<Registrar>(engine_->binaryMessenger());
  registrars_.push_back(registrar);  // plug-ins stay registered for as long as the controller lives
  return registrar;
}

bool FlutterViewController::hasPlugin(const std::string& pluginKey) const {
  return std::find(pluginKeys_.begin(), pluginKeys_.end(), pluginKey) != pluginKeys_.end();
}
