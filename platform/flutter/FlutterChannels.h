// Method channels and plug-ins: the contract between a channel handler and the Flutter side.
//
//   auto channel = FlutterMethodChannel::methodChannelWithName("launch_at_startup", messenger);
//   channel->setMethodCallHandler([](const FlutterMethodCall& call, FlutterResult result) {
//     if (call.method == "ping") return result(EncodableValue(true));
//     result(FlutterMethodNotImplemented);
//   });
//
// A handler is called on the main thread and must call its result exactly once, from any thread
// (the system's handlers always answer on the main queue). A second call is ignored with a log
// line; a result dropped without being called answers the empty reply, so the Flutter side is
// never left waiting.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <variant>

#include "platform/flutter/FlutterBinaryMessenger.h"
#include "platform/flutter/FlutterCodecs.h"

struct FlutterMethodNotImplementedMarker {
  bool operator==(const FlutterMethodNotImplementedMarker&) const = default;
};
// Answers a method name that a channel does not serve (the engine's empty reply).
inline constexpr FlutterMethodNotImplementedMarker FlutterMethodNotImplemented{};

// What a result callback takes: a value (null for "nothing"), an error, or the not-implemented marker.
using FlutterResultValue = std::variant<EncodableValue, FlutterError, FlutterMethodNotImplementedMarker>;
using FlutterResult = std::function<void(FlutterResultValue)>;
using FlutterMethodCallHandler = std::function<void(const FlutterMethodCall& call, FlutterResult result)>;

// Every handler that reads arguments expects a dictionary from string keys to values and treats
// anything else, a map with a key of another type included, as if the arguments were missing.
inline const EncodableMap* stringKeyedArguments(const EncodableValue& arguments) {
  const EncodableMap* map = arguments.asMap();
  if (map == nullptr) return nullptr;
  for (const auto& [key, value] : *map) {
    if (!key.is<std::string>()) return nullptr;
  }
  return map;
}

class FlutterMethodChannel {
 public:
  static std::shared_ptr<FlutterMethodChannel> methodChannelWithName(
      std::string name, FlutterBinaryMessenger& messenger,
      const StandardMethodCodec& codec = StandardMethodCodec::getInstance());

  FlutterMethodChannel(std::string name, FlutterBinaryMessenger& messenger, const StandardMethodCodec& codec);

  const std::string& name() const { return name_; }

  // Installs the handler with the messenger; it stays there after this channel object is gone.
  // An empty handler removes it. A payload that does not decode as a method call gets the empty
  // reply and one log line.
  void setMethodCallHandler(FlutterMethodCallHandler handler);

  // Calls a method on the Flutter side; `callback`, when given, gets its answer on the main thread.
  void invokeMethod(const std::string& method, EncodableValue arguments, FlutterResult callback = {});

 private:
  std::string name_;
  FlutterBinaryMessenger& messenger_;
  const StandardMethodCodec& codec_;
};

// The answer a result value becomes on the wire. An error too large for one reply frame of the
// engine link goes trimmed (see the link's documentation), never as the empty reply that would
// read as "not implemented".
std::vector<uint8_t> encodeResultValue(const FlutterResultValue& value,
                                       const StandardMethodCodec& codec = StandardMethodCodec::getInstance());

class FlutterPlugin {
 public:
  virtual ~FlutterPlugin() = default;
  virtual void handleMethodCall(const FlutterMethodCall& call, FlutterResult result) = 0;
};

class FlutterPluginRegistrar {
 public:
  virtual ~FlutterPluginRegistrar() = default;
  virtual FlutterBinaryMessenger& messenger() = 0;
  // Routes every call on `channel` to `delegate`, which the registrar keeps alive.
  virtual void addMethodCallDelegate(std::shared_ptr<FlutterPlugin> delegate,
                                     std::shared_ptr<FlutterMethodChannel> channel) = 0;
};

class FlutterPluginRegistry {
 public:
  virtual ~FlutterPluginRegistry() = default;
  virtual std::shared_ptr<FlutterPluginRegistrar> registrarForPlugin(const std::string& pluginKey) = 0;
};
