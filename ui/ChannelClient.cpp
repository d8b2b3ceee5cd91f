#include "ui/ChannelClient.h"

#include "platform/flutter/FlutterEngine.h"

namespace ui {

void ChannelClient::invoke(const std::string& channel, const std::string& method, EncodableValue arguments,
                           std::function<void(MethodOutcome)> done) {
  const StandardMethodCodec& codec = StandardMethodCodec::getInstance();
  std::vector<uint8_t> message = codec.encodeMethodCall(FlutterMethodCall{method, std::move(arguments)});
  engine_.sendFromBuiltInFlutterSide(channel, std::move(message), [done = std::move(done)](std::vector<uint8_t> reply) {
    if (reply.empty()) {
      done(NotImplemented{"not implemented"});
      return;
    }
    posix::Expected<MethodEnvelope> envelope = StandardMethodCodec::getInstance().decodeEnvelope(reply);
    if (!envelope) {
      done(NotImplemented{"the reply does not decode: " + envelope.error().message()});
    } else if (auto* error = std::get_if<FlutterError>(&*envelope)) {
      done(std::move(*error));
    } else {
      done(std::get<EncodableValue>(std::move(*envelope)));
    }
  });
}

}  // namespace ui
