// The native half of a plug-in whose real work lives outside this host. It takes its registrar,
// opens its own channel (named after its framework) and answers every call there with
// FlutterMethodNotImplemented, so the Flutter side sees the plug-in present but idle.
//
// The two bases give the two registration entries plug-ins come with: `register(with:)` in
// Swift-written plug-ins (registerWith here; `register` is a C++ keyword) and
// `registerWithRegistrar:` in Objective-C ones.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/flutter/FlutterChannels.h"

template <typename Plugin>
class StandInPlugin : public FlutterPlugin {
 public:
  void handleMethodCall(const FlutterMethodCall& call, FlutterResult result) override {
    result(FlutterMethodNotImplemented);
  }

 protected:
  static void attach(FlutterPluginRegistrar& registrar) {
    auto channel =
        FlutterMethodChannel::methodChannelWithName(std::string(Plugin::kChannelName), registrar.messenger());
    registrar.addMethodCallDelegate(std::make_shared<Plugin>(), channel);
  }
};

template <typename Plugin>
class SwiftStandInPlugin : public StandInPlugin<Plugin> {
 public:
  static void registerWith(FlutterPluginRegistrar& registrar) { StandInPlugin<Plugin>::attach(registrar); }
};

template <typename Plugin>
class ObjCStandInPlugin : public StandInPlugin<Plugin> {
 public:
  static void registerWithRegistrar(FlutterPluginRegistrar& registrar) { StandInPlugin<Plugin>::attach(registrar); }
};
