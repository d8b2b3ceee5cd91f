#include "platform/flutter/FlutterViewController.h"

#include <algorithm>

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
}

FlutterViewController::~FlutterViewController() = default;

std::shared_ptr<FlutterPluginRegistrar> FlutterViewController::registrarForPlugin(const std::string& pluginKey) {
  pluginKeys_.push_back(pluginKey);
  auto registrar = std::make_shared<Registrar>(engine_->binaryMessenger());
  registrars_.push_back(registrar);  // plug-ins stay registered for as long as the controller lives
  return registrar;
}

bool FlutterViewController::hasPlugin(const std::string& pluginKey) const {
  return std::find(pluginKeys_.begin(), pluginKeys_.end(), pluginKey) != pluginKeys_.end();
}
