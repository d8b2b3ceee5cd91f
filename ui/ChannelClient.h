// The built-in Flutter side's end of the method channels: a call encoded with the standard method
// codec goes through the engine (FlutterEngine::sendFromBuiltInFlutterSide) and reaches the host's
// handler exactly as a call from the engine link does; the answer comes back decoded, on the main
// thread.
#pragma once

#include <functional>
#include <string>
#include <variant>

#include "platform/flutter/FlutterCodecs.h"

class FlutterEngine;

namespace ui {

struct NotImplemented {
  std::string why;  // "not implemented", or why the reply did not decode
};
using MethodOutcome = std::variant<EncodableValue, FlutterError, NotImplemented>;

class ChannelClient {
 public:
  explicit ChannelClient(FlutterEngine& engine) : engine_(engine) {}
  void invoke(const std::string& channel, const std::string& method, EncodableValue arguments,
              std::function<void(MethodOutcome)> done);

 private:
  FlutterEngine& engine_;
};

}  // namespace ui
